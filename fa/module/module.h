// Module-wide services: the one place that resolves module-level names
// (aliases and classes, looked up when used so tests and simulations can
// replace them), raising Python errors from C++, and the host's assertions.
#pragma once

#include "fa/module/runtime.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace fa {

// A module-level name as it stands now, e.g. name("_sleep"), name("XManager").
py::object name(const char *ident);
// The same with an interned name (names.h): one dict lookup.
py::object name(PyObject *ident);

// `raise exc` of the host: an exception instance is raised as it is; any
// other object gives the host's TypeError.
[[noreturn]] void raise_object(py::handle exc);
// A bare AssertionError, skipped when the interpreter runs with -O.
void check(bool condition);
bool assertions_enabled();

// The argument-type error of the module surface.
[[noreturn]] void raise_arg_type(const char *param, const char *expected, py::handle got);

// print(obj) through sys.stdout, as a background thread reports an error.
void print_line(py::handle obj);

// Shortcuts for the module's time aliases.
void sleep(py::handle seconds);
void sleep(double seconds);
double now();

// list(iterable): always a new list (py::list would share an existing one).
py::object new_list(py::handle iterable);
// float(obj) as a double, with the host's TypeError for a non-number.
double to_double(py::handle obj);

// Truth value that raises the Python error instead of returning -1.
bool truth(py::handle obj);
// obj1 != obj2 / obj1 == obj2 with the host's comparison.
bool not_equal(py::handle a, py::handle b);
bool equal(py::handle a, py::handle b);

} // namespace fa
