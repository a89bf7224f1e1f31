// Logging through the module's `logger` (loguru).
//
// A loguru record takes its name from the globals of the calling Python frame. Called straight
// from C++, that frame would be whatever asyncio code is below us, so `logger.disable("talvo")`
// and name filters would miss our lines. Every line therefore goes through a tiny function
// compiled with the module's globals, which also looks `logger` up at call time (patchable).
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

}  // namespace host::log
