#include "platform/kvo_mew/element_name.h"

#include <optional>
#include <string_view>

#include "core/fp_names.h"
#include "platform/kvo_mew/errors.h"

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

[[noreturn]] void invalid(const std::string &name) {
    throw AddressError("invalid element name '" + name +
                       "' (expected X/Y/R relays such as X1F, WX/WY/WR relay words, D/DT data words)");
}

void check_word(const std::string &name, Area area, uint64_t word, bool relay_word) {
    uint32_t size = area_words(area);
    if (word >= size) {
        std::string first = relay_word ? std::string("W") + area_letter(area) : area_letter(area);
        throw AddressError("element " + name + " is outside the PLC's memory (" + first + "0.." + first +
                           std::to_string(size - 1) + ")");
    }
}

} // namespace

uint32_t area_words(Area area) { return area == Area::D ? kDataWords : kRelayWords; }

Element parse_element(const std::string &name) {
    core::NameParts parts = core::split_name(name);
    Area area = Area::X;
    uint64_t word = 0;
    switch (parts.form) {
    case core::NameForm::Relay: {
        relay_area(parts.letter, area);
        int bit = core::hex_digit(parts.bit);
        if (parts.tail_chars < 1 || parts.tail_chars > 4 || bit < 0) invalid(name);
        if (!parts.number.empty() && !read_decimal(parts.number, word)) invalid(name);
        return Element{ElementKind::Relay, area, uint32_t(word), bit};
    }
    case core::NameForm::LetterWord:
        if (!relay_area(parts.letter, area) || !read_decimal(parts.number, word)) invalid(name);
        check_word(name, area, word, true);
        return Element{ElementKind::RelayWord, area, uint32_t(word), -1};
    case core::NameForm::DataWord:
        if (!read_decimal(parts.number, word)) invalid(name);
        check_word(name, Area::D, word, false);
        return Element{ElementKind::DataWord, Area::D, uint32_t(word), -1};
    case core::NameForm::Empty:
    case core::NameForm::Unknown: break;
    }
    invalid(name);
}

void check_block(const Element &first, uint64_t count) {
    uint32_t size = area_words(first.area);
    if (uint64_t(first.word) + count > size)
        throw AddressError("a block of " + std::to_string(count) + " words from " + word_name(first.area, first.word) +
                           " runs past the end of the PLC's memory (last word " +
                           word_name(first.area, size - 1) + ")");
}

std::string word_name(Area area, uint32_t word) {
    return (area == Area::D ? std::string("D") : std::string("W") + area_letter(area)) + std::to_string(word);
}

std::string relay_name(Area area, uint32_t word, int bit) { return core::short_relay_name(area_letter(area), word, bit); }

} // namespace mew
