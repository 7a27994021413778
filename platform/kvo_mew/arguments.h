// Python arguments of the link and of the simulated PLC, turned into checked
// C++ values. Wrong types raise TypeError, out-of-range values ValueError,
// unknown or unsuitable elements and bad stations AddressError; all of it
// before any transaction, so a refused call changes nothing. `op` names the
// operation in the messages ("set_uint16() value must be an int, not float").
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "platform/kvo_mew/element_name.h"

namespace mew {

namespace py = pybind11;

constexpr int kFirstStation = 1;
constexpr int kLastStation = 255;

int station_arg(const char *op, py::handle station);
size_t count_arg(const char *op, py::handle count, const char *what = "count");

// Any element name; the simulated PLC's direct access takes all kinds.
Element element_arg(const char *op, py::handle name);
// X/Y/R relays, for the coil operations.
Element relay_arg(const char *op, py::handle name);
// WX/WY/WR relay words, for get_coil_uint16/set_coil_uint16.
Element relay_word_arg(const char *op, py::handle name);
// D/DT data words or WX/WY/WR relay words, for the word operations.
Element word_arg(const char *op, py::handle name);

// Refuses a block of `words` words from `first` on that leaves its area.
void block_arg(const char *op, const Element &first, size_t words);

bool coil_arg(const char *op, py::handle value);
uint16_t uint16_arg(const char *op, py::handle value, const char *what = "value");
uint32_t uint32_arg(const char *op, py::handle value, const char *what = "value");
int32_t int32_arg(const char *op, py::handle value, const char *what = "value");

// A list or tuple of values, each converted like the single value; the
// 32-bit ones come out as two words each, low word first.
std::vector<uint16_t> uint16_list_arg(const char *op, py::handle values);
std::vector<uint16_t> uint32_list_arg(const char *op, py::handle values);
std::vector<uint16_t> int32_list_arg(const char *op, py::handle values);

} // namespace mew
