// Logging through the module's `logger` (loguru).
//
// A loguru record takes its name and function from the calling Python frame. Called straight
// from C++, that frame would be whatever asyncio code is below us, so `logger.disable("talvo")`
// and name filters would miss our lines and every record would point at asyncio. Every line
// therefore goes through a tiny function whose globals are the module's (which also looks
// `logger` up at call time, so it can be patched) and whose code is named after the operation
// that is running: the record's `function` then says `start`, `stop`, `_frame_producer`...
// The running operation is tracked per thread by `OperationScope`, which the frame driver and
// the method type open around the C++ body of every operation.
#pragma once

#include "host/refs.hpp"

namespace host::log {

/// Compiles the helper against the module's globals. Call once at module initialisation.
void init(PyObject* module_dict);

void debug(const char* message);
void warning(const char* message);
void error(const char* message);
/// One error line: `prefix` followed directly by `str(error)`.
void error_with(const char* prefix, Borrowed error);

/// Marks the operation whose C++ body runs on this thread until the scope ends. `name` is a
/// borrowed str that outlives the scope. Scopes nest: an operation awaiting another is credited
/// again once the inner one suspends or returns. Touches no Python object.
class OperationScope {
 public:
  explicit OperationScope(PyObject* name) noexcept;
  ~OperationScope();
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

 private:
  PyObject* saved_;
};

}  // namespace host::log
