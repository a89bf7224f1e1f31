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
host::Name n_get{"get"};
host::Name n_partial{"partial"};
host::Name n_is_alive{"is_alive"};
host::Name n_done{"done"};
host::Name n_put_nowait{"put_nowait"};
host::Name n_get_nowait{"get_nowait"};
host::KwNames kw_start("out_buffer_empty", "idle_timeout", "loop");
host::KwNames kw_timeout("timeout");

constexpr double kTakeTimeout = 1.0;

bool producer_alive(host::Borrowed self) {
  host::Ref thread = host::getattr(self, names::thread);
  return !thread.is_none() && host::truthy(host::call_method(thread.view(), n_is_alive).view());
}

// Puts a marker the stopped run no longer needs, so that a take still waiting returns now. It
// may outlive the take (a later start discards it); a full queue needs no waking.
void wake_waiting_take(host::Borrowed frame_queue) {
  const QueueErrors errors = QueueErrors::lookup();
  host::Ref marker = host::global(names::g_stream_end);
  try {
    host::call_method(frame_queue, n_put_nowait, {marker.view()});
  } catch (host::PyError& e) {
    if (!e.matches(errors.full.view())) throw;
  }
}

// An item that is queued right now, or null: new reference.
host::Ref take_now(host::Borrowed frame_queue, const QueueErrors& errors) {
  try {
    return host::call_method(frame_queue, n_get_nowait);
  } catch (host::PyError& e) {
    if (!e.matches(errors.empty.view())) throw;
    return host::Ref();
  }
}

// (self, out_buffer_empty=None, *, idle_timeout=None, loop=None)
host::Stream run(host::Args a) {
  host::Borrowed self = a[0];
  // (g++ 12 cannot keep a braced list alive across co_await: build the awaitable first.)
  host::Ref started = host::call_method_kw(self, n_start, {a[1], a[2], a[3]}, kw_start);
  co_await std::move(started);

  host::CaughtCancellation cancelled;
  host::Ref frame_queue;
  // The take on an executor worker, while the stream waits for it. The wait is shielded: a
  // cancellation cannot stop a worker, and a take left behind would hand the next run's first
  // item to nobody.
  host::Ref in_flight;
  try {
    host::Ref running_loop = loop::running();
    const QueueErrors errors = QueueErrors::lookup();
    frame_queue = host::getattr(self, names::frame_queue);
    // take() == frame_queue.get(timeout=1.0), run on an executor worker
    host::Ref functools = host::import("functools");
    host::Ref partial = host::getattr(functools.view(), n_partial);
    host::Ref get = host::getattr(frame_queue.view(), n_get);
    host::Ref timeout = host::float_(kTakeTimeout);
    host::Ref take = host::call_kw(partial.view(), {get.view(), timeout.view()}, kw_timeout);

    for (;;) {
      host::Ref item;
      bool timed_out = false;
      in_flight = loop::run_in_executor(running_loop.view(), take.view());
      try {
        host::Ref shielded = loop::shield(in_flight.view());
        item = co_await std::move(shielded);
      } catch (host::PyError& e) {
        if (!e.matches(errors.empty.view())) throw;
        timed_out = true;
      }
      in_flight.reset();
      if (timed_out) {
        if (producer_alive(self)) continue;
        // The producer may have put its last items (its error, its end marker) between the
        // take's time-out and the liveness test: they end this stream, they are not leftovers.
        item = take_now(frame_queue.view(), errors);
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
    wake_waiting_take(frame_queue.view());
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
              loop: Optional[asyncio.AbstractEventLoop] = None) -> AsyncGenerator[VideoFrame, None]:
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
