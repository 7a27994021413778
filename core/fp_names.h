// FP element names over plain text: the one parser and formatter behind
// kvo_fa's FPMachine.name_to_index/index_to_name and kvo_mew's element names.
//
// A name is split by its letters alone (split_name); each user then applies
// its own rules to the parts. kvo_fa reads the numbers as the host's int()
// would (name_to_index below, which hands anything it cannot decide exactly
// back to the host); kvo_mew accepts only plain ASCII numbers inside its
// memory. Text is UTF-8; positions count characters, not bytes, so a
// non-ASCII character counts once, as it does for the host (kvo_fa refuses
// non-ASCII names; kvo_mew's errors name them as given).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvo::core {

// The form a name's first letters select.
enum class NameForm {
    Empty,      // no character at all
    Relay,      // X, Y or R: decimal word digits, then one hexadecimal bit digit
    DataWord,   // D, or DT: a decimal word number
    LetterWord, // W and any one character: a decimal word number
    Unknown,    // any other first character
};

struct NameParts {
    NameForm form = NameForm::Empty;
    // The relay letter (X, Y, R), 'D', or for W the character after it
    // (0 when there is none or it is not ASCII).
    char letter = 0;
    // The decimal word part: relays all characters between the letter and the
    // bit digit (maybe none), words everything after the letters.
    std::string_view number;
    // Relays: the last character, the bit digit (empty when nothing follows
    // the letter).
    std::string_view bit;
    // Relays: characters after the letter; DataWord: whether there is a
    // second character at all (0 or 1).
    size_t tail_chars = 0;
};

NameParts split_name(std::string_view name);

bool is_relay_letter(char c);

// Visible ASCII only: no blank, no control character, nothing beyond ASCII.
bool visible_ascii(std::string_view text);

// A plain decimal number: ASCII digits only, at least one. A number beyond
// what 64 bits hold reads as kDecimalOverflow.
constexpr uint64_t kDecimalOverflow = UINT64_MAX;
std::optional<uint64_t> read_decimal(std::string_view text);

// One hexadecimal digit (either case) as 0..15, else -1.
int hex_digit(std::string_view text);

// What name_to_index makes of a name. Names are visible ASCII (no blank, no
// control character) and their number parts plain digits: nothing else is
// an element name, whatever the host's int() would read (a sign, blanks, a
// trailing newline, underscores, other scripts' digits).
enum class IndexOutcome {
    Number,       // `value`
    IndexError,   // the host's "string index out of range"
    HostInteger,  // a number part the strict 64-bit reading leaves to the
                  // host's int(): plain digits beyond 64 bits are a number;
                  // anything else int()'s own error, or InvalidName if int()
                  // reads it
    InvalidName,  // "Invalid FP element name: %s"
};

struct NameIndex {
    IndexOutcome outcome = IndexOutcome::Number;
    int64_t value = 0;
    // A relay name with more than four characters after its letter: the host
    // asserts this first; with assertions off the name reads on as below.
    bool too_long = false;
    // HostInteger: the number is int(decimal), times 16 plus int(hex, 16)
    // for a relay (`relay` true), read in that order.
    bool relay = false;
    std::string_view decimal;
    std::string_view hex;
};

// The number an FP element name stands for: relays word * 16 + bit, words
// their number.
NameIndex name_to_index(std::string_view name);

// What index_to_name makes of a prefix and an index.
enum class PrefixOutcome {
    Name,          // `name`
    IndexError,    // empty prefix: "string index out of range"
    InvalidPrefix, // "Invalid FP element prefix: %s"
};

struct IndexName {
    PrefixOutcome outcome;
    std::string name;
};

// prefix + "%d%X" % (index // 16, index % 16) for X/Y/R prefixes (the word
// number always written: X05), prefix + "%d" % index for D and W prefixes.
IndexName index_to_name(std::string_view prefix, int64_t index);

// Relay names with an omitted word 0 (X0..XF, then X10), as the link writes them.
std::string short_relay_name(std::string_view letter, uint64_t word, int bit);

} // namespace kvo::core
