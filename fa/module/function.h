// The in-house function type behind every method, property accessor and
// static method of kvo_fa.
//
// A method is declared by a FunctionSpec: its name, its C++ body and a table
// of parameters (name, annotation, default). Annotations and defaults are
// Python expressions evaluated once, in the module namespace, when the class
// is built. The annotation also decides the argument rule of a parameter:
//   "str", "list"  exact type or None, else TypeError
//   "Exception"    instance of Exception (or a subclass) or None
//   "float"        converted to a float on entry (its default too)
// Every other annotation is only recorded in __annotations__.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

namespace py = pybind11;

namespace fa {

enum class ParamKind { Normal, VarArgs, VarKw };

struct Param {
    const char *name;
    const char *annotation = nullptr;    // Python expression, or none
    const char *default_expr = nullptr;  // Python expression; none: required
    ParamKind kind = ParamKind::Normal;
};

// A parameter that collects the extra positional arguments (*name).
inline Param var_args(const char *name) { return Param{name, nullptr, nullptr, ParamKind::VarArgs}; }
// A parameter that collects the extra keyword arguments (**name).
inline Param var_kwargs(const char *name) { return Param{name, nullptr, nullptr, ParamKind::VarKw}; }

class Args;
using Body = py::object (*)(py::handle self, const Args &args);

struct FunctionSpec {
    const char *name;
    Body body;
    std::vector<Param> params;     // `self` is implied for methods and not listed
    const char *returns = nullptr; // return annotation expression
    const char *doc = nullptr;
    bool is_static = false;
};

// The arguments of one call after binding: declared parameters in table
// order (defaults filled in, float parameters converted), then *args/**kwargs.
class Args {
public:
    // The i-th declared parameter (`self` is not counted).
    py::handle operator[](size_t i) const { return values_[i + first_]; }
    double as_double(size_t i) const { return PyFloat_AS_DOUBLE(values_[i + first_].ptr()); }
    py::tuple varargs() const { return py::reinterpret_borrow<py::tuple>(varargs_); }
    py::dict kwargs() const { return py::reinterpret_borrow<py::dict>(kwargs_); }

private:
    friend struct Binder;
    std::vector<py::object> values_; // self first for methods
    size_t first_ = 0;
    py::object varargs_;
    py::object kwargs_;
};

// Builds a function object for `spec`, qualified as `owner.name`.
// The spec must outlive the function (specs are static tables).
py::object make_function(const FunctionSpec &spec, const char *owner);

// True when `obj` is one of our function objects.
bool is_function(py::handle obj);

// Called once at module init, before any function is made.
void init_function_type();

} // namespace fa
