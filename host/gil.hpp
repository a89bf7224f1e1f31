// GIL and interpreter-lifetime guards.
//
// Blocking in C++ while holding the GIL would stall every Python thread; `ReleaseGil` wraps such
// a wait. Python calls that block (queue puts and gets, `Event.wait`, `Thread.join`) release the
// GIL themselves and are called as they are.
#pragma once

#include <Python.h>

#include "host/compat.hpp"

namespace host {

/// Releases the GIL for the lifetime of the guard. Not for paths that call Python.
class ReleaseGil {
 public:
  ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

/// Takes the GIL on a thread that may not hold it (a C++ thread, or a destructor).
class EnsureGil {
 public:
  EnsureGil() noexcept : state_(PyGILState_Ensure()) {}
  ~EnsureGil() { PyGILState_Release(state_); }
  EnsureGil(const EnsureGil&) = delete;
  EnsureGil& operator=(const EnsureGil&) = delete;

 private:
  PyGILState_STATE state_;
};

/// True while the interpreter is shutting down; Python objects must then be left alone by
/// threads that do not hold the GIL.
inline bool interpreter_finalizing() noexcept { return compat::is_finalizing(); }

/// True when this thread holds the GIL.
/// `PyGILState_Check` alone answers yes to every thread once finalization has deleted its
/// thread-state key; a daemon thread unwinding that late would then decref without the GIL. By
/// then this thread's state is gone too, which the second test sees.
inline bool holds_gil() noexcept {
  return PyGILState_Check() != 0 && PyGILState_GetThisThreadState() != nullptr;
}

}  // namespace host
