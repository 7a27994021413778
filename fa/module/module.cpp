#include "fa/module/module.h"

#include "fa/module/calls.h"

#include <cstdarg>

namespace fa {

namespace {
// Owned for the life of the process: the module object outlives every call.
PyObject *g_module = nullptr;
int g_assertions = -1;
} // namespace

void set_module(py::handle module) {
    Py_XINCREF(module.ptr());
    g_module = module.ptr();
}

py::dict module_dict() { return py::reinterpret_borrow<py::dict>(PyModule_GetDict(g_module)); }

// Module names first, then the builtins, as a global name in Python code.
py::object name(const char *ident) {
    PyObject *dict = PyModule_GetDict(g_module);
    PyObject *value = PyDict_GetItemString(dict, ident);
    if (!value) value = PyDict_GetItemString(PyEval_GetBuiltins(), ident);
    if (!value) raise(PyExc_NameError, "name '%s' is not defined", ident);
    return py::reinterpret_borrow<py::object>(value);
}

py::object name(PyObject *ident) {
    py::object value = global(ident);
    if (!value) raise_current();
    return value;
}

py::object global(PyObject *ident) {
    PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(g_module), ident);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), ident);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", ident);
        return py::object();
    }
    return borrow(value);
}

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

void raise_object(py::handle exc) {
    fail_with(exc);
    throw py::error_already_set();
}

py::object new_list(py::handle iterable) { return checked(PySequence_List(iterable.ptr())); }

double to_double(py::handle obj) {
    double value = PyFloat_AsDouble(obj.ptr());
    if (value == -1.0 && PyErr_Occurred()) raise_current();
    return value;
}

bool assertions_enabled() {
    if (g_assertions < 0) {
        py::object flags = py::module_::import("sys").attr("flags");
        g_assertions = flags.attr("optimize").cast<int>() == 0 ? 1 : 0;
    }
    return g_assertions == 1;
}

void check(bool condition) {
    if (!condition && assertions_enabled()) {
        PyErr_SetNone(PyExc_AssertionError);
        throw py::error_already_set();
    }
}

void raise_arg_type(const char *param, const char *expected, py::handle got) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, expected,
          Py_TYPE(got.ptr())->tp_name);
}

void print_line(py::handle obj) {
    py::object print = py::module_::import("builtins").attr("print");
    print(obj);
}

void sleep(py::handle seconds) {
    if (!call_global(names._sleep, seconds)) raise_current();
}

void sleep(double seconds) { sleep(py::float_(seconds)); }

double now() {
    py::object clock = call_global(names._now);
    if (!clock) raise_current();
    return to_double(clock);
}

bool truth(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) raise_current();
    return r == 1;
}

static bool compare(py::handle a, py::handle b, int op) {
    // The host's operator, without the identity shortcut of RichCompareBool.
    PyObject *result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!result) raise_current();
    return truth(py::reinterpret_steal<py::object>(result));
}

bool not_equal(py::handle a, py::handle b) { return compare(a, b, Py_NE); }
bool equal(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }

} // namespace fa
