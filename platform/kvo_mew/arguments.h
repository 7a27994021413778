// Python arguments of the link and of the simulated PLC, turned into checked
// C++ values. Wrong types raise TypeError, out-of-range values ValueError,
// unknown or unsuitable elements and bad stations AddressError; all of it
// before any transaction, so a refused call changes nothing. A refused
// argument comes back empty (std::nullopt, false) with the exception set.
// `op` names the operation in the messages ("set_uint16() value must be an
// int, not float").
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "link/element_name.h"

namespace mew {

namespace py = pybind11;

constexpr int kFirstStation = 1;
constexpr int kLastStation = 255;

std::optional<int> station_arg(const char *op, py::handle station);
std::optional<size_t> count_arg(const char *op, py::handle count, const char *what = "count");

// Any element name; the simulated PLC's direct access takes all kinds.
std::optional<Element> element_arg(const char *op, py::handle name);
// X/Y/R relays, for the coil operations.
std::optional<Element> relay_arg(const char *op, py::handle name);
// WX/WY/WR relay words, for get_coil_uint16/set_coil_uint16.
std::optional<Element> relay_word_arg(const char *op, py::handle name);
// D/DT data words or WX/WY/WR relay words, for the word operations.
std::optional<Element> word_arg(const char *op, py::handle name);

// Refuses a block of `words` words from `first` on that leaves its area:
// false with AddressError set.
bool block_arg(const char *op, const Element &first, size_t words);

std::optional<bool> coil_arg(const char *op, py::handle value);
std::optional<uint16_t> uint16_arg(const char *op, py::handle value, const char *what = "value");
std::optional<uint32_t> uint32_arg(const char *op, py::handle value, const char *what = "value");
std::optional<int32_t> int32_arg(const char *op, py::handle value, const char *what = "value");

// A list or tuple of values, each converted like the single value; the
// 32-bit ones come out as two words each, low word first.
std::optional<std::vector<uint16_t>> uint16_list_arg(const char *op, py::handle values);
std::optional<std::vector<uint16_t>> uint32_list_arg(const char *op, py::handle values);
std::optional<std::vector<uint16_t>> int32_list_arg(const char *op, py::handle values);

// The text of a str (PyUnicode_AsUTF8AndSize), or nothing with the exception
// set (a lone surrogate); repr(value) and str(value) likewise.
std::optional<std::string> utf8_of(py::handle text);
std::optional<std::string> repr_of(py::handle value);
std::optional<std::string> str_of(py::handle value);

} // namespace mew
