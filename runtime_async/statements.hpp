// What a few Python statements do that the C API has no single call for, so that the facade's
// errors look exactly as they would from a Python module.
#pragma once

#include "host/names.hpp"

namespace talvo::py {

/// `from <module> import <name>`, with `module` already imported: new reference. A missing name
/// raises ImportError, as the statement does, so one `except ImportError` covers both failures.
host::Ref import_from(host::Borrowed module, host::Name& name);

/// `raise exc` (an exception instance) from a plain function: chained implicitly to the
/// exception being handled, if any.
[[noreturn]] void raise_instance(host::Borrowed exc);

/// `raise exc from cause` written inside `except ... as cause:`.
[[noreturn]] void raise_from(host::Borrowed exc, host::Borrowed cause);

}  // namespace talvo::py
