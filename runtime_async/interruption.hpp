// What `interrupt` shares with the producer thread and the streams, so that no speech frame of an
// interrupted utterance reaches the application after the call, wherever it was at the time.
//
// Every speech frame the producer queues is listed in `_speech_frames` until a stream takes it.
// `interrupt` moves that whole list to `_interrupted_frames` (a stream drops what it finds there),
// purges those frames from the queue, and bumps `_interrupt_generation`. A frame the renderer
// was still making when the call came is told by the generation: the producer reads it before
// asking for each frame and drops a speech frame if it changed meanwhile. That loses nothing
// pushed after the call because of what the base renderer promises: after its `interrupt`, the
// next frame its iteration hands out is an idle one, whatever audio has come in since.
// While the base renderer's `interrupt` runs (`_interrupting`), the producer does not start a
// frame: the generation it would read could not tell which side of the call that frame falls on.
#pragma once

#include "host/names.hpp"

namespace talvo::interruption {

/// The state, at construction.
void create(host::Borrowed self);
/// A new run starts with nothing listed and nothing played.
void reset(host::Borrowed self);

/// The producer thread's side, for one run. Inactive on an instance without the state.
class ProducerWatch {
 public:
  explicit ProducerWatch(host::Borrowed self);
  /// Before asking the renderer for a frame: waits out an interrupt under way, then returns the
  /// generation to hand to `admit`.
  host::Ref before_next() const;
  /// False for a speech frame begun before an interrupt (dropped); lists every other speech frame.
  bool admit(host::Borrowed frame, host::Borrowed generation) const;

 private:
  host::Borrowed self_;
  host::Ref idle_, listed_;
};

/// A stream's side. Inactive on an instance without the state.
class StreamWatch {
 public:
  explicit StreamWatch(host::Borrowed self);
  /// False for a frame an interrupt discarded; counts the speech handed to the application.
  bool deliver(host::Borrowed item) const;

 private:
  host::Borrowed self_;
  host::Ref listed_, interrupted_;
};

}  // namespace talvo::interruption
