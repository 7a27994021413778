// Module-wide services: the one place that resolves module-level names
// (aliases and classes, looked up when used so tests and simulations can
// replace them), the host's assertions, reports and time aliases, in the
// null-result convention of calls.h.
#pragma once

#include "fa/module/runtime.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace fa {

bool assertions_enabled();
// `assert condition` without message: true, or false with a bare
// AssertionError set; skipped when the interpreter runs with -O.
bool assertion(bool condition);

// print(obj) through sys.stdout, as a background thread reports an error:
// true, or false with the error set.
bool print_line(py::handle obj);

// _sleep(seconds): true, or false with the error set.
bool pause(py::handle seconds);

// [0] * count, with the host's errors for a count that is not an int: a
// new list, or null with the error set.
py::object zeros(py::handle count);

// The truth of `value`, null standing for an error already set: 1, 0 or -1.
int truth_or_error(const py::object &value);

// a != b or a == b by the host's operator, without the identity shortcut of
// PyObject_RichCompareBool: 1, 0 or -1 with the error set.
int compared(py::handle a, py::handle b, int op);
inline int differs(py::handle a, py::handle b) { return compared(a, b, Py_NE); }
inline int same(py::handle a, py::handle b) { return compared(a, b, Py_EQ); }

} // namespace fa
