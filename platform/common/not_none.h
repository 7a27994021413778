// pybind11 lets None through as a null `self` for a method that declares no
// named argument (and for property accessors), so `VedUzavur.close(None)` or
// `VedUzavur.port.fget(None)` would dereference a null pointer. Members bound
// through `not_none` refuse a missing self with TypeError instead.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace platform {

namespace py = pybind11;

template <class C>
[[noreturn]] void refuse_none_self() {
    std::string cls = py::str(py::type::of<C>().attr("__name__"));
    throw py::type_error("the method needs a " + cls + " object, not None");
}

template <class C>
C &self_of(C *self) {
    if (!self) refuse_none_self<C>();
    return *self;
}

// For members taking the holder (std::shared_ptr<C>): an empty one for None.
template <class H>
const H &holder_of(const H &holder) {
    if (!holder) refuse_none_self<typename H::element_type>();
    return holder;
}

template <class C, class R, class... A>
auto not_none(R (C::*method)(A...)) {
    return [method](C *self, A... args) -> R { return (self_of(self).*method)(std::forward<A>(args)...); };
}

template <class C, class R, class... A>
auto not_none(R (C::*method)(A...) const) {
    return [method](const C *self, A... args) -> R { return (self_of(self).*method)(std::forward<A>(args)...); };
}

} // namespace platform
