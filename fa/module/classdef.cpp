// The classes are built once, at import, inside init's one try block: a
// builder step returns the builder, not a null result, so a failure is
// thrown to that boundary (`checked`, as errors.h allows for import).
#include "fa/module/classdef.h"

#include "fa/module/calls.h"
#include "fa/module/module.h"

namespace fa {

namespace {

// ns[key] = value, a failure thrown.
void store(py::handle ns, const char *key, py::handle value) {
    if (PyDict_SetItemString(ns.ptr(), key, value.ptr()) < 0) raise_current();
}

// The result of a null-result call, a failure thrown.
py::object made(py::object value) {
    if (!value) raise_current();
    return value;
}

// A builtin such as staticmethod or property.
py::object builtin(PyObject *ident) {
    py::object builtins = checked(PyImport_Import(names().builtins));
    return made(get(builtins, ident));
}

} // namespace

ClassDef::ClassDef(const char *name, const char *bases, const char *doc) : name_(name), bases_(bases) {
    store(ns_, "__module__", checked(PyUnicode_FromString("kvo_fa")));
    store(ns_, "__qualname__", checked(PyUnicode_FromString(name)));
    if (doc) store(ns_, "__doc__", checked(PyUnicode_FromString(doc)));
}

ClassDef &ClassDef::method(const FunctionSpec &spec) {
    store(ns_, spec.name, make_function(spec, name_.c_str()));
    return *this;
}

ClassDef &ClassDef::static_method(const FunctionSpec &spec) {
    py::object wrapped = made(call(builtin(names().staticmethod), make_function(spec, name_.c_str())));
    store(ns_, spec.name, wrapped);
    return *this;
}

ClassDef &ClassDef::abstract_method(const FunctionSpec &spec) {
    py::object marked =
        made(call_global(names()._abstractmethod, make_function(spec, name_.c_str())));
    store(ns_, spec.name, marked);
    return *this;
}

ClassDef &ClassDef::property(const FunctionSpec &getter, const FunctionSpec *setter) {
    py::object prop = made(call(builtin(names().property), make_function(getter, name_.c_str())));
    if (setter)
        prop = made(call_method(prop, names().setter, make_function(*setter, name_.c_str())));
    store(ns_, getter.name, prop);
    return *this;
}

ClassDef &ClassDef::value(const char *attr, py::object value) {
    store(ns_, attr, value);
    return *this;
}

ClassDef &ClassDef::same_as(const char *attr, const char *existing) {
    PyObject *bound = PyDict_GetItemString(ns_.ptr(), existing); // borrowed
    if (!bound) raise(PyExc_KeyError, "%s", existing);
    store(ns_, attr, bound);
    return *this;
}

py::object ClassDef::build() {
    py::object bases = checked(PyTuple_New(0));
    if (bases_) {
        PyObject *globals = module_namespace();
        py::object base = checked(PyRun_String(bases_, Py_eval_input, globals, globals));
        bases = PyTuple_Check(base.ptr()) ? base : checked(PyTuple_Pack(1, base.ptr()));
    }
    PyObject *metaclass = PyTuple_GET_SIZE(bases.ptr()) ? reinterpret_cast<PyObject *>(Py_TYPE(PyTuple_GET_ITEM(bases.ptr(), 0)))
                                                       : reinterpret_cast<PyObject *>(&PyType_Type);
    py::object class_name = checked(PyUnicode_FromString(name_.c_str()));
    py::object cls = made(call(metaclass, class_name, bases, ns_));
    store(module_namespace(), name_.c_str(), cls);
    return cls;
}

} // namespace fa
