// `async with runtime:`: entering hands back the runtime and starts nothing (the first `run`
// does that); leaving stops it, however the block ended.
#include "host/frame.hpp"
#include "host/names.hpp"
#include "runtime_async/operation.hpp"
#include "runtime_async/state.hpp"

namespace talvo {

namespace {

// (self)
host::Task aenter(host::Args a) {
  co_return host::Ref::borrow(a[0]);
}

// (self, exc_type, exc, tb, /). Looked up on the instance, so a subclass's (or a patched) stop is
// the one awaited. The block's error is never swallowed: the result is None. A failing stop
// raises its own error, chained to the block's by the interpreter.
host::Task aexit(host::Args a) {
  host::Ref stopping = host::call_method(a[0], names::stop);
  co_await std::move(stopping);
  co_return host::Ref::none();
}

}  // namespace

extern const Operation kAenter{"__aenter__",
                               Scope::instance,
                               {host::MethodKind::coroutine, aenter},
                               1,
                               R"(async def __aenter__(self) -> AsyncTalvo:
    """Enter `async with`: the runtime itself. Nothing starts until run() is iterated."""
)"};

extern const Operation kAexit{
    "__aexit__",
    Scope::instance,
    {host::MethodKind::coroutine, aexit},
    4,
    R"(async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                    tb: TracebackType | None, /) -> None:
    """Leave `async with`: await stop(), also when the block raised or was cancelled."""
)"};

}  // namespace talvo
