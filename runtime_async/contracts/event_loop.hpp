// What the facade uses of the host's asyncio event loop, and the only way it reaches it. The
// `asyncio` module is the facade module's global of that name, looked up at each use.
#pragma once

#include <initializer_list>

#include "host/names.hpp"

namespace talvo::loop {

/// `asyncio.get_running_loop()`: new reference.
host::Ref running();
/// `loop.run_in_executor(None, fn, *args)`: new reference to the awaitable.
host::Ref run_in_executor(host::Borrowed loop, host::Borrowed fn,
                          std::initializer_list<host::Borrowed> args = {});
/// `asyncio.shield(awaitable)`: new reference to the awaitable.
host::Ref shield(host::Borrowed awaitable);
/// `asyncio.CancelledError`: new reference.
host::Ref cancelled_error();

}  // namespace talvo::loop
