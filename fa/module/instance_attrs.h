// Reading and storing the plain instance attributes of our own objects (a
// machine's flags, locks and image lists) on hot paths, answered exactly as
// `obj.name` and `obj.name = value` would be, in the null-result convention
// of calls.h.
//
// The host's attribute protocol looks the name up on the type first: only a
// data descriptor there (a property a subclass defines) wins over the
// instance dict. So when the type has the generic attribute access and
// nothing on the type defines a setter for the name, a read is answered by
// the instance dict when it holds the name, and a store goes into the dict,
// as the host's own would. Every other case (a property, a __getattribute__,
// __getattr__ or __setattr__ of a subclass, a name the instance does not
// hold, an object without a dict) goes through PyObject_GetAttr /
// PyObject_SetAttr.
#pragma once

#include "fa/module/calls.h"

namespace fa {

namespace detail {

// The instance dict of `obj` when the type leaves `name` to it: the type has
// the generic access `getattro` / `setattro` and no data descriptor for the
// name. Null otherwise (the caller takes the host's path).
inline PyObject *dict_deciding(PyObject *obj, PyObject *name, bool storing) {
    PyTypeObject *type = Py_TYPE(obj);
    if (storing ? type->tp_setattro != PyObject_GenericSetAttr : type->tp_getattro != PyObject_GenericGetAttr)
        return nullptr;
    PyObject *on_type = compat::type_lookup(type, name); // borrowed; the interpreter's attribute cache answers
    if (on_type && Py_TYPE(on_type)->tp_descr_set) return nullptr;
    PyObject *dict = compat::instance_dict(obj);
    if (!dict) PyErr_Clear(); // the host's own path reports it
    return dict && PyDict_CheckExact(dict) ? dict : nullptr;
}

} // namespace detail

// obj.name
inline py::object instance_get(py::handle obj, PyObject *name) {
    if (PyObject *dict = detail::dict_deciding(obj.ptr(), name, false)) {
        PyObject *value = PyDict_GetItemWithError(dict, name); // borrowed
        if (value) return borrow(value);
        if (PyErr_Occurred()) return {};
        // Not in the dict: a class attribute, a method or a missing name.
    }
    return get(obj, name);
}

// obj.name = value; false with the error set.
inline bool instance_set(py::handle obj, PyObject *name, py::handle value) {
    if (PyObject *dict = detail::dict_deciding(obj.ptr(), name, true))
        return PyDict_SetItem(dict, name, value.ptr()) == 0;
    return set(obj, name, value);
}

// len(obj.name) as an int object.
inline py::object length_of(py::handle obj, PyObject *name) {
    py::object value = instance_get(obj, name);
    if (!value) return value;
    Py_ssize_t n = PyObject_Size(value.ptr());
    return n < 0 ? py::object() : steal(PyLong_FromSsize_t(n));
}

inline bool instance_set_bool(py::handle obj, PyObject *name, bool value) {
    return instance_set(obj, name, value ? Py_True : Py_False);
}

} // namespace fa
