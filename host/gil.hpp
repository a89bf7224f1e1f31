// GIL and interpreter-lifetime guards.
//
// Blocking in C++ while holding the GIL would stall every Python thread; `ReleaseGil` wraps such
// a wait. Python calls that block (queue puts and gets, `Event.wait`, `Thread.join`) release the
// GIL themselves and are called as they are.
#pragma once

#include <Python.h>

#include "host/compat.hpp"

namespace host {

// Taking the GIL back is where a daemon thread is ended at interpreter exit (a forced unwind out
// of PyEval_RestoreThread / PyGILState_Ensure): those two paths are not noexcept.

/// Releases the GIL for the lifetime of the guard. Not for paths that call Python.
class ReleaseGil {
 public:
  ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() noexcept(false) { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

/// Takes the GIL on a thread that may not hold it (a C++ thread, or a destructor).
class EnsureGil {
 public:
  EnsureGil() : state_(PyGILState_Ensure()) {}
  ~EnsureGil() { PyGILState_Release(state_); }
  EnsureGil(const EnsureGil&) = delete;
  EnsureGil& operator=(const EnsureGil&) = delete;

 private:
  PyGILState_STATE state_;
};

/// True while the interpreter is shutting down; Python objects must then be left alone by
/// threads that do not hold the GIL.
inline bool interpreter_finalizing() noexcept { return compat::is_finalizing(); }

/// True when this thread holds the GIL. Not `PyGILState_Check()`: that answers "yes" to every
/// thread once a subinterpreter has been created, and once the exiting interpreter has deleted
/// its thread-state key, which is when a daemon thread unwinds through its destructors.
inline bool holds_gil() noexcept {
  PyThreadState* current = compat::current_thread_state();
  return current != nullptr && current->thread_id == PyThread_get_thread_ident();
}

}  // namespace host
