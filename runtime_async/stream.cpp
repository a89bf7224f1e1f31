// The frame stream: an async generator that starts the runtime, then takes frame-queue items
// through the default executor (a blocking take of at most 1.0 s, never on the loop thread) and
// hands frames to the application. Cancelled while it waits, it stops the runtime first, and
// lets go of its take before the cancellation leaves.
#include "host/cancel.hpp"
#include "host/frame.hpp"
#include "host/log.hpp"
#include "runtime_async/contracts/event_loop.hpp"
#include "runtime_async/frame_queue.hpp"
#include "runtime_async/operation.hpp"
#include "runtime_async/state.hpp"

namespace talvo {

namespace {

host::Name n_start{"start"};
host::Name n_stop{"stop"};
host::Name n_is_alive{"is_alive"};
host::Name n_done{"done"};
host::KwNames kw_start("out_buffer_empty", "idle_timeout", "loop");

bool producer_alive(host::Borrowed self) {
  host::Ref thread = host::getattr(self, names::thread);
  return !thread.is_none() && host::truthy(host::call_method(thread.view(), n_is_alive).view());
}

// (self, out_buffer_empty=None, *, idle_timeout=None, loop=None)
host::Stream run(host::Args a) {
  host::Borrowed self = a[0];
  // (g++ 12 cannot keep a braced list alive across co_await: build the awaitable first.)
  host::Ref started = host::call_method_kw(self, n_start, {a[1], a[2], a[3]}, kw_start);
  co_await std::move(started);

  host::CaughtCancellation cancelled;
  // The take on an executor worker, while the stream waits for it. The wait is shielded: a
  // cancellation cannot stop a worker, and a take left behind would hand the next run's first
  // item to nobody.
  host::Ref in_flight;
  try {
    host::Ref running_loop = loop::running();
    const frame_queue::ExecutorTake take(self);

    for (;;) {
      host::Ref item;
      bool timed_out = false;
      in_flight = take.submit(running_loop.view());
      try {
        host::Ref shielded = loop::shield(in_flight.view());
        item = co_await std::move(shielded);
      } catch (host::PyError& e) {
        if (!take.timed_out(e)) throw;
        timed_out = true;
      }
      in_flight.reset();
      if (timed_out) {
        if (producer_alive(self)) continue;
        // The producer may have put its last items (its error, its end marker) between the
        // take's time-out and the liveness test: they end this stream, they are not leftovers.
        item = frame_queue::take_now(self);
        if (!item) {
          host::log::warning("Frame producer thread is no longer alive, ending stream");
          co_return;
        }
      }
      if (item.is(host::global(names::g_stream_end))) co_return;
      if (PyObject_TypeCheck(item.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        throw host::PyError(item.view());  // the producer's very error object
      }
      co_yield std::move(item);
    }
  } catch (host::PyError& e) {
    if (!cancelled.keep(e, loop::cancelled_error().view())) throw;
  }
  co_await host::call_method(self, n_stop);
  // Stopping usually ends the take (the producer's end marker); if not, wake it and let it go.
  if (in_flight && !host::truthy(host::call_method(in_flight.view(), n_done).view())) {
    frame_queue::ExecutorTake::wake(self);
    try {
      co_await std::move(in_flight);
    } catch (host::PyError& e) {
      if (!e.matches(PyExc_Exception)) throw;  // queue.Empty: it let go anyway
    }
  }
  cancelled.rethrow();
}

const Operation kRun{
    40, "run", Scope::instance, {host::MethodKind::stream, nullptr, run},
    R"(async def run(self, out_buffer_empty: Optional[BufferEmptyCallback] = None, *,
              idle_timeout: float | None = None,
              loop: Optional[asyncio.AbstractEventLoop] = None) -> AsyncIterator[VideoFrame]:
    """Stream video frames asynchronously.

    Starts the runtime if it is not running yet.

    Args:
        out_buffer_empty: Callable telling the renderer whether the output side is empty.
        idle_timeout: Seconds without speech after which the renderer ends the stream.
        loop: Event loop the runtime works with (passed on to start()).

    Yields:
        VideoFrame objects from the runtime.
    """
    yield
)"};
const Register kRegisterRun{kRun};

}  // namespace

}  // namespace talvo
