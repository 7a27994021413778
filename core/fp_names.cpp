#include "core/fp_names.h"

#include <limits>

#include "core/bits.h"

namespace kvo::core {

namespace {

bool continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Characters (code points) in UTF-8 text.
size_t char_count(std::string_view text) {
    size_t n = 0;
    for (char c : text) n += continuation_byte(c) ? 0 : 1;
    return n;
}

// Byte length of the first character of non-empty text.
size_t first_char_size(std::string_view text) {
    size_t n = 1;
    while (n < text.size() && continuation_byte(text[n])) ++n;
    return n;
}

// Byte offset of the last character of non-empty text.
size_t last_char_start(std::string_view text) {
    size_t at = text.size() - 1;
    while (at > 0 && continuation_byte(text[at])) --at;
    return at;
}

NameIndex outcome(IndexOutcome kind, int64_t value = 0, bool too_long = false) {
    NameIndex result;
    result.outcome = kind;
    result.value = value;
    result.too_long = too_long;
    return result;
}

constexpr int64_t kMaxIndex = std::numeric_limits<int64_t>::max();

// int(text) when the strict reading decides it exactly.
std::optional<int64_t> exact_decimal(std::string_view text, int64_t limit) {
    std::optional<uint64_t> value = read_decimal(text);
    if (!value || *value > uint64_t(limit)) return std::nullopt;
    return int64_t(*value);
}

NameIndex host_integer(std::string_view decimal, std::string_view hex, bool relay, bool too_long) {
    NameIndex result = outcome(IndexOutcome::HostInteger, 0, too_long);
    result.relay = relay;
    result.decimal = decimal;
    result.hex = hex;
    return result;
}

NameIndex relay_index(const NameParts &parts) {
    bool too_long = parts.tail_chars > 4;
    if (parts.tail_chars == 0) return outcome(IndexOutcome::IndexError); // digits[-1] of no digits
    // An empty word part reads as "0".
    std::string_view decimal = parts.number.empty() ? std::string_view("0") : parts.number;
    std::optional<int64_t> word = exact_decimal(decimal, (kMaxIndex - 15) / 16);
    int bit = hex_digit(parts.bit);
    if (!word || bit < 0) return host_integer(decimal, parts.bit, true, too_long);
    return outcome(IndexOutcome::Number, *word * 16 + bit, too_long);
}

NameIndex word_index(std::string_view number) {
    std::optional<int64_t> value = exact_decimal(number, kMaxIndex);
    if (!value) return host_integer(number, {}, false, false);
    return outcome(IndexOutcome::Number, *value);
}


} // namespace

bool is_relay_letter(char c) { return c == 'X' || c == 'Y' || c == 'R'; }

bool visible_ascii(std::string_view text) {
    for (char c : text)
        if (c <= ' ' || c > '~') return false;
    return true;
}

NameParts split_name(std::string_view name) {
    NameParts parts;
    if (name.empty()) return parts;
    char first = name[0];
    std::string_view rest = name.substr(1);
    if (is_relay_letter(first)) {
        parts.form = NameForm::Relay;
        parts.letter = first;
        parts.tail_chars = char_count(rest);
        if (!rest.empty()) {
            size_t last = last_char_start(rest);
            parts.number = rest.substr(0, last);
            parts.bit = rest.substr(last);
        }
        return parts;
    }
    if (first == 'D') {
        parts.form = NameForm::DataWord;
        parts.letter = 'D';
        parts.tail_chars = rest.empty() ? 0 : 1;
        parts.number = (!rest.empty() && rest[0] == 'T') ? rest.substr(1) : rest;
        return parts;
    }
    if (first == 'W') {
        parts.form = NameForm::LetterWord;
        if (rest.empty()) return parts;
        size_t second = first_char_size(rest);
        if (second == 1 && static_cast<unsigned char>(rest[0]) < 0x80) parts.letter = rest[0];
        parts.number = rest.substr(second);
        return parts;
    }
    parts.form = NameForm::Unknown;
    return parts;
}

std::optional<uint64_t> read_decimal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        unsigned digit = unsigned(c - '0');
        if (value == kDecimalOverflow) continue; // saturated; the digits must still be digits
        value = value > (kDecimalOverflow - digit) / 10 ? kDecimalOverflow : value * 10 + digit;
    }
    return value;
}

int hex_digit(std::string_view text) {
    if (text.size() != 1) return -1;
    char c = text[0];
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

NameIndex name_to_index(std::string_view name) {
    if (!visible_ascii(name)) return outcome(IndexOutcome::InvalidName);
    NameParts parts = split_name(name);
    switch (parts.form) {
    case NameForm::Empty: return outcome(IndexOutcome::IndexError);
    case NameForm::Relay: return relay_index(parts);
    case NameForm::DataWord:
        // name[1] of a bare "D" is out of range.
        if (parts.tail_chars == 0) return outcome(IndexOutcome::IndexError);
        return word_index(parts.number);
    case NameForm::LetterWord: return word_index(parts.number);
    case NameForm::Unknown: break;
    }
    return outcome(IndexOutcome::InvalidName);
}

IndexName index_to_name(std::string_view prefix, int64_t index) {
    if (prefix.empty()) return IndexName{PrefixOutcome::IndexError, {}};
    char first = prefix[0];
    std::string name(prefix);
    if (is_relay_letter(first)) {
        // Floor division and modulo by 16, also for negative indexes.
        BitAddress at = split_bit_index(index);
        name += std::to_string(at.word);
        name += "0123456789ABCDEF"[at.shift];
        return IndexName{PrefixOutcome::Name, std::move(name)};
    }
    if (first == 'D' || first == 'W') return IndexName{PrefixOutcome::Name, name + std::to_string(index)};
    return IndexName{PrefixOutcome::InvalidPrefix, {}};
}

std::string short_relay_name(std::string_view letter, uint64_t word, int bit) {
    std::string name(letter);
    if (word != 0) name += std::to_string(word);
    name += "0123456789ABCDEF"[bit & 15];
    return name;
}

} // namespace kvo::core
