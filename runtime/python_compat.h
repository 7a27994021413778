// Every difference between the interpreter versions we build for (3.10 to
// 3.13) lives here, and so does every call outside the public C API.
//
// The code elsewhere is written against the newest public API; for older
// versions this header supplies what they lack under the same name
// (PyDict_GetItemRef, PyObject_GetOptionalAttr, PyWeakref_GetRef,
// Py_IsFinalizing, the critical-section macros). What has no public form
// stays in the small set of named functions at the end, each saying why it is
// needed and on which versions it was checked.
#pragma once

#include <Python.h>

#include <pybind11/pybind11.h>

#include <typeinfo>

// --- Backports: the newest public API on older interpreters -----------------

#if PY_VERSION_HEX < 0x030D0000
// 1 with a new reference in *result, 0 with null when missing, -1 with the
// error set.
inline int PyDict_GetItemRef(PyObject *dict, PyObject *key, PyObject **result) {
    PyObject *found = PyDict_GetItemWithError(dict, key);
    if (found) {
        *result = Py_NewRef(found);
        return 1;
    }
    *result = nullptr;
    return PyErr_Occurred() ? -1 : 0;
}

// 1 with a new reference, 0 with null (and no error) when the attribute is
// missing, -1 with the error set.
inline int PyObject_GetOptionalAttr(PyObject *obj, PyObject *name, PyObject **result) {
    *result = PyObject_GetAttr(obj, name);
    if (*result) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// 1 with a new reference to the referent, 0 with null when it is gone, -1
// with TypeError when `ref` is no weak reference.
inline int PyWeakref_GetRef(PyObject *ref, PyObject **result) {
    if (!ref || !PyWeakref_Check(ref)) {
        *result = nullptr;
        PyErr_SetString(PyExc_TypeError, "expected a weakref");
        return -1;
    }
    PyObject *referent = PyWeakref_GetObject(ref); // borrowed; Py_None once dead (None has no weak references)
    if (referent == Py_None) {
        *result = nullptr;
        return 0;
    }
    *result = Py_NewRef(referent);
    return 1;
}

inline int Py_IsFinalizing() { return _Py_IsFinalizing(); }

// Without a free-threaded build there is nothing to lock: the GIL is the
// critical section.
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#define Py_BEGIN_CRITICAL_SECTION2(a, b) {
#define Py_END_CRITICAL_SECTION2() }
#endif

namespace kvo::compat {

namespace py = pybind11;

// --- Version differences behind one name each ------------------------------

// Whether the type's version tag stands for its present contents. Before
// 3.13 the interpreter marks that with Py_TPFLAGS_VALID_VERSION_TAG; 3.13
// no longer sets the flag (not even on object) and says "no valid tag" with
// a tag of 0 alone, which every modification writes. Checked on 3.10-3.13.
inline bool type_version_valid(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag != 0;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

// Readies a string for the PyUnicode_* accessors; from 3.12 every string
// is ready when made. False with the error set.
inline bool unicode_ready(PyObject *text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text) == 0;
#else
    (void)text;
    return true;
#endif
}

// Whether dict watchers (PyDict_AddWatcher) exist: a cache of dict lookups
// can be told of every change there, and is worth keeping only there.
#if PY_VERSION_HEX >= 0x030C0000
#define KVO_HAVE_DICT_WATCHERS 1
#else
#define KVO_HAVE_DICT_WATCHERS 0
#endif

// The instance dict of `obj`, made if the object may have one and has none
// yet; borrowed (the object holds it). Null without an error when the type
// gives its instances no dict, null with the error set on failure.
inline PyObject *instance_dict(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
#if PY_VERSION_HEX >= 0x030B0000
    bool has_dict = type->tp_dictoffset != 0 || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
#else
    bool has_dict = type->tp_dictoffset != 0;
#endif
    if (!has_dict) return nullptr;
    PyObject *dict = PyObject_GenericGetDict(obj, nullptr);
    if (!dict) return nullptr;
    Py_DECREF(dict); // still held by obj
    return dict;
}

// What a module tells the interpreter about the GIL and subinterpreters,
// as the last slots of its multi-phase PyModuleDef. Its caches are guarded
// by the GIL, so a free-threaded interpreter (3.13+ built with
// Py_GIL_DISABLED) is told the module needs the GIL: it turns the GIL on
// when the module is imported (with a RuntimeWarning) unless PYTHON_GIL=0 or
// -X gil=0 forces it off. Its hot paths reach the module state through one
// pointer, which rules out a second interpreter (3.12+ refuses the import;
// before that, kvo::rt::create_module does).
#if PY_VERSION_HEX >= 0x030C0000
#define KVO_SLOT_ONE_INTERPRETER {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define KVO_SLOT_ONE_INTERPRETER
#endif
#if PY_VERSION_HEX >= 0x030D0000
#define KVO_SLOT_GIL_USED {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define KVO_SLOT_GIL_USED
#endif
#define KVO_MODULE_SLOTS_END KVO_SLOT_ONE_INTERPRETER KVO_SLOT_GIL_USED {0, nullptr}

// --- Calls outside the public API, with the reason each stays --------------

// The attribute `name` as the type's MRO defines it, borrowed, without
// calling descriptors or __getattr__, and answered from the interpreter's
// method cache. There is no public twin: PyObject_GetAttr on the type runs
// descriptors and metaclass lookups, and the MRO walk by hand costs a dict
// lookup per base on every call. Never sets an error. Checked on 3.10-3.13.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) { return _PyType_Lookup(type, name); }

// pybind11's records of a bound class and its instances, used by
// native_class.* to reach the C++ object inside an instance on every
// member call without pybind11's casters. pybind11 exposes no public way to
// do that for functions it does not bind itself. Checked with pybind11 3.1.
using NativeTypeRecord = py::detail::type_info;
// pybind11's per-interpreter records, made before a module binds a class;
// PYBIND11_MODULE does the same in the modules it defines.
inline void native_classes_ready() { py::detail::get_internals(); }
using NativeInstanceRecord = py::detail::value_and_holder;

inline NativeTypeRecord *native_type_record(const std::type_info &type) {
    return py::detail::get_type_info(type);
}

inline NativeInstanceRecord native_instance_record(PyObject *self, NativeTypeRecord *type) {
    return reinterpret_cast<py::detail::instance *>(self)->get_value_and_holder(type, false);
}

inline void native_init_instance(NativeInstanceRecord &record, void *holder) {
    record.type->init_instance(record.inst, holder);
}

} // namespace kvo::compat
