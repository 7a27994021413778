// The dispatch guard: our methods call each other's C++ bodies directly, but
// only while nothing overrides them. A call site names the method and the
// body it expects; before each call it checks that type(obj) still resolves
// the name to our own function object (the answer is cached per type
// version tag, so a class changed after first use is looked up again) and,
// for an instance method, that the instance __dict__ does not shadow it.
// Otherwise the call goes through Python exactly as a Python caller's would:
// a subclass's override, a patched class or a method replaced on the
// instance is the one called.
#pragma once

#include "fa/module/calls.h"
#include "fa/module/runtime.h"
#include "fa/module/state.h"

#include <atomic>
#include <cstdint>

namespace fa {

class OwnMethod {
public:
    enum class Kind {
        Method,   // looked up on the instance first
        Special,  // a slot method (__getitem__): the type decides alone
        Property, // a property whose getter is the body
    };

    OwnMethod(NameRef name, const FunctionSpec &spec, Kind kind = Kind::Method)
        : name_(name), spec_(spec), kind_(kind) {}

    // True when obj.<name> would run our body.
    bool own(PyObject *obj);
    // True when the type resolves the name to our body.
    bool resolves_on(PyTypeObject *type) { return resolves(type); }

    // Runs the body with `args`, which must fill every parameter and satisfy
    // its rule (no conversion is done here).
    template <typename... A>
    py::object direct(py::handle obj, A... args) const {
        PyObject *argv[] = {obj.ptr(), py::handle(args).ptr()...};
        Args bound(argv, 1);
        return spec_.body(obj, bound);
    }

    // obj.<name>(args...), directly when nothing overrides the body.
    template <typename... A>
    py::object call(py::handle obj, A... args) {
        if (own(obj.ptr())) return direct(obj, args...);
        return call_method(obj, name_, args...);
    }

    // obj.<name> of a property.
    py::object read(py::handle obj) {
        if (own(obj.ptr())) return direct(obj);
        return get(obj, name_);
    }

private:
    bool resolves(PyTypeObject *type);

    NameRef name_; // read from the module state at each use
    const FunctionSpec &spec_;
    Kind kind_;
    // The cached answer in one word, (type version tag << 1) | answer, 0 for
    // none: a reader sees a tag with its own answer, never another's, also
    // where threads run without a GIL. Relaxed: the word guards nothing else,
    // and on the GIL build a relaxed load or store is a plain move.
    std::atomic<std::uint64_t> cached_{0};
};

} // namespace fa
