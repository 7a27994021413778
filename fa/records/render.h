// Operator messages are built from fixed pieces and rendered values.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

namespace py = pybind11;

namespace fa {

enum class Render {
    Literal, // the fixed text itself
    Text,    // str(value): names print unchanged, None prints as None
    Integer, // the value's integer conversion, in decimal (True -> 1)
    Seconds, // format(value, ".01f"): 7 -> 7.0, inf -> inf
};

struct Piece {
    Render how;
    const char *text; // Literal only
    py::handle value; // the others
};

inline Piece lit(const char *text) { return Piece{Render::Literal, text, py::handle()}; }
inline Piece text(py::handle v) { return Piece{Render::Text, nullptr, v}; }
inline Piece integer(py::handle v) { return Piece{Render::Integer, nullptr, v}; }
inline Piece seconds(py::handle v) { return Piece{Render::Seconds, nullptr, v}; }

constexpr size_t kMaxPieces = 20;

// Renders each piece in order, then joins them without separators into one
// new string. A failing rendering stops there: a null result with the
// Python error set.
py::object compose(std::initializer_list<Piece> pieces);

} // namespace fa
