#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace fa {

struct ImageLists {
    py::object words;
    py::object words_old;
};

// The construction rules shared by XManager and YManager: both None needs a
// positive count; words None with words_old given is refused; a missing
// words_old becomes zeros; two lists must have the same length.
ImageLists image_lists(py::handle words, py::handle words_old, py::handle count);

} // namespace fa
