// FunctionRef: a non-owning reference to a callable, for the steps a
// transaction hands down (link -> transport -> simulated PLC). Unlike
// std::function it never allocates: a lambda capturing a few references is
// too large for std::function's inline buffer, and each transaction would
// pay a heap allocation for every step. The callable must outlive the call.
#pragma once

#include <type_traits>
#include <utility>

namespace mew {

template <class Signature>
class FunctionRef;

template <class R, class... A>
class FunctionRef<R(A...)> {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef>>>
    FunctionRef(F &&f) noexcept  // NOLINT: implicit, like std::function
        : target_(const_cast<void *>(static_cast<const void *>(&f))),
          call_([](void *target, A... args) -> R {
              return (*static_cast<std::remove_reference_t<F> *>(target))(std::forward<A>(args)...);
          }) {}

    R operator()(A... args) const { return call_(target_, std::forward<A>(args)...); }

private:
    void *target_;
    R (*call_)(void *, A...);
};

} // namespace mew
