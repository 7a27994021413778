// The error convention of the platform modules, the one kvo_fa follows: a
// function that fails sets the Python exception and returns a null result (a
// null py::object, std::nullopt, false, a null pointer), with no C++ throw.
//
// The bindings are pybind11's, which expect a throw instead; so every bound
// callable goes through one adapter here (checked, factory, or not_none in
// not_none.h), which turns a null result into pybind11's signal,
// error_already_set, at the binding boundary. That is the one throw left.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace platform {

namespace py = pybind11;

// What a function returns after setting the Python exception: the empty
// value of its result type (a null py::object, std::nullopt, a null pointer).
struct ErrorSet {
    operator py::object() const { return {}; }
    template <class T>
    operator std::optional<T>() const {
        return std::nullopt;
    }
    template <class T>
    operator std::unique_ptr<T>() const {
        return nullptr;
    }
};

// Sets `type` (PyExc_TypeError, ...) with `message`: `return raise(...)`.
inline ErrorSet raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    return {};
}

// pybind11's signal that the Python exception is set: the binding boundary.
[[noreturn]] inline void raise_set_error() { throw py::error_already_set(); }

inline py::object raise_if_null(py::object result) {
    if (!result) raise_set_error();
    return result;
}

// Reports the exception set through sys.unraisablehook, `context` naming
// where it happened (a callback that has no caller to raise it to).
inline void write_unraisable(const char *context) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *where = PyUnicode_FromString(context);
    if (!where) PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    PyErr_WriteUnraisable(where);
    Py_XDECREF(where);
}

// The type name of `C` as Python shows it (VedUzavur); empty if unknown.
template <class C>
std::string python_name() {
    py::handle type = py::detail::get_type_handle(typeid(C), false);
    const char *name = type ? reinterpret_cast<PyTypeObject *>(type.ptr())->tp_name : "";
    const char *dot = std::strrchr(name, '.');
    return dot ? dot + 1 : name;
}

// pybind11 lets None through as a null `self` for a method that declares no
// named argument (and for property accessors): refuse it with TypeError.
template <class C>
ErrorSet refuse_none_self() {
    return raise(PyExc_TypeError, "the method needs a " + python_name<C>() + " object, not None");
}

// The result of a bound callable as the type its signature shows: R is
// py::object, or a narrower handle (py::bool_, py::int_, py::list, py::str)
// the result is known to be, or void for a callable whose result is None.
template <class R>
R typed(py::object result) {
    raise_if_null(result);
    if constexpr (!std::is_void_v<R>) return py::reinterpret_steal<R>(result.release());
}

// A member returning py::object (null with the exception set).
template <class R = py::object, class C, class... A>
auto checked(py::object (C::*method)(A...)) {
    return [method](C *self, A... args) -> R {
        if (!self) refuse_none_self<C>(), raise_set_error();
        return typed<R>((self->*method)(std::forward<A>(args)...));
    };
}

template <class R = py::object, class C, class... A>
auto checked(py::object (C::*method)(A...) const) {
    return [method](const C *self, A... args) -> R {
        if (!self) refuse_none_self<C>(), raise_set_error();
        return typed<R>((self->*method)(std::forward<A>(args)...));
    };
}

// A function returning py::object.
template <class R = py::object, class... A>
auto checked(py::object (*function)(A...)) {
    return [function](A... args) -> R { return typed<R>(function(std::forward<A>(args)...)); };
}

// A function of an object held by a std::shared_ptr (an empty one for None).
template <class R = py::object, class C, class... A>
auto checked(py::object (*function)(const std::shared_ptr<C> &, A...)) {
    return [function](const std::shared_ptr<C> &self, A... args) -> R {
        if (!self) refuse_none_self<C>(), raise_set_error();
        return typed<R>(function(self, std::forward<A>(args)...));
    };
}

// A constructor for py::init: a null result has the exception set.
template <class T, class... A>
auto factory(T *(*make)(A...)) {
    return [make](A... args) {
        T *made = make(std::forward<A>(args)...);
        if (!made) raise_set_error();
        return made;
    };
}

template <class T, class... A>
auto factory(std::shared_ptr<T> (*make)(A...)) {
    return [make](A... args) {
        std::shared_ptr<T> made = make(std::forward<A>(args)...);
        if (!made) raise_set_error();
        return made;
    };
}

} // namespace platform
