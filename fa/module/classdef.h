// Building a public class: a namespace of method objects handed to the
// metaclass of the first base (type, or abc.ABCMeta below _ABC), so every
// class is a genuine Python class that Python code can subclass.
#pragma once

#include "fa/module/runtime.h"

#include <string>

namespace fa {

class ClassDef {
public:
    // `bases` is a Python expression evaluated in the module namespace,
    // e.g. "IOError", "_ABC", "MachineBase"; none means object.
    explicit ClassDef(const char *name, const char *bases = nullptr, const char *doc = nullptr);

    ClassDef &method(const FunctionSpec &spec);
    ClassDef &static_method(const FunctionSpec &spec);
    // A method marked with the module's _abstractmethod alias.
    ClassDef &abstract_method(const FunctionSpec &spec);
    // A property; its setter, if any, is attached to the property just made.
    ClassDef &property(const FunctionSpec &getter, const FunctionSpec *setter = nullptr);
    ClassDef &value(const char *attr, py::object value);
    // Binds `attr` to the object already bound as `existing` in this class.
    ClassDef &same_as(const char *attr, const char *existing);

    // Creates the class and binds it as a module name.
    py::object build();

private:
    std::string name_;
    const char *bases_;
    py::dict ns_;
};

} // namespace fa
