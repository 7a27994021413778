#include "element_name.h"

#include "errors.h"

namespace mew {
namespace {

const char *area_letter(Area area) {
    switch (area) {
    case Area::X: return "X";
    case Area::Y: return "Y";
    case Area::R: return "R";
    case Area::D: return "D";
    }
    return "?";
}

bool relay_area(char c, Area &area) {
    switch (c) {
    case 'X': area = Area::X; return true;
    case 'Y': area = Area::Y; return true;
    case 'R': area = Area::R; return true;
    default: return false;
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decimal digits only, at least one. Saturates far above any area size so an
// absurdly long number reads as "outside the memory", not as a wrapped value.
bool read_decimal(const std::string &text, size_t from, size_t to, uint64_t &value) {
    if (from >= to) return false;
    value = 0;
    for (size_t i = from; i < to; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        if (value < 100000000000ULL) value = value * 10 + uint64_t(c - '0');
    }
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
    if (name.empty()) invalid(name);
    Area area;
    uint64_t word = 0;
    if (relay_area(name[0], area)) {
        size_t n = name.size() - 1;  // the characters after the letter
        if (n < 1 || n > 4) invalid(name);
        int bit = hex_value(name.back());
        if (bit < 0) invalid(name);
        if (n > 1 && !read_decimal(name, 1, name.size() - 1, word)) invalid(name);
        return Element{ElementKind::Relay, area, uint32_t(word), bit};
    }
    if (name.size() >= 2 && name[0] == 'W' && relay_area(name[1], area)) {
        if (!read_decimal(name, 2, name.size(), word)) invalid(name);
        check_word(name, area, word, true);
        return Element{ElementKind::RelayWord, area, uint32_t(word), -1};
    }
    if (name[0] == 'D') {
        size_t from = (name.size() >= 2 && name[1] == 'T') ? 2 : 1;
        if (!read_decimal(name, from, name.size(), word)) invalid(name);
        check_word(name, Area::D, word, false);
        return Element{ElementKind::DataWord, Area::D, uint32_t(word), -1};
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

std::string relay_name(Area area, uint32_t word, int bit) {
    static const char digits[] = "0123456789ABCDEF";
    // Word 0 has no word digits: X0..XF, then X10.
    return std::string(area_letter(area)) + (word ? std::to_string(word) : std::string()) + digits[bit & 15];
}

} // namespace mew
