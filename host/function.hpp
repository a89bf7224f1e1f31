// A Python callable made from C++: a body that takes no arguments, owned by the callable.
#pragma once

#include <Python.h>

#include <memory>
#include <utility>

#include "host/refs.hpp"

namespace host {

namespace detail {
struct FunctionBody {
  virtual ~FunctionBody() noexcept(false) = default;
  virtual Ref call() = 0;
};
Ref make_function(const char* name, std::unique_ptr<FunctionBody> body);
}  // namespace detail

/// A Python function named `name` (a literal) that takes no arguments and returns `body()`.
/// The function owns `body`; it is destroyed with the GIL held when the last reference goes.
/// What `body` throws reaches the caller as the Python error.
template <typename Body>
Ref function(const char* name, Body body) {
  struct Impl final : detail::FunctionBody {
    explicit Impl(Body&& b) : body(std::move(b)) {}
    Ref call() override { return body(); }
    Body body;
  };
  return detail::make_function(name, std::make_unique<Impl>(std::move(body)));
}

}  // namespace host
