// FP element names: the split by letters, name_to_index with the outcomes
// the host would give, index_to_name, and round trips over every relay.
#include <doctest/doctest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "core/fp_names.h"

using namespace kvo::core;

namespace {

constexpr int64_t kRelayMax = 999 * 16 + 15;

int64_t number_of(std::string_view name) {
    NameIndex result = name_to_index(name);
    REQUIRE(result.outcome == IndexOutcome::Number);
    CHECK_FALSE(result.too_long);
    return result.value;
}

std::string name_of(std::string_view prefix, int64_t index) {
    IndexName result = index_to_name(prefix, index);
    REQUIRE(result.outcome == PrefixOutcome::Name);
    return result.name;
}

} // namespace

TEST_CASE("names stand for their numbers") {
    struct Case {
        const char *name;
        int64_t number;
    };
    for (Case c : {Case{"X0", 0}, {"X00", 0}, {"X000", 0}, {"XF", 15}, {"X0F", 15}, {"X10", 16}, {"X1F", 31},
                   {"Y10", 16}, {"R10", 16}, {"R9F", 159}, {"R100", 160}, {"X12F", 207}, {"R999F", kRelayMax},
                   {"X1f", 31}, {"X05", 5}, {"D100", 100}, {"DT100", 100}, {"D007", 7}, {"WX3", 3}, {"WY0", 0},
                   {"WQ12", 12}, {"D9223372036854775807", std::numeric_limits<int64_t>::max()}}) {
        CAPTURE(c.name);
        CHECK(number_of(c.name) == c.number);
    }
}

TEST_CASE("every hexadecimal bit digit, either case, and nothing else") {
    const std::string hex = "0123456789ABCDEF";
    for (int bit = 0; bit < 16; ++bit) {
        CHECK(number_of(std::string("X7") + hex[bit]) == 7 * 16 + bit);
        CHECK(number_of(std::string("Y") + char(std::tolower(hex[bit]))) == bit);
    }
    for (int c = 1; c < 256; ++c) {
        bool digit = std::isxdigit(c) != 0;
        CAPTURE(c);
        CHECK((hex_digit(std::string(1, char(c))) >= 0) == digit);
        NameIndex result = name_to_index(std::string("X1") + char(c));
        IndexOutcome refused = c > ' ' && c < 0x7F ? IndexOutcome::HostInteger : IndexOutcome::InvalidName;
        CHECK(result.outcome == (digit ? IndexOutcome::Number : refused));
    }
    CHECK(hex_digit("") == -1);
    CHECK(hex_digit("1F") == -1);
}

TEST_CASE("failures the host raises itself") {
    for (const char *name : {"", "X", "Y", "R", "D"}) {
        CAPTURE(name);
        CHECK(name_to_index(name).outcome == IndexOutcome::IndexError);
    }
    for (const char *name : {"T5", "x10", "d5", "w5", "Z", " X1", "\xC3\x97" "1"}) {
        CAPTURE(name);
        CHECK(name_to_index(name).outcome == IndexOutcome::InvalidName);
    }
}

TEST_CASE("number parts the strict reading leaves to the host's int()") {
    struct Case {
        const char *name;
        const char *decimal;
        const char *hex;
        bool relay;
    };
    for (Case c : {Case{"XA0", "A", "0", true}, {"X1G", "1", "G", true},
                   {"X-1F", "-1", "F", true}, {"X+1F", "+1", "F", true},
                   {"X1_0F", "1_0", "F", true}, {"DT", "", "", false},
                   {"DX5", "X5", "", false}, {"W", "", "", false},
                   {"WX", "", "", false}, {"W3", "", "", false},
                   {"D-5", "-5", "", false}, {"DT+7", "+7", "", false},
                   {"D9223372036854775808", "9223372036854775808", "", false},
                   {"WX99999999999999999999999", "99999999999999999999999", "", false}}) {
        CAPTURE(c.name);
        NameIndex result = name_to_index(c.name);
        REQUIRE(result.outcome == IndexOutcome::HostInteger);
        CHECK(result.decimal == c.decimal);
        CHECK(result.hex == c.hex);
        CHECK(result.relay == c.relay);
    }
}

TEST_CASE("names are visible ASCII only") {
    // ARABIC-INDIC DIGITS, a euro sign, a Latin-1 letter, a lone surrogate's
    // UTF-8 form, blanks and control characters: the host's int() would read
    // the digits and skip the blanks, a name does not.
    for (const char *name : {"X 1F", "X1 ", "X1\n", "X1\n1", "D 5", "D1\n", "WX7\t", "\tX1", "X\x7F" "1",
                             "X\xD9\xA3" "1", "X1\xD9\xA1", "D\xD9\xA1\xD9\xA2", "W\xE2\x82\xAC" "5",
                             "X\xE2\x82\xAC" "12F", "X1F\xE2\x82\xAC", "X\xC3\xA9" "1", "D\xED\xA0\x80"}) {
        CAPTURE(name);
        NameIndex result = name_to_index(name);
        CHECK(result.outcome == IndexOutcome::InvalidName);
        CHECK_FALSE(result.too_long);
    }
}

