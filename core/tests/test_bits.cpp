// Bit arithmetic of the word images: floor division for negative indexes,
// list positions from the end, bit reads and writes, edges.
#include <doctest/doctest.h>

#include <limits>

#include "core/bits.h"

using namespace kvo::core;

TEST_CASE("a bit index splits into word and bit with floor division") {
    struct Case {
        int64_t index, word;
        int shift;
    };
    for (Case c : {Case{0, 0, 0}, {1, 0, 1}, {15, 0, 15}, {16, 1, 0}, {17, 1, 1}, {31, 1, 15}, {-1, -1, 15},
                   {-15, -1, 1}, {-16, -1, 0}, {-17, -2, 15}, {-32, -2, 0},
                   {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::min() / 16, 0},
                   {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::max() / 16, 15}}) {
        CAPTURE(c.index);
        BitAddress at = split_bit_index(c.index);
        CHECK(at.word == c.word);
        CHECK(at.shift == c.shift);
    }
    for (int64_t n = -1000; n <= 1000; ++n) {
        BitAddress at = split_bit_index(n);
        REQUIRE(at.shift >= 0);
        REQUIRE(at.shift < 16);
        REQUIRE(bit_index(at.word, at.shift) == n);
    }
}

TEST_CASE("word positions count from the end when negative") {
    CHECK(word_position(0, 3) == size_t(0));
    CHECK(word_position(2, 3) == size_t(2));
    CHECK(word_position(-1, 3) == size_t(2));
    CHECK(word_position(-3, 3) == size_t(0));
    CHECK_FALSE(word_position(-4, 3));
    CHECK_FALSE(word_position(3, 3));
    CHECK_FALSE(word_position(0, 0));
    CHECK_FALSE(word_position(-1, 0));
    CHECK_FALSE(word_position(std::numeric_limits<int64_t>::min(), 3));
    CHECK_FALSE(word_position(std::numeric_limits<int64_t>::max(), 3));
}

TEST_CASE("bits of a word, least significant first") {
    CHECK(bit_of(0x8000, 15));
    CHECK_FALSE(bit_of(0x8000, 14));
    CHECK(bit_of(5, 0));
    CHECK_FALSE(bit_of(5, 1));
    CHECK(bit_of(5, 2));
    CHECK(bit_of(-1, 15)); // an unmasked negative word, as the host's & reads it
    CHECK_FALSE(bit_of(0x10000, 0)); // wider words keep their higher bits to themselves
    for (int shift = 0; shift < 16; ++shift) {
        CAPTURE(shift);
        int64_t set = with_bit(0, shift, true);
        CHECK(set == (int64_t(1) << shift));
        CHECK(bit_of(set, shift));
        CHECK(with_bit(set, shift, false) == 0);
        CHECK(with_bit(0xFFFF, shift, false) == (0xFFFF & ~(1 << shift)));
        CHECK(with_bit(0xFFFF, shift, true) == 0xFFFF);
    }
}

TEST_CASE("edges between the previous and the current word") {
    // current, previous -> rising, falling
    CHECK(rising(1, 0, 0));
    CHECK_FALSE(falling(1, 0, 0));
    CHECK(falling(0, 1, 0));
    CHECK_FALSE(rising(0, 1, 0));
    CHECK_FALSE(rising(1, 1, 0));
    CHECK_FALSE(falling(1, 1, 0));
    CHECK_FALSE(rising(0, 0, 0));
    CHECK_FALSE(falling(0, 0, 0));
    // Only the asked bit counts.
    CHECK_FALSE(rising(0x0002, 0x0000, 0));
    CHECK(rising(0x8001, 0x0001, 15));
    CHECK(falling(0x0001, 0x8001, 15));
}
