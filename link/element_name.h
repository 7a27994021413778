// FP element names as the link understands them:
//   X, Y, R + up to 3 decimal word digits + 1 hex bit digit   one relay (X1F, R100)
//   WX, WY, WR + decimal word number                          16 relays as one word
//   D or DT + decimal word number                             one data word
// Letters are case-sensitive except the hex bit digit (X1f is X1F). The
// names are split and read by the native core (core/fp_names.h), which also
// reads them for kvo_fa; the link accepts only plain ASCII numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mew {

enum class Area { X, Y, R, D };

// Sizes of the PLC memory the link addresses (the same for every transport).
constexpr uint32_t kRelayWords = 1000;   // WX0..WX999, X0..X999F, and so on
constexpr uint32_t kDataWords = 100000;  // D0..D99999

enum class ElementKind { Relay, RelayWord, DataWord };

struct Element {
    ElementKind kind;
    Area area;
    uint32_t word;  // word number within the area
    int bit;        // 0..15 for a relay, -1 for a word

    bool is_word() const { return kind != ElementKind::Relay; }
};

// Words in an area: kRelayWords for X/Y/R, kDataWords for D.
// The letter of an area as element names write it: X, Y, R, D.
const char *area_letter(Area area);
uint32_t area_words(Area area);

// Parses `name`; nothing, with the reason in `error`, for a name that is not
// an element name or lies outside the PLC's memory.
std::optional<Element> parse_element(const std::string &name, std::string &error);

// Why `count` words from `first` on do not lie inside its area; nothing when they do.
std::optional<std::string> block_error(const Element &first, uint64_t count);

// The canonical name of a word of an area ("WX3", "D100") or of a relay ("X1F").
std::string word_name(Area area, uint32_t word);
std::string relay_name(Area area, uint32_t word, int bit);

} // namespace mew
