// The in-house function type behind every method, property accessor and
// static method of the three modules (each module links its own copy of the
// runtime; module_state.h).
//
// A method is declared by a FunctionSpec: its name, its C++ body and a table
// of parameters (name, annotation, default). Annotations and defaults are
// Python expressions evaluated once, in the module namespace, when the class
// is built. The annotation also decides the argument rule of a parameter:
//   "str", "list"  exact type or None, else TypeError
//   "Exception"    instance of Exception (or a subclass) or None
//   "float"        converted to a float on entry (its default too)
// Every other annotation is only recorded in __annotations__.
//
// A call binds without touching the heap: the arguments are borrowed from
// the caller's vector (copied into a small fixed array only when keywords or
// defaults reorder them). A body returns a new reference, or a null object
// with the Python error set; raising that way needs no C++ throw. A C++
// exception thrown by a body is still caught at the one boundary of the call
// and turned into its Python error.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <vector>

namespace kvo::rt {

namespace py = pybind11;

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

constexpr size_t kMaxParams = 16;

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
// Every reference is borrowed from the call except the converted floats and
// the collected extras, which the Args own.
class Args {
public:
    Args() = default;
    // A direct call of a body with `count` values that already satisfy the
    // parameter rules (self first for methods).
    Args(PyObject *const *values, size_t first) : values_(values), first_(first) {}
    ~Args() {
        if (nowned_ || varargs_ || kwargs_) release();
    }
    Args(const Args &) = delete;
    Args &operator=(const Args &) = delete;

    // The i-th declared parameter (`self` is not counted).
    py::handle operator[](size_t i) const { return values_[i + first_]; }
    PyObject *ptr(size_t i) const { return values_[i + first_]; }
    double as_double(size_t i) const { return PyFloat_AS_DOUBLE(values_[i + first_]); }
    py::tuple varargs() const;
    // The extra keyword arguments, as a dict made on first use.
    py::dict kwargs() const;

private:
    friend struct Binder;
    void release(); // drops what the binding made
    PyObject *const *values_ = nullptr; // self first for methods
    size_t first_ = 0;
    PyObject *slots_[kMaxParams];      // used when binding reorders
    PyObject *owned_[kMaxParams];      // converted floats
    size_t nowned_ = 0;
    PyObject *varargs_ = nullptr;
    mutable PyObject *kwargs_ = nullptr;
    bool has_varkw_ = false;
};

// Builds a function object for `spec`, qualified as `owner.name`.
// The spec must outlive the function (specs are static tables).
py::object make_function(const FunctionSpec &spec, const char *owner);

// True when `obj` is one of our function objects.
bool is_function(py::handle obj);

// The body and table behind one of our function objects, or null.
const FunctionSpec *spec_of(PyObject *obj);

// Readies the function type, named after the module; called by init_module.
void init_function_type();

} // namespace kvo::rt
