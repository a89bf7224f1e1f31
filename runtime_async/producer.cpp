// The frame producer: the body of the background thread `start` launches. It drives the base
// renderer's frame iteration on this thread and moves frames, an error, and finally the end
// marker onto the frame queue, with short timed puts that keep watching the stop event.
//
// A daemon producer can be ended at interpreter exit by a forced unwind from inside any Python
// call below (a queue put, the renderer, a log line). Nothing here catches it: every handler
// names `PyError`, and the C++ locals release their references only while the GIL is held.
// The renderer's iteration is the one reference whose release runs Python code (closing a
// suspended generator runs its clean-up), so it is released explicitly, never by a destructor:
// a forced unwind out of a destructor (noexcept) would end the process in std::terminate.
#include <optional>

#include "host/log.hpp"
#include "host/names.hpp"
#include "host/objects.hpp"
#include "runtime_async/contracts/base_renderer.hpp"
#include "runtime_async/frame_queue.hpp"
#include "runtime_async/interruption.hpp"
#include "runtime_async/operation.hpp"
#include "runtime_async/state.hpp"

namespace talvo {

namespace {

host::Name n_is_set{"is_set"};
host::Name n_perf_counter{"perf_counter"};
host::Name n_current_thread{"current_thread"};

// Releases the renderer's iterator or generator where a forced unwind may pass. Deliberately
// not noexcept, and never called from a destructor.
void release_iteration(host::Ref& iteration) {
  iteration.reset();
}

// One run's view of the instance: the shared queue and event, and whether this run still owns
// the pipeline. A producer that `stop` gave up on must not serve the next run once `start` has
// cleared the stop event, so a thread launched by `start` also stops when `_thread` no longer
// names it. A direct call (not from `start`) watches the stop event only.
class Run {
 public:
  explicit Run(host::Borrowed self) : self_(self), queue_(self) {
    host::Ref stop_event = host::getattr(self, names::stop_event);
    is_set_ = host::getattr(stop_event.view(), n_is_set);
    host::Ref threading = host::global(names::g_threading);
    me_ = host::call_method(threading.view(), n_current_thread);
    owned_ = host::getattr(self, names::thread).is(me_);
    if (owned_) {  // wait for `start` to finish saying the thread started (lifecycle.cpp)
      host::Ref gate = host::getattr(self, names::start_gate);
      host::call_method(gate.view(), names::acquire);
      host::call_method(gate.view(), names::release);
    }
  }

  bool abandoned() const { return owned_ && !host::getattr(self_, names::thread).is(me_); }
  bool stop_event_set() const { return host::truthy(host::call(is_set_.view()).view()); }
  bool stop_requested() const { return stop_event_set() || abandoned(); }

  const frame_queue::ProducerSide& queue() const { return queue_; }

  void put_end_marker(host::Borrowed error_item) const {
    if (!abandoned()) queue_.put_end_marker(error_item);
  }

 private:
  host::Borrowed self_;
  frame_queue::ProducerSide queue_;
  host::Ref is_set_, me_;
  bool owned_ = false;
};

// `time.perf_counter`, looked up once per run through the module's `time` global.
class Clock {
 public:
  Clock() {
    host::Ref time = host::global(names::g_time);
    perf_counter_ = host::getattr(time.view(), n_perf_counter);
  }
  double now() const { return host::as_double(host::call(perf_counter_.view()).view()); }

