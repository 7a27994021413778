#include "link/element_name.h"

#include <optional>
#include <string_view>

#include "core/fp_names.h"

namespace mew {

const char *area_letter(Area area) {
    switch (area) {
    case Area::X: return "X";
    case Area::Y: return "Y";
    case Area::R: return "R";
    case Area::D: return "D";
    }
    return "?";
}

namespace {

namespace core = kvo::core;

bool relay_area(char c, Area &area) {
    switch (c) {
    case 'X': area = Area::X; return true;
    case 'Y': area = Area::Y; return true;
    case 'R': area = Area::R; return true;
    default: return false;
    }
}

// Plain decimal digits only, at least one. An absurdly long number saturates
// far above any area size, so it reads as "outside the memory".
bool read_decimal(std::string_view text, uint64_t &value) {
    std::optional<uint64_t> number = core::read_decimal(text);
    if (!number) return false;
    value = *number;
    return true;
}

std::nullopt_t invalid(const std::string &name, std::string &error) {
    error = "invalid element name '" + name +
            "' (expected X/Y/R relays such as X1F, WX/WY/WR relay words, D/DT data words)";
    return std::nullopt;
}

// The element, or nothing when `word` lies outside its area.
std::optional<Element> inside(const std::string &name, Element element, uint64_t word, std::string &error) {
    uint32_t size = area_words(element.area);
    if (word < size) {
        element.word = uint32_t(word);
        return element;
    }
    std::string first = element.kind == ElementKind::RelayWord ? std::string("W") + area_letter(element.area)
                                                               : area_letter(element.area);
    error = "element " + name + " is outside the PLC's memory (" + first + "0.." + first + std::to_string(size - 1) + ")";
    return std::nullopt;
}

} // namespace

uint32_t area_words(Area area) { return area == Area::D ? kDataWords : kRelayWords; }

std::optional<Element> parse_element(const std::string &name, std::string &error) {
    core::NameParts parts = core::split_name(name);
    Area area = Area::X;
    uint64_t word = 0;
    switch (parts.form) {
    case core::NameForm::Relay: {
        relay_area(parts.letter, area);
        int bit = core::hex_digit(parts.bit);
        if (parts.tail_chars < 1 || parts.tail_chars > 4 || bit < 0) return invalid(name, error);
        if (!parts.number.empty() && !read_decimal(parts.number, word)) return invalid(name, error);
        return Element{ElementKind::Relay, area, uint32_t(word), bit};
    }
    case core::NameForm::LetterWord:
        if (!relay_area(parts.letter, area) || !read_decimal(parts.number, word)) return invalid(name, error);
        return inside(name, Element{ElementKind::RelayWord, area, 0, -1}, word, error);
    case core::NameForm::DataWord:
        if (!read_decimal(parts.number, word)) return invalid(name, error);
        return inside(name, Element{ElementKind::DataWord, Area::D, 0, -1}, word, error);
    case core::NameForm::Empty:
    case core::NameForm::Unknown: break;
    }
    return invalid(name, error);
}

std::optional<std::string> block_error(const Element &first, uint64_t count) {
    uint32_t size = area_words(first.area);
    if (uint64_t(first.word) + count <= size) return std::nullopt;
    return "a block of " + std::to_string(count) + " words from " + word_name(first.area, first.word) +
           " runs past the end of the PLC's memory (last word " + word_name(first.area, size - 1) + ")";
}

std::string word_name(Area area, uint32_t word) {
    return (area == Area::D ? std::string("D") : std::string("W") + area_letter(area)) + std::to_string(word);
}

std::string relay_name(Area area, uint32_t word, int bit) { return core::short_relay_name(area_letter(area), word, bit); }

} // namespace mew
