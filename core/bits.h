// Bit arithmetic of the word images: bit index n is bit n % 16 of word
// n // 16, with floor division and modulo, so -1 is bit 15 of word -1 (the
// last word, as list positions count from the end); bit 0 is the least
// significant. Edges compare a bit of the current word with the same bit of
// the previous one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kvo::core {

constexpr int kWordBits = 16;

struct BitAddress {
    int64_t word; // index // 16
    int shift;    // index % 16, 0..15
};

constexpr BitAddress split_bit_index(int64_t index) {
    int64_t word = index / kWordBits;
    int64_t shift = index % kWordBits;
    if (shift < 0) { // C++ truncates toward zero; the image floors
        shift += kWordBits;
        word -= 1;
    }
    return BitAddress{word, int(shift)};
}

constexpr int64_t bit_index(int64_t word, int shift) { return word * kWordBits + shift; }

// A word position as a list position: negative positions count from the end.
// None when it lies outside a list of `size` words.
constexpr std::optional<size_t> word_position(int64_t word, size_t size) {
    if (word < 0) word += int64_t(size);
    if (word < 0 || uint64_t(word) >= size) return std::nullopt;
    return size_t(word);
}

// Bits are read from the word as it is: wider values keep their higher bits,
// negative ones read as two's complement, as the host's & does.
constexpr bool bit_of(int64_t word, int shift) { return ((word >> shift) & 1) != 0; }

constexpr int64_t with_bit(int64_t word, int shift, bool on) {
    int64_t mask = int64_t(1) << shift;
    return on ? (word | mask) : (word & ~mask);
}

// The bit is 1 now and was 0 before.
constexpr bool rising(int64_t current, int64_t previous, int shift) {
    return bit_of(current, shift) && !bit_of(previous, shift);
}

// The bit was 1 before and is 0 now.
constexpr bool falling(int64_t current, int64_t previous, int shift) {
    return bit_of(previous, shift) && !bit_of(current, shift);
}

} // namespace kvo::core
