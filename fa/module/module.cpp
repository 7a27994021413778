#include "fa/module/module.h"

#include "fa/module/calls.h"

namespace fa {

namespace {
int g_assertions = -1;
} // namespace

// Module names first, then the builtins, as a global name in Python code.
py::object name(const char *ident) {
    PyObject *dict = module_namespace();
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

namespace {

#if KVO_HAVE_DICT_WATCHERS
// The answers of recent lookups. Both dicts an answer came from are
// watched: any change to either forgets every answer before it is made, so
// a kept answer is what the same lookup would find now, still held by its
// dict, and any replacement of the name is seen at its next use. Without
// watchers (before 3.12) every use looks the name up.
struct GlobalAnswer {
    PyObject *ident = nullptr;
    PyObject *module_dict = nullptr;
    PyObject *builtins = nullptr; // null: found in the module dict
    PyObject *value = nullptr;    // borrowed from its dict
};

GlobalAnswer recent_globals[64];
int globals_watcher = -2; // -2: not added yet, -1: none to be had

int forget_answers(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    for (GlobalAnswer &answer : recent_globals) answer.ident = nullptr;
    return 0;
}

// Watches `dict` (an exact dict) for changes; false when it cannot be.
bool watched(PyObject *dict) {
    if (globals_watcher == -2) {
        globals_watcher = PyDict_AddWatcher(forget_answers);
        if (globals_watcher < 0) PyErr_Clear();
    }
    if (globals_watcher < 0 || !PyDict_CheckExact(dict)) return false;
    if (PyDict_Watch(globals_watcher, dict) == 0) return true;
    PyErr_Clear();
    return false;
}

PyObject *cached_global(PyObject *ident) {
    GlobalAnswer &answer = recent_globals[(reinterpret_cast<uintptr_t>(ident) >> 4) & 63];
    PyObject *module_dict = module_namespace();
    if (answer.ident == ident && answer.module_dict == module_dict &&
        (!answer.builtins || answer.builtins == PyEval_GetBuiltins()))
        return answer.value;
    PyObject *value = PyDict_GetItemWithError(module_dict, ident);
    PyObject *builtins = nullptr;
    if (!value && !PyErr_Occurred()) {
        builtins = PyEval_GetBuiltins();
        value = PyDict_GetItemWithError(builtins, ident);
    }
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", ident);
        return nullptr;
    }
    if (watched(module_dict) && (!builtins || watched(builtins)))
        answer = GlobalAnswer{ident, module_dict, builtins, value};
    return value;
}
#else
PyObject *cached_global(PyObject *ident) {
    PyObject *value = PyDict_GetItemWithError(module_namespace(), ident);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), ident);
    if (!value && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", ident);
    return value; // borrowed
}
#endif

} // namespace

py::object global(PyObject *ident) { return borrow(cached_global(ident)); }

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
    if (!call_global(names()._sleep, seconds)) raise_current();
}

void sleep(double seconds) { sleep(py::float_(seconds)); }

double now() {
    py::object clock = call_global(names()._now);
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
