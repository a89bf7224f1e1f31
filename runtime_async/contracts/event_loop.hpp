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
/// `loop.create_future()`: new reference.
host::Ref create_future(host::Borrowed loop);
/// `loop.time()`, in seconds.
double time(host::Borrowed loop);
/// From any thread: has `future` resolved with `value` on its own loop, unless it is done by
/// then (`loop.call_soon_threadsafe`). False when that loop is closed: nobody waits any more.
bool resolve_threadsafe(host::Borrowed future, host::Borrowed value);
/// On the loop's thread: resolves `future` with `value` after `delay` seconds unless it is done
/// by then (`loop.call_later`): new reference to the timer handle.
host::Ref resolve_later(host::Borrowed loop, double delay, host::Borrowed future,
                        host::Borrowed value);
/// `handle.cancel()`.
void cancel(host::Borrowed handle);
/// `asyncio.CancelledError`: new reference.
host::Ref cancelled_error();

}  // namespace talvo::loop
