// Attribute access and calls over interned names, in the error convention of
// our bodies: a new reference, or a null object with the Python error set.
// Nothing here throws, so a Python exception travelling through a body (a
// fault, a stop, a dead worker) costs no C++ unwinding:
//
//     py::object words = get(self, names()._y_words);
//     if (!words) return {};
//
// Methods are called through PyObject_VectorcallMethod: no bound method
// object is made.
#pragma once

#include "fa/module/state.h"
#include "fa/module/runtime.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace fa {

inline py::object steal(PyObject *result) { return py::reinterpret_steal<py::object>(result); }
inline py::object borrow(PyObject *obj) { return py::reinterpret_borrow<py::object>(obj); }

// obj.name
inline py::object get(py::handle obj, PyObject *name) { return steal(PyObject_GetAttr(obj.ptr(), name)); }
// obj.name = value; false with the error set.
inline bool set(py::handle obj, PyObject *name, py::handle value) {
    return PyObject_SetAttr(obj.ptr(), name, value.ptr()) == 0;
}
inline bool set_bool(py::handle obj, PyObject *name, bool value) {
    return PyObject_SetAttr(obj.ptr(), name, value ? Py_True : Py_False) == 0;
}

// obj.name(args...)
template <typename... A>
py::object call_method(py::handle obj, PyObject *name, A... args) {
    // Slot 0 is spare, so the callee may prepend an argument in place.
    PyObject *argv[] = {nullptr, obj.ptr(), py::handle(args).ptr()...};
    return steal(PyObject_VectorcallMethod(name, argv + 1, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           nullptr));
}

// callable(args...)
template <typename... A>
py::object call(py::handle callable, A... args) {
    PyObject *argv[] = {nullptr, py::handle(args).ptr()...};
    return steal(PyObject_Vectorcall(callable.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A module-level name as it stands now (the module's own, then the
// builtins): one dict lookup with an interned key.
py::object global(PyObject *name);

// global(name)(args...)
template <typename... A>
py::object call_global(PyObject *name, A... args) {
    py::object callable = global(name);
    if (!callable) return callable;
    return call(callable, args...);
}

// bool(obj): 1, 0, or -1 with the error set.
inline int truth_of(py::handle obj) {
    if (obj.ptr() == Py_True) return 1;
    if (obj.ptr() == Py_False || obj.ptr() == Py_None) return 0;
    return PyObject_IsTrue(obj.ptr());
}


inline py::object none() { return borrow(Py_None); }
inline py::object boolean(bool value) { return borrow(value ? Py_True : Py_False); }

} // namespace fa
