// The frame stream: an async generator that starts the runtime, then takes frame-queue items and
// hands frames to the application. By default each take is a blocking wait of at most 1.0 s on
// the default executor, never on the loop thread; in loop mode (`frame_wait="loop"`) the stream
// takes without waiting on the loop thread and, when the queue is empty, awaits the producer's
// wake-up on the loop, so it never holds an executor worker. Cancelled while it waits, it stops
// the runtime first, and lets go of its take before the cancellation leaves.
#include <optional>

#include "host/cancel.hpp"
#include "host/frame.hpp"
#include "host/log.hpp"
#include "host/objects.hpp"
#include "runtime_async/contracts/event_loop.hpp"
#include "runtime_async/frame_queue.hpp"
#include "runtime_async/interruption.hpp"
#include "runtime_async/operation.hpp"
#include "runtime_async/state.hpp"

namespace talvo {

namespace {

host::KwNames kw_start("out_buffer_empty", "idle_timeout", "loop");

constexpr double kTakeTimeout = 1.0;

bool producer_alive(host::Borrowed self) {
  host::Ref thread = host::getattr(self, names::thread);
  return !thread.is_none() &&
         host::truthy(host::call_method(thread.view(), names::is_alive).view());
}

// (self, out_buffer_empty=None, *, idle_timeout=None, loop=None)
host::Stream run(host::Args a) {
  host::Borrowed self = a[0];
  host::Ref started = host::call_method_kw(self, names::start, {a[1], a[2], a[3]}, kw_start);
  co_await std::move(started);

  host::CaughtCancellation cancelled;
  host::Ref running_loop;
  std::optional<frame_queue::ExecutorTake> take;  // the default mode's
  std::optional<frame_queue::LoopWait> wait;      // loop mode's
  try {
    running_loop = loop::running();
    const bool on_loop = frame_queue::wait_of(self) == frame_queue::Wait::loop;
    const frame_queue::Errors errors = frame_queue::Errors::lookup();
    const interruption::StreamWatch watch(self);
    if (on_loop) {
      wait.emplace(self, running_loop.view());
    } else {
      take.emplace(self);
    }

    for (;;) {
      host::Ref item;
      bool timed_out = false;
      if (on_loop) {
        // Loop mode: take what is there on this thread; otherwise wait for the producer's
        // wake-up, for at most a second in all, as the executor's take would.
        item = frame_queue::take_now(self, errors);
        const double deadline = item ? 0.0 : loop::time(running_loop.view()) + kTakeTimeout;
        while (!item && !timed_out) {
          const double remaining = deadline - loop::time(running_loop.view());
          if (remaining <= 0) {
            timed_out = true;
            break;
          }
          host::Ref woken = wait->arm(remaining);
          item = frame_queue::take_now(self, errors);  // a put before arm() woke nobody
          if (!item) {
            try {
              co_await std::move(woken);
            } catch (host::PyError&) {
              wait->settle();
              throw;
            }
            timed_out = wait->settle() == frame_queue::LoopWait::Woken::time_out;
            item = frame_queue::take_now(self, errors);
          } else {
            wait->settle();
          }
        }
      } else {
        try {
          item = co_await take->submit(running_loop.view());
        } catch (host::PyError& e) {
          if (!take->timed_out(e)) throw;
          timed_out = true;
        }
      }
      if (!item && timed_out) {
        if (producer_alive(self)) continue;
        // The producer may have put its last items (its error, its end marker) between the
        // take's time-out and the liveness test: they end this stream, they are not leftovers.
        item = frame_queue::take_now(self, errors);
        if (!item) {
          host::log::warning("Frame producer thread is no longer alive, ending stream");
          co_return;
        }
      }
      if (item.is(host::global(names::g_stream_end))) co_return;
      if (host::is_exception(item.view())) {
        throw host::PyError(item.view());  // the producer's very error object
      }
      if (!watch.deliver(item.view())) continue;  // speech of an interrupted utterance
      co_yield std::move(item);
    }
  } catch (host::PyError& e) {
    if (!cancelled.keep(e, loop::cancelled_error().view())) throw;
  }
  if (take) take->abandon();
  std::optional<host::PyError> stop_failed;  // a second cancellation, say
  try {
    co_await host::call_method(self, names::stop);
  } catch (host::PyError& e) {
    stop_failed.emplace(std::move(e));
  }
  // However stop ended, a take still waiting in `get` is woken and awaited, or it would take
  // the next run's first item (and its own time-out would go unheard). A stream being closed
  // may not wait any more: it only wakes it.
  if (take) {
    host::Ref ended = take->let_go(self, running_loop.view());
    if (ended && !(stop_failed && stop_failed->matches(host::exc::GeneratorExit()))) {
      co_await std::move(ended);
    }
  }
  if (stop_failed) throw std::move(*stop_failed);
  cancelled.rethrow();
}

}  // namespace

extern const Operation kRun{
    "run",
    Scope::instance,
    {host::MethodKind::stream, nullptr, run},
    4,
    R"(async def run(self, out_buffer_empty: Optional[BufferEmptyCallback] = None, *,
              idle_timeout: float | None = None,
              loop: Optional[asyncio.AbstractEventLoop] = None) -> AsyncGenerator[VideoFrame, None]:
    """Stream video frames asynchronously.

    Starts the runtime if it is not running yet. How it waits for each frame (on the
    default executor, or on the event loop) is the frame_wait chosen at construction.

    A stream ended by idle_timeout leaves the runtime running with its producer gone: a
    second run() then yields nothing, ending after about 1 s with a warning, and speech
    pushed meanwhile waits for the run after stop(). Await stop() (or leave `async with`)
    between utterances that end by idle_timeout. While a stream runs, another run() on
    the same runtime serves the same producer: the two split the frames between them.

    Args:
        out_buffer_empty: Callable telling the renderer whether the output side is empty.
        idle_timeout: Seconds without speech after which the renderer ends the stream.
        loop: Event loop the runtime works with (passed on to start()).

    Yields:
        VideoFrame objects from the runtime.
    """
    yield
)"};

}  // namespace talvo
