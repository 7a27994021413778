// Classes whose instances hold a C++ object (kvo_mew's link, simulated PLC
// and watchdog, kvo_handy's Callback): pybind11 lays out the instance and
// keeps the object's holder; every member is one of our functions, so their
// calls bind, report errors and carry signatures exactly like kvo_fa's.
//
//     Link *link = native<Link>(self);
//     if (!link) return {};   // TypeError set: not a VedUzavur, or not initialised
//
// Most members are a C++ member function taking the declared parameters as
// handles (or the whole `const Args &`) and returning a new reference or a
// null result with the error set (or a plain value that cannot fail);
// `member<&Link::get_coil>` is such a body.
//
// __init__ makes the object and hands it over with adopt(); before that, and
// for any other object passed as self, members refuse the call with
// TypeError instead of touching a missing object.
#pragma once

#include "runtime/errors.h"
#include "runtime/function.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"

#include <pybind11/pybind11.h>

#include <memory>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>

namespace kvo::rt {

namespace py = pybind11;

// Adds `spec` to `cls` as a method, or as a static method when it is one.
void add_method(py::handle cls, const FunctionSpec &spec);
// Adds a property read by `getter` (its doc is the property's) and, if
// given, written by `setter`.
void add_property(py::handle cls, const FunctionSpec &getter, const FunctionSpec *setter = nullptr);
// Adds `spec` to `module` as a function.
void add_function(py::module_ &module, const FunctionSpec &spec);

namespace detail {

// pybind11's record of the class bound for T, looked up once it exists in
// the live module instance (a new instance binds the class anew).
template <class T>
compat::NativeTypeRecord *type_record() {
    static compat::NativeTypeRecord *found = nullptr;
    static unsigned found_in = 0;
    if (!found || found_in != module_instance()) {
        found = compat::native_type_record(typeid(T));
        found_in = module_instance();
    }
    return found;
}

// The value-and-holder record of `type` in `self`; its `inst` is null when
// `self` is no such instance (its value pointer is null until __init__).
compat::NativeInstanceRecord record_of(py::handle self, compat::NativeTypeRecord *type);
// The C++ object of the class `type` inside `self`; null when `self` is not
// such an instance or holds no object yet.
void *native_object(py::handle self, compat::NativeTypeRecord *type);
// Sets the TypeError of a member called with a `self` that holds no object.
void refuse_self(py::handle self, compat::NativeTypeRecord *type);
// For __init__: 1 when `self` can take an object of `type`, 0 when it has
// one already, -1 with TypeError set when it is no such instance.
int init_state(py::handle self, compat::NativeTypeRecord *type);
// Gives `self` (init_state 1) the object `value` and builds its holder,
// from `holder` when given.
void adopt_object(py::handle self, compat::NativeTypeRecord *type, void *value, void *holder);

} // namespace detail

template <class T>
T *native(py::handle self) {
    auto *object = static_cast<T *>(detail::native_object(self, detail::type_record<T>()));
    if (!object) detail::refuse_self(self, detail::type_record<T>());
    return object;
}

// The same without an error: null when `self` holds no T.
template <class T>
T *native_if(py::handle self) {
    return static_cast<T *>(detail::native_object(self, detail::type_record<T>()));
}

// The std::shared_ptr holding the object of a class bound with that holder,
// or null with TypeError set.
template <class T>
const std::shared_ptr<T> *native_holder(py::handle self) {
    if (!native<T>(self)) return nullptr;
    return &detail::record_of(self, detail::type_record<T>()).template holder<std::shared_ptr<T>>();
}

// In __init__: gives `self` the object made by `make()`, a T * or a
// std::shared_ptr<T> (its holder, as the class was bound, is built from
// it), or null with the error set. On an initialised object nothing is made
// and nothing changes, as with __init__ of every pybind11 class. False with
// the error set.
template <class T, class Make>
bool adopt(py::handle self, Make make) {
    compat::NativeTypeRecord *type = detail::type_record<T>();
    int state = detail::init_state(self, type);
    if (state <= 0) return state == 0;
    auto made = make();
    if (!made) return false;
    if constexpr (std::is_pointer_v<decltype(made)>) {
        detail::adopt_object(self, type, made, nullptr);
    } else {
        detail::adopt_object(self, type, made.get(), &made);
    }
    return true;
}

namespace detail {

template <class M>
struct MemberTraits;
template <class R, class C, class... A>
struct MemberTraits<R (C::*)(A...)> {
    using Class = C;
    using Params = std::tuple<std::decay_t<A>...>;
    static constexpr size_t arity = sizeof...(A);
    static constexpr bool holder = false;
};
template <class R, class C, class... A>
struct MemberTraits<R (C::*)(A...) const> {
    using Class = C;
    using Params = std::tuple<std::decay_t<A>...>;
    static constexpr size_t arity = sizeof...(A);
    static constexpr bool holder = false;
};

// Functions whose first parameter is the object (C &, const C &) or its
// holder (const std::shared_ptr<C> &).
template <class R, class C, class... A>
struct MemberTraits<R (*)(C &, A...)> {
    using Class = C;
    using Params = std::tuple<std::decay_t<A>...>;
    static constexpr size_t arity = sizeof...(A);
    static constexpr bool holder = false;
};
template <class R, class C, class... A>
struct MemberTraits<R (*)(const C &, A...)> {
    using Class = C;
    using Params = std::tuple<std::decay_t<A>...>;
    static constexpr size_t arity = sizeof...(A);
    static constexpr bool holder = false;
};
template <class R, class C, class... A>
struct MemberTraits<R (*)(const std::shared_ptr<C> &, A...)> {
    using Class = C;
    using Params = std::tuple<std::decay_t<A>...>;
    static constexpr size_t arity = sizeof...(A);
    static constexpr bool holder = true;
};

// A member's result as the call's: objects as they are (null reports the
// error set), plain values (bool, numbers, text) converted, void as None.
template <class F>
py::object result_of(F &&call) {
    using R = decltype(call());
    if constexpr (std::is_void_v<R>) {
        call();
        return py::none();
    } else if constexpr (std::is_base_of_v<py::object, R>) {
        return call();
    } else {
        return py::cast(call());
    }
}

// An argument as the parameter takes it: a handle, or a borrowed object
// of the parameter's wrapper type (py::object, py::kwargs, ...).
template <class P>
P argument(py::handle value) {
    if constexpr (std::is_same_v<P, py::handle>)
        return value;
    else
        return py::reinterpret_borrow<P>(value);
}

template <auto Member, class C, size_t... I>
py::object call_with_handles(C &object, const Args &args, std::index_sequence<I...>) {
    using Params = typename MemberTraits<decltype(Member)>::Params;
    if constexpr (std::is_member_function_pointer_v<decltype(Member)>)
        return result_of([&] { return (object.*Member)(argument<std::tuple_element_t<I, Params>>(args[I])...); });
    else
        return result_of([&] { return Member(object, argument<std::tuple_element_t<I, Params>>(args[I])...); });
}

} // namespace detail

// The body of a member that is `Member` of the object in self: a member
// function, or a function taking the object or its holder first. It is
// called with the call's declared arguments, in order (or with the whole
// `const Args &`).
template <auto Member>
py::object member(py::handle self, const Args &args) {
    using Traits = detail::MemberTraits<decltype(Member)>;
    using C = typename Traits::Class;
    if constexpr (std::is_member_function_pointer_v<decltype(Member)>) {
        C *object = native<C>(self);
        if (!object) return {};
        if constexpr (std::is_invocable_v<decltype(Member), C &, const Args &>)
            return detail::result_of([&] { return (object->*Member)(args); });
        else
            return detail::call_with_handles<Member>(*object, args, std::make_index_sequence<Traits::arity>{});
    } else if constexpr (Traits::holder) {
        const std::shared_ptr<C> *holder = native_holder<C>(self);
        if (!holder) return {};
        if constexpr (std::is_invocable_v<decltype(Member), const std::shared_ptr<C> &, const Args &>)
            return detail::result_of([&] { return Member(*holder, args); });
        else
            return detail::call_with_handles<Member>(*holder, args, std::make_index_sequence<Traits::arity>{});
    } else {
        C *object = native<C>(self);
        if (!object) return {};
        if constexpr (std::is_invocable_v<decltype(Member), C &, const Args &>)
            return detail::result_of([&] { return Member(*object, args); });
        else
            return detail::call_with_handles<Member>(*object, args, std::make_index_sequence<Traits::arity>{});
    }
}

} // namespace kvo::rt