 private:
  host::Ref perf_counter_;
};

// Moves frames from the iterator onto the queue until it ends or a stop; returns the time spent
// waiting for room.
double stream_items(host::Borrowed self, const Run& run, host::Borrowed it, const Clock& clock) {
  double backpressure = 0.0;
  long long produced = 0;  // this run's count, written to the instance once per frame
  const interruption::ProducerWatch watch(self);
  for (;;) {
    host::Ref generation = watch.before_next();
    host::Ref frame = host::next(it);
    if (!frame) break;
    if (run.stop_requested()) {
      host::log::debug("Stop event set, stopping frame producer");
      break;
    }
    host::Ref count = host::int_(++produced);
    host::setattr(self, names::producer_frame_count, count.view());
    if (!watch.admit(frame.view(), generation.view())) continue;

    const double t0 = clock.now();
    bool queued = false;
    // The stop event is tested before every attempt; whether `start` has moved on to another
    // thread was just tested above, and is again after each attempt that found no room.
    for (bool retry = false; !(retry ? run.stop_requested() : run.stop_event_set()); retry = true) {
      if (run.queue().try_put(frame.view())) {
        queued = true;
        break;
      }
    }
    // Waiting for room is back-pressure, not generation, also when a stop ends the wait.
    backpressure += clock.now() - t0;
    if (!queued) break;  // stop arrived while waiting for room: the frame is dropped
  }
  return backpressure;
}

// Streams the frames of one iteration onto the queue; writes the two statistics. An abandoned
// producer leaves them alone: they describe the run that owns the pipeline now.
void stream_frames(host::Borrowed self, const Run& run, host::Borrowed frames) {
  if (run.abandoned()) return;
  const Clock clock;
  const double t_start = clock.now();
  host::Ref zero = host::int_(0);
  host::setattr(self, names::producer_frame_count, zero.view());
  host::Ref it = host::iter(frames);
  double backpressure = 0.0;
  try {
    backpressure = stream_items(self, run, it.view(), clock);
  } catch (host::PyError&) {
    release_iteration(it);
    throw;
  }
  if (!run.abandoned()) {
    host::Ref gen_time = host::float_(clock.now() - t_start - backpressure);
    host::setattr(self, names::producer_gen_time, gen_time.view());
  }
  host::log::debug("Frame iterator completed");
  release_iteration(it);
}

// (self, out_buffer_empty=None, *, idle_timeout=None)
host::Ref frame_producer(host::Args a) {
  host::Borrowed self = a[0], out_buffer_empty = a[1], idle_timeout = a[2];
  Run run(self);
  host::Ref callback = host::truthy(out_buffer_empty) ? host::Ref::borrow(out_buffer_empty)
                                                      : run.queue().empty_test();
  host::Ref frames;  // what the renderer's run() handed out; see release_iteration
  host::Ref error_item;
  std::optional<host::PyError> escaping;  // outside `Exception`: leaves after the end marker
  try {
    try {
      try {
        frames = base::run(self, callback.view(), idle_timeout);
      } catch (host::PyError& e) {
        if (e.matches(host::exc::Exception()) && !e.matches(host::exc::RuntimeError())) {
          host::log::error_with("Error initializing frame iterator in run(): ", e.value());
        }
        throw;
      }
      if (!host::truthy(frames.view())) {
        host::log::error("Frame iterator is None");
      } else {
        stream_frames(self, run, frames.view());
      }
      release_iteration(frames);
    } catch (host::PyError& e) {
      release_iteration(frames);
      if (!e.matches(host::exc::Exception())) throw;
      host::log::error_with("Exception in frame producer: ", e.value());
      if (!run.abandoned()) {
        try {
          run.queue().put_waiting(e.value());
          error_item = host::Ref::borrow(e.value());
        } catch (host::PyError& put_error) {
          if (!put_error.matches(host::exc::Exception())) throw;
          host::log::error_with("Error putting exception in frame queue: ", put_error.value());
        }
      }
    }
  } catch (host::PyError& e) {
    escaping.emplace(std::move(e));
  }
  run.put_end_marker(error_item.view());
  run.queue().ended();
  if (escaping) throw std::move(*escaping);
  return host::Ref::none();
}

}  // namespace

extern const Operation kFrameProducer{
    "_frame_producer",
    Scope::instance,
    {host::MethodKind::function, nullptr, nullptr, frame_producer},
    3,
    R"(def _frame_producer(self, out_buffer_empty: Optional[BufferEmptyCallback] = None, *,
                    idle_timeout: float | None = None) -> None:
    """Run the runtime in a separate thread and produce frames."""
)"};

}  // namespace talvo
