// `interrupt`: ends the current utterance at once. The base renderer drops the speech it has not
// shown; the frames already made of it are dropped wherever they are (see interruption.hpp).
#include "runtime_async/interruption.hpp"

#include <cstdio>

#include "host/frame.hpp"
#include "host/log.hpp"
#include "host/objects.hpp"
#include "runtime_async/contracts/base_renderer.hpp"
#include "runtime_async/frame_queue.hpp"
#include "runtime_async/operation.hpp"
#include "runtime_async/state.hpp"

namespace talvo::interruption {

namespace {

host::Name n_wait{"wait"};
host::Name n_speech{"speech"};
host::Name n_audio{"audio"};
host::Name n_sample_rate{"sample_rate"};
host::Name n_end_of_speech{"end_of_speech"};

// How long the producer waits at a time for an interrupt under way (the base renderer's call):
// it looks again after each wait, so a lost wake-up costs no more than this.
constexpr double kIdleWait = 0.05;

bool is_speech(host::Borrowed item) {
  host::Ref speech = host::getattr_optional(item, n_speech);
  return speech && host::truthy(speech.view());
}

double seconds_of(host::Borrowed frame) {
  const double rate = host::as_double(host::getattr(frame, n_sample_rate).view());
  if (rate <= 0) return 0.0;
  return static_cast<double>(host::length(host::getattr(frame, n_audio).view())) / 2.0 / rate;
}

}  // namespace

void create(host::Borrowed self) {
  host::Ref threading = host::global(names::g_threading);
  host::Ref idle = host::call_method(threading.view(), names::event);
  host::call_method(idle.view(), names::set);
  host::setattr(self, names::interrupt_idle, idle.view());
  host::setattr(self, names::interrupting, host::boolean(false));
  host::Ref generation = host::int_(0);
  host::setattr(self, names::interrupt_generation, generation.view());
  host::setattr(self, names::speech_frames, host::dict().view());
  host::setattr(self, names::interrupted_frames, host::dict().view());
  reset(self);
}

void reset(host::Borrowed self) {
  for (host::Name* table : {&names::speech_frames, &names::interrupted_frames}) {
    if (host::Ref listed = host::getattr_optional(self, *table))
      host::table_take_all(listed.view());
  }
  host::Ref zero = host::float_(0.0);
  host::setattr(self, names::played_seconds, zero.view());
}

// ---- the producer's side ----------------------------------------------------------------------

ProducerWatch::ProducerWatch(host::Borrowed self)
    : self_(self),
      idle_(host::getattr_optional(self, names::interrupt_idle)),
      listed_(host::getattr_optional(self, names::speech_frames)) {}

host::Ref ProducerWatch::before_next() const {
  if (!listed_) return host::Ref::none();
  host::Ref timeout;
  while (host::truthy(host::getattr(self_, names::interrupting).view())) {
    if (!timeout) timeout = host::float_(kIdleWait);
    host::call_method(idle_.view(), n_wait, {timeout.view()});
  }
  return host::getattr(self_, names::interrupt_generation);
}

bool ProducerWatch::admit(host::Borrowed frame, host::Borrowed generation) const {
  if (!listed_ || !is_speech(frame)) return true;
  // No Python code runs between these tests and the listing, so `interrupt` sees either the
  // frame listed or its generation changed.
  if (host::truthy(host::getattr(self_, names::interrupting).view()) ||
      !host::getattr(self_, names::interrupt_generation).is(generation)) {
    host::log::debug("Dropped a speech frame of an interrupted utterance");
    return false;
  }
  host::table_add(listed_.view(), frame);
  return true;
}

// ---- a stream's side --------------------------------------------------------------------------

StreamWatch::StreamWatch(host::Borrowed self)
    : self_(self),
      listed_(host::getattr_optional(self, names::speech_frames)),
      interrupted_(host::getattr_optional(self, names::interrupted_frames)) {}

bool StreamWatch::deliver(host::Borrowed item) const {
  if (!listed_ || !interrupted_ || !is_speech(item)) return true;
  if (host::table_discard(interrupted_.view(), item)) return false;
  host::table_discard(listed_.view(), item);
  // The utterance's speech handed to the application so far; its last frame starts the count
  // again for the next one.
  double played = 0.0;
  if (!host::truthy(host::getattr(item, n_end_of_speech).view())) {
    played = host::as_double(host::getattr(self_, names::played_seconds).view()) + seconds_of(item);
  }
  host::Ref value = host::float_(played);
  host::setattr(self_, names::played_seconds, value.view());
  return true;
}

}  // namespace talvo::interruption

