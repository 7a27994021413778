// The word images shared by XManager and YManager, and the XManager
// methods that other rooms call directly when nothing overrides them.
#pragma once

#include "fa/module/runtime.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace fa {

struct ImageLists {
    py::object words;
    py::object words_old;
};

// The construction rules shared by XManager and YManager: both None needs a
// positive count; words None with words_old given is refused; a missing
// words_old becomes zeros; two lists must have the same length. Fills
// `lists`: true, or false with the error set.
bool image_lists(py::handle words, py::handle words_old, py::handle count, ImageLists &lists);

// 1 when two image words differ, 0 when equal, -1 with the error set. Exact
// ints are compared natively; anything else with the host's != (no identity
// shortcut, as the host's own operator).
int words_differ(PyObject *a, PyObject *b);

// list[i] = value, skipped when the list holds that very object already.
bool store_word(PyObject *list, Py_ssize_t i, PyObject *value);

namespace xmanager {
extern const FunctionSpec kGetItem;
extern const FunctionSpec kX;
extern const FunctionSpec kWx;
extern const FunctionSpec kRising;
extern const FunctionSpec kFalling;
extern const FunctionSpec kUpdate;
extern const FunctionSpec kCopy;
extern const FunctionSpec kWordCount;
} // namespace xmanager

} // namespace fa
