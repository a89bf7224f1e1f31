// Owned and borrowed references to Python objects.
//
// Rules of use:
//  - `Ref` owns one strong reference. Build it with `Ref::steal(p)` from a new reference (what
//    most C-API calls return) or `Ref::borrow(p)` from a borrowed one (it then takes its own).
//    `steal` of NULL means "a Python error is set" and throws `PyError`; use `Ref::steal_or_null`
//    where NULL is a legitimate answer.
//  - `Borrowed` is a non-owning view, valid only while someone else holds the object. Never store
//    one beyond the call that handed it to you.
//  - Nothing converts silently to `PyObject*`: `get()` lends the pointer (borrowed), `release()`
//    hands the reference over (new reference to the receiver).
//  - Releasing a reference has one spelling and one rule: the destructor, assignment and
//    `reset()` all decref only when this thread holds the GIL, and otherwise leak the reference.
//    A daemon thread unwound at interpreter exit runs its destructors without the GIL, where a
//    decref would race with the interpreter's teardown; leaking one reference is the safe choice.
//    The test is two reads of the thread's state, cheap beside the decref it guards, so no path
//    skips it.
//  - Releasing a reference may run a finalizer that lets go of the GIL (a `__del__` that sleeps,
//    an `mmap` closing); a daemon thread that tries to take it back while the interpreter exits
//    is ended there by a forced unwind (3.11 to 3.13; from 3.14 it hangs there instead until the
//    process ends, and no destructor runs at all). So every path that releases a reference lets
//    exceptions through (`noexcept(false)` destructor, no `noexcept` on `reset` or assignment), and
//    a class that owns a `Ref` must not declare its destructor `noexcept` either.
#pragma once

#include <Python.h>

#include "host/compat.hpp"

#include <utility>

namespace host {

/// True when this thread holds the GIL. Not `PyGILState_Check()`: that answers "yes" to every
/// thread once a subinterpreter has been created, and once the exiting interpreter has deleted
/// its thread-state key, which is when a daemon thread unwinds through its destructors.
inline bool holds_gil() noexcept {
  PyThreadState* current = compat::current_thread_state();
  return current != nullptr && current->thread_id == PyThread_get_thread_ident();
}

class PyError;
[[noreturn]] void throw_python_error();

/// A non-owning view of an object; valid while some owner keeps the object alive.
class Borrowed {
 public:
  constexpr Borrowed() noexcept = default;
  constexpr explicit Borrowed(PyObject* p) noexcept : p_(p) {}
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(Borrowed other) const noexcept { return p_ == other.p_; }
  bool is_none() const noexcept { return p_ == Py_None; }

 private:
  PyObject* p_ = nullptr;
};

/// One strong reference.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() noexcept(false) { reset(); }

  /// Takes over a new reference; NULL means a Python error is set and is thrown as `PyError`.
  static Ref steal(PyObject* p) {
    if (p == nullptr) throw_python_error();
    return Ref(p);
  }
  /// Takes over a new reference that may be NULL without an error meaning it.
  static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
  /// Takes a reference of its own to a borrowed object (NULL allowed).
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  static Ref borrow(Borrowed b) noexcept { return borrow(b.get()); }
  static Ref none() noexcept { return borrow(Py_None); }

  /// Lends the pointer: a borrowed reference, valid while this `Ref` holds it.
  PyObject* get() const noexcept { return p_; }
  Borrowed view() const noexcept { return Borrowed(p_); }
  /// Hands the reference over: the caller receives a new reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is(const Ref& other) const noexcept { return p_ == other.p_; }
  bool is(Borrowed other) const noexcept { return p_ == other.get(); }
  bool is_none() const noexcept { return p_ == Py_None; }

  /// Lets go of the reference (see the rules above: leaked without the GIL).
  void reset() {
    PyObject* p = std::exchange(p_, nullptr);
    if (p != nullptr && holds_gil()) Py_DECREF(p);
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace host
