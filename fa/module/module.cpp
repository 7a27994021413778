#include "fa/module/module.h"

#include "fa/module/calls.h"

namespace fa {

namespace {
int g_assertions = -1;
} // namespace

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

bool assertions_enabled() {
    if (g_assertions < 0) {
        py::object sys = steal(PyImport_Import(names().sys));
        py::object flags = sys ? get(sys, names().flags) : sys;
        py::object optimize = flags ? get(flags, names().optimize) : flags;
        long level = optimize ? PyLong_AsLong(optimize.ptr()) : -1;
        // Only a broken sys.flags gets here: reported, and the assertions
        // run as by default (a Ctrl-C met on the way stays pending).
        if (level == -1 && PyErr_Occurred()) {
            kvo::rt::write_unraisable("reading sys.flags.optimize");
            return true;
        }
        g_assertions = level == 0 ? 1 : 0;
    }
    return g_assertions == 1;
}

bool assertion(bool condition) {
    if (condition || !assertions_enabled()) return true;
    PyErr_SetNone(PyExc_AssertionError);
    return false;
}

bool print_line(py::handle obj) {
    py::object builtins = steal(PyImport_Import(names().builtins));
    py::object print = builtins ? get(builtins, names().print) : builtins;
    return print && call(print, obj);
}

bool pause(py::handle seconds) { return bool(call_global(names()._sleep, seconds)); }

py::object zeros(py::handle count) {
    py::object zero = steal(PyLong_FromLong(0));
    py::object one = zero ? steal(PyList_New(1)) : zero;
    if (!one) return {};
    PyList_SET_ITEM(one.ptr(), 0, zero.release().ptr());
    return steal(PyNumber_Multiply(one.ptr(), count.ptr()));
}

int truth_or_error(const py::object &value) { return value ? truth_of(value) : -1; }

int compared(py::handle a, py::handle b, int op) {
    return truth_or_error(steal(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

} // namespace fa
