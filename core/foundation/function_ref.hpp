// Non-owning reference to a callable, for passing lambdas to non-template
// drivers without allocation.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace quorvane {

template <class Sig>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
public:
    template <class Fn>
        requires(!std::is_same_v<std::remove_cvref_t<Fn>, FunctionRef> && std::is_invocable_r_v<R, Fn&, Args...>)
    FunctionRef(Fn&& fn) noexcept  // NOLINT: implicit by design
        : obj_(const_cast<void*>(static_cast<const void*>(std::addressof(fn)))),
          call_([](void* o, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<Fn>*>(o))(std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(obj_, std::forward<Args>(args)...); }

private:
    void* obj_;
    R (*call_)(void*, Args...);
};

}  // namespace quorvane