TEST_CASE("relay names longer than four characters after the letter") {
    NameIndex result = name_to_index("R1000F");
    CHECK(result.too_long);
    CHECK(result.outcome == IndexOutcome::Number); // read on when assertions are off
    CHECK(result.value == 1000 * 16 + 15);
    CHECK_FALSE(name_to_index("R999F").too_long);
    NameIndex huge = name_to_index("X99999999999999999999F");
    CHECK(huge.too_long);
    CHECK(huge.outcome == IndexOutcome::HostInteger);
    // The largest word that still fits 64 bits together with its bit digit.
    CHECK(name_to_index("X576460752303423487F").value == std::numeric_limits<int64_t>::max());
    CHECK(name_to_index("X576460752303423488F").outcome == IndexOutcome::HostInteger);
}

TEST_CASE("the split counts characters, not bytes") {
    // Four characters after the letter, seven bytes.
    CHECK(split_name("X\xE2\x82\xAC" "12F").tail_chars == 4);
    CHECK(split_name("X\xE2\x82\xAC" "123F").tail_chars == 5);
    // The bit digit is the last character, even a multi-byte one.
    CHECK(split_name("X1\xE2\x82\xAC").bit == "\xE2\x82\xAC");
    // W takes any one character before its number; a multi-byte one is no letter.
    NameParts parts = split_name("W\xE2\x82\xAC" "5");
    CHECK(parts.letter == 0);
    CHECK(parts.number == "5");
}

TEST_CASE("the split by letters") {
    NameParts relay = split_name("R12F");
    CHECK(relay.form == NameForm::Relay);
    CHECK(relay.letter == 'R');
    CHECK(relay.number == "12");
    CHECK(relay.bit == "F");
    CHECK(relay.tail_chars == 3);
    NameParts dt = split_name("DT100");
    CHECK(dt.form == NameForm::DataWord);
    CHECK(dt.number == "100");
    CHECK(split_name("D100").number == "100");
    NameParts word = split_name("WY7");
    CHECK(word.form == NameForm::LetterWord);
    CHECK(word.letter == 'Y');
    CHECK(word.number == "7");
    CHECK(split_name("").form == NameForm::Empty);
    CHECK(split_name("Q1").form == NameForm::Unknown);
}

TEST_CASE("index_to_name writes the word number always and the bit in uppercase") {
    struct Case {
        const char *prefix;
        int64_t index;
        const char *name;
    };
    for (Case c : {Case{"X", 0, "X00"}, {"X", 5, "X05"}, {"X", 31, "X1F"}, {"Y", 16, "Y10"}, {"Y", 255, "Y15F"},
                   {"R", 160, "R100"}, {"R", kRelayMax, "R999F"}, {"D", 100, "D100"}, {"DT", 100, "DT100"},
                   {"WX", 3, "WX3"}, {"W", 3, "W3"}, {"Xabc", 17, "Xabc11"}, {"X", -1, "X-1F"},
                   {"X", -16, "X-10"}, {"X", -17, "X-2F"}, {"D", -5, "D-5"},
                   {"X", std::numeric_limits<int64_t>::min(), "X-5764607523034234880"},
                   {"D", std::numeric_limits<int64_t>::max(), "D9223372036854775807"}}) {
        CAPTURE(c.prefix);
        CAPTURE(c.index);
        CHECK(name_of(c.prefix, c.index) == c.name);
    }
    CHECK(index_to_name("", 5).outcome == PrefixOutcome::IndexError);
    for (const char *prefix : {"Q", "x", "d", "T", " X", "\xC3\x97"}) {
        CAPTURE(prefix);
        CHECK(index_to_name(prefix, 5).outcome == PrefixOutcome::InvalidPrefix);
    }
}

TEST_CASE("round trips over every relay and many words") {
    for (const char *prefix : {"X", "Y", "R"})
        for (int64_t n = 0; n <= kRelayMax; ++n) REQUIRE(number_of(name_of(prefix, n)) == n);
    for (const char *prefix : {"D", "DT", "WX", "WY", "WR"})
        for (int64_t n = 0; n < 100000; n += 7) REQUIRE(number_of(name_of(prefix, n)) == n);
    // W with no second letter makes a name the parser reads differently.
    CHECK(name_to_index(name_of("W", 3)).outcome == IndexOutcome::HostInteger);
}

TEST_CASE("strict decimal reading") {
    CHECK_FALSE(read_decimal(""));
    CHECK(read_decimal("0") == 0u);
    CHECK(read_decimal("007") == 7u);
    CHECK(read_decimal("18446744073709551614") == 18446744073709551614u);
    CHECK(read_decimal("18446744073709551616") == kDecimalOverflow);
    CHECK(read_decimal("99999999999999999999999999") == kDecimalOverflow);
    for (const char *junk : {"-1", "+1", " 1", "1 ", "1_0", "0x1", "1.0", "1e3", "99999999999999999999x"}) {
        CAPTURE(junk);
        CHECK_FALSE(read_decimal(junk));
    }
}

TEST_CASE("the link's short relay names") {
    CHECK(short_relay_name("X", 0, 15) == "XF");
    CHECK(short_relay_name("X", 1, 15) == "X1F");
    CHECK(short_relay_name("R", 999, 0) == "R9990");
}
