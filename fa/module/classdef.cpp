#include "fa/module/classdef.h"

#include "fa/module/module.h"

namespace fa {

ClassDef::ClassDef(const char *name, const char *bases, const char *doc) : name_(name), bases_(bases) {
    ns_["__module__"] = "kvo_fa";
    ns_["__qualname__"] = name;
    if (doc) ns_["__doc__"] = doc;
}

ClassDef &ClassDef::method(const FunctionSpec &spec) {
    ns_[spec.name] = make_function(spec, name_.c_str());
    return *this;
}

ClassDef &ClassDef::static_method(const FunctionSpec &spec) {
    py::object staticmethod = py::module_::import("builtins").attr("staticmethod");
    ns_[spec.name] = staticmethod(make_function(spec, name_.c_str()));
    return *this;
}

ClassDef &ClassDef::abstract_method(const FunctionSpec &spec) {
    ns_[spec.name] = name("_abstractmethod")(make_function(spec, name_.c_str()));
    return *this;
}

ClassDef &ClassDef::property(const FunctionSpec &getter, const FunctionSpec *setter) {
    py::object prop = py::module_::import("builtins").attr("property")(make_function(getter, name_.c_str()));
    if (setter) prop = prop.attr("setter")(make_function(*setter, name_.c_str()));
    ns_[getter.name] = prop;
    return *this;
}

ClassDef &ClassDef::value(const char *attr, py::object value) {
    ns_[attr] = value;
    return *this;
}

ClassDef &ClassDef::same_as(const char *attr, const char *existing) {
    ns_[attr] = ns_[existing];
    return *this;
}

py::object ClassDef::build() {
    py::tuple bases;
    if (bases_) {
        py::dict globals = module_dict();
        PyObject *b = PyRun_String(bases_, Py_eval_input, globals.ptr(), globals.ptr());
        if (!b) raise_current();
        py::object base = py::reinterpret_steal<py::object>(b);
        bases = py::isinstance<py::tuple>(base) ? py::tuple(base) : py::make_tuple(base);
    }
    py::object metaclass = bases.size() ? py::object(py::type::of(bases[0]))
                                        : py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyType_Type));
    py::object cls = metaclass(py::str(name_), bases, ns_);
    module_dict()[name_.c_str()] = cls;
    return cls;
}

} // namespace fa
