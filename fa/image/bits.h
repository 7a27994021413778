// Bit addressing of word images: bit index n is bit n % 16 of word n // 16
// (floor division, so -1 is bit 15 of the last word). Plain ints go through
// the native core's arithmetic (core/bits.h); any other number through the
// host's own operators.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace fa {

struct BitAddress {
    py::object word;  // word position, as the host computes index // 16
    py::object shift; // bit within the word, index % 16
};

// Splits a bit index with the host's floor division and modulo, so any
// number the host accepts behaves as it would in Python. False with the
// error set.
bool split_bit_index(py::handle index, BitAddress &at);

// bool(words[index // 16] & (1 << index % 16) != 0): 1, 0, or -1 with the
// error set (an index error or a type error from the list access, as in the
// host).
int read_bit(py::handle words, py::handle index);

} // namespace fa
