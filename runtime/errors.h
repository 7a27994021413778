// The one error convention of the three modules' Python-facing code.
//
// A function that meets a Python error sets it in the interpreter and returns
// the null result that reports it: a null py::object, false, -1, an empty
// optional or a null pointer. Nothing is thrown for an ordinary Python error,
// so a fault, a stop or a link failure travelling through our code costs no
// C++ unwinding:
//
//     py::object words = get(self, names._y_words);
//     if (!words) return {};
//     ...
//     if (count < 0) return fail(PyExc_ValueError, "count must be >= 0, not %zd", count);
//
// `raise` and `raise_current` throw py::error_already_set for the rare deep
// paths that cannot return a null result (building classes at import, a
// failed allocation inside a helper); the function type's call boundary
// (function.h) restores the error, as it does for any C++ exception.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>

namespace kvo::rt {

namespace py = pybind11;

// What a function returns once the Python exception is set: the null result
// of whatever its result type is.
struct ErrorSet {
    operator py::object() const { return {}; }
    template <class T>
    operator std::optional<T>() const {
        return std::nullopt;
    }
    template <class T>
    operator std::unique_ptr<T>() const {
        return nullptr;
    }
    template <class T>
    operator std::shared_ptr<T>() const {
        return nullptr;
    }
    template <class T>
    operator T *() const {
        return nullptr;
    }
};

// Sets a Python exception of `type` with a printf-style message, or with
// `message`; returns the null result that reports it.
ErrorSet fail(PyObject *type, const char *format, ...);
ErrorSet fail(PyObject *type, const std::string &message);
// `raise exc` of the host, as a null result: an exception instance is
// raised as it is; any other object gives the host's TypeError.
ErrorSet fail_with(py::handle exc);

// Reports the exception set through sys.unraisablehook, `context` naming
// where it happened (a callback that has no caller to raise it to). A
// KeyboardInterrupt is never swallowed there: it is cleared and kept pending
// for the main thread (PyErr_SetInterrupt), which raises it right after.
void write_unraisable(const char *context);
// The same, the context being str(object).
void write_unraisable_for(py::handle object);

// The same errors, thrown to the nearest call boundary.
[[noreturn]] void raise(PyObject *type, const char *format, ...);
[[noreturn]] void raise_current();
// A new reference from the C API, or the Python error it set, thrown.
py::object checked(PyObject *result);

} // namespace kvo::rt
