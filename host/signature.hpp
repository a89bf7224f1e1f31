// Binding call arguments to a parameter list, the way a Python function binds them.
//
// The parameter list is taken from a stub function compiled from Python source (its code object,
// `__defaults__` and `__kwdefaults__`), so the names, kinds and defaults exist in one place and
// `inspect.signature` reports exactly what the binder accepts. Error texts follow CPython's.
#pragma once

#include <Python.h>

#include "host/refs.hpp"

namespace host {

/// Upper bound on parameters (the instance included) of any operation.
inline constexpr Py_ssize_t kMaxParams = 10;

class Signature {
 public:
  Signature() = default;
  /// Reads the parameter list of `stub` (a Python function object, borrowed).
  explicit Signature(Borrowed stub);

  /// Binds a vectorcall argument list to the parameters. `out` receives `size()` borrowed
  /// pointers (to the arguments or to the stub's defaults). Throws `PyError` (`TypeError`).
  void bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;
  Py_ssize_t size() const noexcept { return positional_ + keyword_only_; }

 private:
  [[noreturn]] void fail_unexpected_keyword(PyObject* kwnames, PyObject* key) const;
  [[noreturn]] void fail_too_many_positional(Py_ssize_t nargs, PyObject* const* out) const;
  [[noreturn]] void fail_missing(PyObject* const* out, Py_ssize_t begin, Py_ssize_t end,
                                 const char* kind) const;

  Ref qualname_;                    // for error messages, as CPython words them
  Ref names_;                       // tuple of parameter names, positional first
  Ref defaults_;                    // tuple (possibly empty) for the last positional parameters
  Ref kwdefaults_;                  // dict or None
  Py_ssize_t positional_only_ = 0;  // the first of the positionals
  Py_ssize_t positional_ = 0;
  Py_ssize_t keyword_only_ = 0;
};

}  // namespace host