namespace talvo {

namespace {

using namespace interruption;

// Everything between raising `_interrupting` and lowering it; returns the seconds of frames
// dropped.
double cut(host::Borrowed self, host::Borrowed base_interrupt, double& renderer_dropped) {
  host::Ref generation = host::getattr(self, names::interrupt_generation);
  // The base renderer's call runs here, on the loop thread, rather than on the executor: it
  // holds its locks only while the renderer thread takes input or cuts a frame's audio
  // (microseconds, never across a tick's sleep), and running it inline leaves no suspension
  // point, so no frame reaches the application between the renderer's cut and the purge below,
  // and a cancelled interrupt has either done all of it or nothing.
  renderer_dropped = host::as_double(host::call(base_interrupt).view());
  host::Ref next = host::int_(static_cast<long long>(host::as_double(generation.view())) + 1);
  host::setattr(self, names::interrupt_generation, next.view());

  host::Ref listed = host::getattr(self, names::speech_frames);
  host::Ref interrupted = host::getattr(self, names::interrupted_frames);
  host::Ref frames = host::table_take_all(listed.view());
  double dropped = 0.0;
  if (!host::truthy(host::getattr(self, names::running).view())) {
    // What a stopped run listed went with its queue (stop drains it): nothing to count or purge.
    host::table_take_all(interrupted.view());
    return dropped;
  }
  for (std::size_t i = 0; i < host::list_size(frames.view()); ++i) {
    host::Borrowed frame = host::list_item(frames.view(), i);
    dropped += seconds_of(frame);
    host::table_add(interrupted.view(), frame);
  }
  frame_queue::purge(self, interrupted.view());
  return dropped;
}

// (self)
host::Task interrupt(host::Args a) {
  host::Borrowed self = a[0];
  host::Ref base_interrupt = base::interrupt_method(self);
  if (!base_interrupt) {
    host::raise(host::exc::NotImplementedError(),
                "interrupt() needs the base renderer's interrupt(), and this one has none");
  }
  host::Ref idle = host::getattr(self, names::interrupt_idle);
  host::call_method(idle.view(), names::clear);
  host::setattr(self, names::interrupting, host::boolean(true));
  double renderer_dropped = 0.0, frames_dropped = 0.0;
  try {
    frames_dropped = cut(self, base_interrupt.view(), renderer_dropped);
  } catch (host::PyError&) {
    host::setattr(self, names::interrupting, host::boolean(false));
    host::call_method(idle.view(), names::set);
    throw;
  }
  host::setattr(self, names::interrupting, host::boolean(false));
  host::call_method(idle.view(), names::set);

  double played = 0.0;
  if (host::truthy(host::getattr(self, names::running).view())) {
    played = host::as_double(host::getattr(self, names::played_seconds).view());
  }
  host::Ref zero = host::float_(0.0);
  host::setattr(self, names::played_seconds, zero.view());
  char line[160];
  std::snprintf(line, sizeof line,
                "Interrupted after %.3f s of speech: dropped %.3f s of input and %.3f s of frames",
                played, renderer_dropped, frames_dropped);
  host::log::debug(line);
  host::Ref interruption = host::global(names::g_interruption);
  host::Ref played_value = host::float_(played);
  host::Ref dropped_value = host::float_(renderer_dropped + frames_dropped);
  co_return host::call(interruption.view(), {played_value.view(), dropped_value.view()});
}

}  // namespace

extern const Operation kInterrupt{"interrupt",
                                  Scope::instance,
                                  {host::MethodKind::coroutine, interrupt},
                                  1,
                                  R"(async def interrupt(self) -> Interruption:
    """Stop the current utterance now: its speech not yet shown is dropped.

    Drops the speech input still queued and every speech frame of the utterance not yet
    handed to the application (queued, or being made); other items stay in place, and
    the runtime goes on with idle frames. Audio pushed after the call is rendered whole.

    Returns:
        Interruption(played_seconds, dropped_seconds): the utterance's speech the stream
        had yielded before the call, and the speech discarded.

    Raises:
        NotImplementedError: The base renderer has no interrupt().
    """
)"};

}  // namespace talvo
