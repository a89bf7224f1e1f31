// "On cancellation, await a clean-up, then raise the same cancellation again."
//
// g++ allows no `co_await` inside a handler, so the handler only keeps the error; the frame leaves
// the handler, awaits the clean-up, and raises the very object it caught. Only the given
// cancellation type is kept: GeneratorExit (close / aclose) must pass straight through, or
// `close()` would fail with "ignored GeneratorExit", and nothing is ever swallowed.
//
//   host::CaughtCancellation cancelled;
//   try { ... co_await ...; } catch (host::PyError& e) { if (!cancelled.keep(e, type)) throw; }
//   if (cancelled) { co_await cleanup(); cancelled.rethrow(); }
#pragma once

#include <optional>
#include <utility>

#include "host/error.hpp"

namespace host {

class CaughtCancellation {
 public:
  /// Keeps `error` when it is an instance of `cancelled_type`; false means "re-throw it".
  bool keep(PyError& error, Borrowed cancelled_type) {
    if (!error.matches(cancelled_type)) return false;
    error_.emplace(std::move(error));
    return true;
  }
  explicit operator bool() const noexcept { return error_.has_value(); }
  /// Raises the kept cancellation: the same exception object that was caught.
  [[noreturn]] void rethrow() {
    PyError e = std::move(*error_);
    error_.reset();
    throw e;
  }

 private:
  std::optional<PyError> error_;
};

}  // namespace host
