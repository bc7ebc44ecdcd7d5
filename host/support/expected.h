// A value, or the reason there is none. What a step that can fail in more
// than one way returns, so that its reason travels to whoever reports it
// ("a line longer than 16 MiB", "end of input") instead of being lost in an
// empty optional. In the spirit of LLVM's Expected<T>; its words follow
// C++23's std::expected where they can (has_value aside: hasValue), so that
// one can replace it.
//
//   support::Expected<std::string> readName();
//   ...
//   if (auto name = readName()) use(*name);
//   else report(name.error().reason);
//
//   return support::Unexpected(support::Error{"no name given"});
//
// The result is [[nodiscard]]: a caller that drops one drops its reason.
// Reading the value of an error (or the error of a value) is a programming
// mistake: it stops the process and says what was read.
//
// Shared by the stand-in (host/) and the programs (sim/, tools/); it
// depends on the standard library only.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace support {

// Why something could not be done, in words that can be shown as they are.
struct Error {
  std::string reason;
};

// An error on its way into an Expected: `return Unexpected(Error{"..."});`.
template <class E> struct Unexpected {
  explicit Unexpected(E e) : error(std::move(e)) {}
  E error;
};

template <class T, class E = Error> class [[nodiscard]] Expected {
  static_assert(!std::is_same_v<std::decay_t<T>, std::decay_t<E>>,
                "a value and its error must be told apart by their types");

public:
  using value_type = T;
  using error_type = E;

  // Implicit, so that `return value;` and `return Unexpected(...);` read as
  // they mean.
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  Expected(Unexpected<G> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool hasValue() const { return state_.index() == 0; }
  explicit operator bool() const { return hasValue(); }

  T& value() & { return std::get<0>(checked(true)); }
  const T& value() const& { return std::get<0>(checked(true)); }
  T&& value() && { return std::get<0>(std::move(checked(true))); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const& { return std::get<1>(checked(false)); }
  E&& error() && { return std::get<1>(std::move(checked(false))); }

private:
  std::variant<T, E>& checked(bool wantValue) {
    stopUnless(wantValue);
    return state_;
  }
  const std::variant<T, E>& checked(bool wantValue) const {
    stopUnless(wantValue);
    return state_;
  }
  void stopUnless(bool wantValue) const {
    if (hasValue() == wantValue) return;
    std::fprintf(stderr, "support::Expected: the %s of a result that holds %s was read\n",
                 wantValue ? "value" : "error", wantValue ? "an error" : "a value");
    std::abort();
  }

  std::variant<T, E> state_;
};

} // namespace support
