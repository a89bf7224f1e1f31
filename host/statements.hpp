// What a few Python statements do that the C API has no single call for, so that errors raised
// from C++ look exactly as they would from a Python module.
#pragma once

#include "host/names.hpp"

namespace host {

/// `from <module> import <name>`, with `module` already imported: new reference. A missing name
/// raises ImportError, as the statement does, so one `except ImportError` covers both failures.
Ref import_from(Borrowed module, Name& name);

/// `raise exc` (an exception instance) from a plain function: chained implicitly to the
/// exception being handled, if any.
[[noreturn]] void raise_instance(Borrowed exc);

/// `raise exc from cause` written inside `except ... as cause:`.
[[noreturn]] void raise_from(Borrowed exc, Borrowed cause);

}  // namespace host
