// pybind11 lets None through as a null `self` for a method that declares no
// named argument (and for property accessors), so `VedUzavur.close(None)` or
// `VedUzavur.port.fget(None)` would dereference a null pointer. Members that
// cannot fail otherwise (plain values: bool, double, a string) are bound
// through `not_none`, which refuses a missing self with TypeError through the
// adapter of result.h; members that can fail return py::object and are bound
// through `checked`, which refuses it too.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "platform/common/result.h"

namespace platform {

template <class C>
C &self_of(C *self) {
    if (!self) refuse_none_self<C>(), raise_set_error();
    return *self;
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
