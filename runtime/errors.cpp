// The error helpers of errors.h.
#include "runtime/errors.h"

#include <cstdarg>

namespace kvo::rt {

py::object fail(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    return py::object();
}

py::object fail_with(py::handle exc) {
    if (!PyExceptionInstance_Check(exc.ptr()))
        return fail(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    return py::object();
}

void raise(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw py::error_already_set();
}

void raise_current() { throw py::error_already_set(); }

py::object checked(PyObject *result) {
    if (!result) raise_current();
    return py::reinterpret_steal<py::object>(result);
}

} // namespace kvo::rt
