// The error helpers of errors.h.
#include "runtime/errors.h"

#include <cstdarg>

namespace kvo::rt {

ErrorSet fail(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    return {};
}

ErrorSet fail(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    return {};
}

ErrorSet fail_with(py::handle exc) {
    if (!PyExceptionInstance_Check(exc.ptr()))
        return fail(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
    return {};
}

namespace {

// The exception set, reported with the context `make()` builds while the
// exception is put aside (building it may run Python code). A Ctrl-C is not
// reported but kept pending: the main thread raises it at its next check.
template <class Make>
void report_unraisable(Make make) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        PyErr_Clear();
        PyErr_SetInterrupt();
        return;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *where = make();
    if (!where) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    PyErr_WriteUnraisable(where);
    Py_XDECREF(where);
}

} // namespace

void write_unraisable(const char *context) {
    report_unraisable([&] { return PyUnicode_FromString(context); });
}

void write_unraisable_for(py::handle object) {
    report_unraisable([&] { return PyObject_Str(object.ptr()); });
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
