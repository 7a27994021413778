// The one error convention of the three modules' Python-facing code.
//
// A function that meets a Python error sets it in the interpreter and returns
// the null result that reports it: a null py::object, false, -1 or an empty
// optional. Nothing is thrown for an ordinary Python error, so a fault, a
// stop or a link failure travelling through our code costs no C++ unwinding:
//
//     py::object words = get(self, names._y_words);
//     if (!words) return {};
//
// `raise` and `raise_current` throw py::error_already_set for the rare deep
// paths that cannot return a null result (building classes at import, a
// failed allocation inside a helper); the function type's call boundary
// (function.h) restores the error, as it does for any C++ exception.
#pragma once

#include <pybind11/pybind11.h>

namespace kvo::rt {

namespace py = pybind11;

// Sets a Python exception of `type` with a printf-style message; returns
// the null result that reports it.
py::object fail(PyObject *type, const char *format, ...);
// `raise exc` of the host, as a null result: an exception instance is
// raised as it is; any other object gives the host's TypeError.
py::object fail_with(py::handle exc);

// The same errors, thrown to the nearest call boundary.
[[noreturn]] void raise(PyObject *type, const char *format, ...);
[[noreturn]] void raise_current();
// A new reference from the C API, or the Python error it set, thrown.
py::object checked(PyObject *result);

} // namespace kvo::rt
