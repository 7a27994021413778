// Members of classes whose instances hold a C++ object (native_class.h),
// over pybind11's instance records.
#include "runtime/native_class.h"

#include <cstring>

namespace kvo::rt {

namespace detail {

compat::NativeInstanceRecord record_of(py::handle self, compat::NativeTypeRecord *info) {
    if (!info || !PyObject_TypeCheck(self.ptr(), info->type)) return {};
    return compat::native_instance_record(self.ptr(), info);
}

namespace {

// "VedUzavur" for the class bound as kvo_mew.VedUzavur.
const char *class_name(compat::NativeTypeRecord *info) {
    if (!info) return "?";
    const char *name = info->type->tp_name;
    const char *dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

} // namespace

void *native_object(py::handle self, compat::NativeTypeRecord *type) {
    compat::NativeInstanceRecord record = record_of(self, type);
    if (!record.inst || !record.holder_constructed()) return nullptr;
    return record.value_ptr();
}

void refuse_self(py::handle self, compat::NativeTypeRecord *type) {
    if (record_of(self, type).inst)
        PyErr_Format(PyExc_TypeError, "the %s object is not initialised: its __init__ was not called",
                     class_name(type));
    else
        PyErr_Format(PyExc_TypeError, "the method needs a %s object, not %s", class_name(type),
                     self.is_none() ? "None" : Py_TYPE(self.ptr())->tp_name);
}

int init_state(py::handle self, compat::NativeTypeRecord *type) {
    compat::NativeInstanceRecord record = record_of(self, type);
    if (!record.inst) {
        refuse_self(self, type);
        return -1;
    }
    return record.instance_registered() ? 0 : 1;
}

void adopt_object(py::handle self, compat::NativeTypeRecord *type, void *value, void *holder) {
    compat::NativeInstanceRecord record = record_of(self, type);
    record.value_ptr() = value;
    compat::native_init_instance(record, holder);
}

} // namespace detail

void add_method(py::handle cls, const FunctionSpec &spec) {
    py::str owner = cls.attr("__name__");
    py::object function = make_function(spec, owner.cast<std::string>().c_str());
    if (spec.is_static) function = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyStaticMethod_Type))(function);
    setattr(cls, spec.name, function);
}

void add_property(py::handle cls, const FunctionSpec &getter, const FunctionSpec *setter) {
    py::str owner = cls.attr("__name__");
    std::string qualifier = owner.cast<std::string>();
    py::object fget = make_function(getter, qualifier.c_str());
    py::object fset = setter ? make_function(*setter, qualifier.c_str()) : py::none();
    py::object property = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject *>(&PyProperty_Type));
    setattr(cls, getter.name, property(fget, fset, py::none(), getter.doc ? py::object(py::str(getter.doc)) : py::none()));
}

void add_function(py::module_ &module, const FunctionSpec &spec) {
    module.attr(spec.name) = make_function(spec, nullptr);
}

} // namespace kvo::rt
