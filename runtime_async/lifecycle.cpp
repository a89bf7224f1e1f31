// Starting and stopping the frame pipeline: one daemon producer thread per started runtime, a
// bounded wait for it (on the default executor, or in loop mode on the loop itself), and the
// base renderer's clean-up.
#include <algorithm>

#include "host/frame.hpp"
#include "host/log.hpp"
#include "host/objects.hpp"
#include "runtime_async/contracts/base_renderer.hpp"
#include "runtime_async/contracts/event_loop.hpp"
#include "runtime_async/frame_queue.hpp"
#include "runtime_async/interruption.hpp"
#include "runtime_async/operation.hpp"
#include "runtime_async/state.hpp"

namespace talvo {

namespace {

host::Name n_thread_class{"Thread"};
host::Name n_daemon{"daemon"};
host::Name n_join{"join"};
host::Name n_frame_producer{"_frame_producer"};
host::KwNames kw_thread("target", "kwargs", "name");
host::KwNames kw_producer("out_buffer_empty", "idle_timeout");

constexpr double kJoinTimeout = 5.0;
constexpr double kLivenessTick = 0.1;
constexpr double kEndingTick = 0.001;

bool alive(host::Borrowed thread) {
  return !thread.is_none() && host::truthy(host::call_method(thread, names::is_alive).view());
}

// (self, out_buffer_empty=None, *, idle_timeout=None, loop=None). No suspension point: it runs to
// its end before any other task of the loop runs.
host::Task start(host::Args a) {
  host::Borrowed self = a[0], out_buffer_empty = a[1], idle_timeout = a[2], loop = a[3];
  if (host::truthy(host::getattr(self, names::running).view())) {
    host::log::debug("Runtime already running, skipping start");
    co_return host::Ref::none();
  }
  if (!base::has_transaction_id(self)) base::regenerate_transaction_id(self);
  host::Ref chosen = loop.is_none() ? loop::running() : host::Ref::borrow(loop);
  host::setattr(self, names::loop, chosen.view());
  base::input_set_loop(self, chosen.view());

  // What a previous run left behind (its last frames, its end marker) must not reach this run.
  frame_queue::drain(self);
  interruption::reset(self);

  host::Ref stop_event = host::getattr(self, names::stop_event);
  host::call_method(stop_event.view(), names::clear);
  host::setattr(self, names::running, host::boolean(true));

  host::Ref threading = host::global(names::g_threading);
  host::Ref thread_class = host::getattr(threading.view(), n_thread_class);
  host::Ref target = host::getattr(self, n_frame_producer);
  host::Ref kwargs = host::dict(kw_producer, {out_buffer_empty, idle_timeout});
  host::Ref name = host::str("talvo-frame-producer");
  host::Ref thread =
      host::call_kw(thread_class.view(), {target.view(), kwargs.view(), name.view()}, kw_thread);
  host::setattr(self, names::thread, thread.view());
  host::setattr(thread.view(), n_daemon, host::boolean(true));
  // A new thread usually runs first, and a renderer that fails at once would have its error
  // logged before the line saying the thread started. The producer passes this gate before it
  // does anything, so the log reads in the order things happened.
  host::Ref gate = host::getattr(self, names::start_gate);
  host::call_method(gate.view(), names::acquire);
  try {
    host::call_method(thread.view(), names::start);
    host::log::debug("Frame producer thread started");
  } catch (host::PyError&) {
    host::call_method(gate.view(), names::release);
    throw;
  }
  host::call_method(gate.view(), names::release);
  co_return host::Ref::none();
}

// (self)
host::Task stop(host::Args a) {
  host::Borrowed self = a[0];
  if (!host::truthy(host::getattr(self, names::running).view())) co_return host::Ref::none();
  host::Ref stop_event = host::getattr(self, names::stop_event);
  host::call_method(stop_event.view(), names::set);
  host::log::debug("Stop event set, waiting for frame producer thread to finish");
  frame_queue::drain(self);

  host::Ref thread = host::getattr(self, names::thread);
  if (alive(thread.view())) {
    host::Ref running_loop = loop::running();
    if (frame_queue::wait_of(self) == frame_queue::Wait::loop) {
      // Loop mode holds no executor worker, not even here: the producer wakes this wait when
      // its body ends. Its last steps (leaving threading's bookkeeping) follow at once, so the
      // wait then looks again every millisecond; before that, every 0.1 s in case no wake-up
      // comes (a replaced producer body).
      frame_queue::LoopWait wait(self, running_loop.view());
      const double deadline = loop::time(running_loop.view()) + kJoinTimeout;
      double tick = kLivenessTick;
      while (alive(thread.view())) {
        const double remaining = deadline - loop::time(running_loop.view());
        if (remaining <= 0) break;
        host::Ref woken = wait.arm(std::min(remaining, tick));
        if (!alive(thread.view())) {
          wait.settle();
          break;
        }
        try {
          co_await std::move(woken);
        } catch (host::PyError&) {
          wait.settle();
          throw;
        }
        if (wait.settle() == frame_queue::LoopWait::Woken::producer_end) tick = kEndingTick;
      }
    } else {
      host::Ref join = host::getattr(thread.view(), n_join);
      host::Ref timeout = host::float_(kJoinTimeout);
      host::Ref joined = loop::run_in_executor(running_loop.view(), join.view(), {timeout.view()});
      co_await std::move(joined);
    }
    if (alive(host::getattr(self, names::thread).view())) {
      host::log::warning("Frame producer thread did not exit within 5s timeout");
      frame_queue::drain(self);
    }
  }
  host::setattr(self, names::running, host::boolean(false));
  host::setattr(self, names::thread, host::none());
  // Forget the loop too: the next start records a new one, and until then set_model and
  // load_data_async use the running loop instead of a loop that may be closed by now.
  host::setattr(self, names::loop, host::none());
  base::cleanup(self);
  co_return host::Ref::none();
}

// (self)
host::Task shutdown(host::Args a) {
  co_await host::call_method(a[0], names::stop);
  co_return host::Ref::none();
}

}  // namespace

extern const Operation kStart{
    "start",
    Scope::instance,
    {host::MethodKind::coroutine, start},
    4,
    R"(async def start(self, out_buffer_empty: Optional[BufferEmptyCallback] = None, *,
                idle_timeout: float | None = None,
                loop: Optional[asyncio.AbstractEventLoop] = None) -> None:
    """Start the runtime: launch the background frame producer thread.

    Args:
        out_buffer_empty: Callable telling the renderer whether the output side is empty.
        idle_timeout: Seconds without speech after which the renderer ends the stream.
        loop: Event loop the runtime works with; the running loop when omitted.
    """
)"};

extern const Operation kStop{"stop",
                             Scope::instance,
                             {host::MethodKind::coroutine, stop},
                             1,
                             R"(async def stop(self) -> None:
    """Stop the runtime: end the frame producer and clean up."""
)"};

extern const Operation kShutdown{"shutdown",
                                 Scope::instance,
                                 {host::MethodKind::coroutine, shutdown},
                                 1,
                                 R"(async def shutdown(self) -> None:
    """Shut the runtime down; the same as stop(), for the Velda runtime's interface."""
)"};

}  // namespace talvo
