// One exception type carries a Python error through C++, and one wrapper translates at every
// entry point that CPython calls.
//
// Inside C++ a failed C-API call becomes `PyError` (the error is fetched off the thread state and
// owned by the exception). At the boundary, `translate` puts it back with `restore`. Any other C++
// exception becomes a Python `RuntimeError` (or `MemoryError`). A forced unwind (a daemon thread
// ended by `pthread_exit` at interpreter exit) is never caught: it must reach the thread's start.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <utility>

#include "host/refs.hpp"

namespace host {

/// A Python exception in flight through C++. Holds the normalized exception object.
///
/// Not a `std::exception`: that base's destructor is `noexcept`, and dropping the exception object
/// may run a finalizer where a forced unwind starts (see refs.hpp).
class PyError {
 public:
  /// Fetches the error currently set on the thread state (which must be set).
  PyError();
  /// Wraps an existing exception instance (borrowed; a reference of its own is taken).
  explicit PyError(Borrowed exception);

  PyError(PyError&&) noexcept = default;
  PyError& operator=(PyError&&) = default;
  PyError(const PyError&) = default;
  PyError& operator=(const PyError&) = default;

  /// True when the exception is an instance of `type` (a class or tuple of classes).
  bool matches(PyObject* type) const noexcept;
  bool matches(Borrowed type) const noexcept { return matches(type.get()); }
  /// Sets the error on the thread state again; this object no longer owns it.
  void restore() noexcept;
  /// The exception instance (borrowed from this object).
  Borrowed value() const noexcept { return value_.view(); }
  /// Hands the exception instance over (new reference).
  Ref take() noexcept { return std::move(value_); }
  ~PyError() noexcept(false) = default;

 private:
  Ref value_;
};

[[noreturn]] inline void throw_python_error() {
  throw PyError();
}

/// Throws `PyError` for a failed int-returning C-API call (-1 means failure).
inline int check(int rc) {
  if (rc < 0) throw_python_error();
  return rc;
}

/// Raises `type(message)` as a `PyError`.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] inline void raise(Borrowed type, const char* message) {
  raise(type.get(), message);
}
/// Raises `type(message)`, `message` a str.
[[noreturn]] void raise(Borrowed type, Borrowed message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

/// The built-in exception classes that code outside host/ raises and matches (borrowed: they live
/// as long as the interpreter).
namespace exc {
inline Borrowed Exception() noexcept {
  return Borrowed(PyExc_Exception);
}
inline Borrowed GeneratorExit() noexcept {
  return Borrowed(PyExc_GeneratorExit);
}
inline Borrowed ImportError() noexcept {
  return Borrowed(PyExc_ImportError);
}
inline Borrowed NotImplementedError() noexcept {
  return Borrowed(PyExc_NotImplementedError);
}
inline Borrowed RuntimeError() noexcept {
  return Borrowed(PyExc_RuntimeError);
}
inline Borrowed TypeError() noexcept {
  return Borrowed(PyExc_TypeError);
}
inline Borrowed ValueError() noexcept {
  return Borrowed(PyExc_ValueError);
}
}  // namespace exc

/// Turns the current C++ exception into a Python error. Call only from a catch block.
void set_error_from_current_exception() noexcept;

/// Runs `body` and translates what it throws: the one boundary between C++ and CPython.
/// Returns `failed` when an error was set. A forced unwind passes through untouched.
template <typename Result, typename Body>
Result translate(Result failed, Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_error_from_current_exception();
    return failed;
  }
}

}  // namespace host
