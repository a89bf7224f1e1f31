// A body against the stub it is installed with.
//
// An operation's body reads its bound arguments by position, and the binder hands it exactly as
// many as the stub declares, so a body written for another parameter list would read past them
// or take one argument for another. The check runs where operations are made, before any is
// installed, in every build: its cost is a few attribute reads per operation at import.
#pragma once

#include "host/method.hpp"

namespace host {

/// Raises `SystemError` unless `stub` is the kind of function `spec` needs (`async def` for a
/// coroutine, an `async def` that yields for a stream, a plain `def` otherwise), `spec` has the
/// body its kind calls, and the stub declares exactly `params` parameters.
void check_stub(const MethodSpec& spec, Py_ssize_t params, Borrowed stub);

}  // namespace host
