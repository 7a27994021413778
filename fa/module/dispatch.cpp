#include "fa/module/dispatch.h"

namespace fa {

namespace {

// A property made from our getter (ClassDef::property).
const FunctionSpec *getter_spec(PyObject *prop) {
    if (!PyObject_TypeCheck(prop, &PyProperty_Type)) return nullptr;
    PyObject *fget = PyObject_GetAttrString(prop, "fget");
    if (!fget) {
        PyErr_Clear();
        return nullptr;
    }
    const FunctionSpec *spec = spec_of(fget);
    Py_DECREF(fget);
    return spec;
}

} // namespace

bool OwnMethod::resolves(PyTypeObject *type) {
    // Version tags are never reused, so a matching tag is this type unchanged.
    std::uint64_t cached = cached_.load(std::memory_order_relaxed);
    if (cached && compat::type_version_valid(type) && (cached >> 1) == type->tp_version_tag) return cached & 1;
    PyObject *found = compat::type_lookup(type, name_); // borrowed; assigns a version tag
    bool own = false;
    if (found) own = (kind_ == Kind::Property ? getter_spec(found) : spec_of(found)) == &spec_;
    if (compat::type_version_valid(type))
        cached_.store((std::uint64_t(type->tp_version_tag) << 1) | std::uint64_t(own), std::memory_order_relaxed);
    return own;
}

bool OwnMethod::own(PyObject *obj) {
    if (!resolves(Py_TYPE(obj))) return false;
    // A class with its own __getattribute__ (or __getattr__) sees every
    // lookup through the instance; a slot method is looked up on the type.
    if (kind_ != Kind::Special && Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr) return false;
    // A property is a data descriptor and a slot method is looked up on the
    // type: neither can be shadowed by the instance.
    if (kind_ != Kind::Method) return true;
    PyObject *dict = compat::instance_dict(obj);
    if (!dict && !PyErr_Occurred()) return true;
    PyObject *shadow = dict ? PyDict_GetItemWithError(dict, name_) : nullptr;
    if (shadow) return false;
    if (PyErr_Occurred()) {
        // An odd key's __eq__ failed: let Python's own lookup decide.
        PyErr_Clear();
        return false;
    }
    return true;
}

} // namespace fa
