// The frame queue and everything done to it: the one owner of `_frame_queue`.
//
// `_frame_queue` is the instance's `queue.Queue`, shared by the producer thread and the event
// loop, and looked up on the instance at every use (tests replace it, or its methods). The
// producer's puts, `stop`'s drains, `start`'s discard of leftovers and the stream's takes all go
// through this file; no other file names a queue method.
#pragma once

#include "host/names.hpp"

namespace talvo::frame_queue {

/// `queue.Empty` and `queue.Full`, looked up through the module's `queue` global.
struct Errors {
  host::Ref empty;
  host::Ref full;
  static Errors lookup();
};

/// How a stream waits for an item, chosen at construction (`frame_wait`) and kept in
/// `_frame_wait`: on an executor worker (the default), or on the event loop, woken by the producer.
enum class Wait { executor, loop };

/// The `frame_wait` argument checked: "executor" or "loop"; `ValueError` for another string,
/// `TypeError` for anything else. Returns the interned value to store.
host::Ref checked_wait(host::Borrowed frame_wait);
/// The instance's mode, read from `_frame_wait`.
Wait wait_of(host::Borrowed self);

/// A new frame queue of capacity `maxsize` (0 or less: unbounded), stored on the instance.
void create(host::Borrowed self, host::Borrowed maxsize);

/// Takes every item that is queued right now and drops it; never waits. A take that finds the
/// queue emptied by another consumer in the meantime ends the drain quietly.
void drain(host::Borrowed self);

/// One producer run's side of the queue. Built on the producer thread when the run begins.
class ProducerSide {
 public:
  explicit ProducerSide(host::Borrowed self);

  /// The queue's bound emptiness test: the renderer's default `out_buffer_empty`.
  host::Ref empty_test() const;
  /// A timed put of 0.5 s; false when no room came within the time-out.
  bool try_put(host::Borrowed item) const;
  /// A put that waits for room as long as it takes (the error item).
  void put_waiting(host::Borrowed item) const;
  /// Leaves the end marker, making room by dropping the oldest item, at most ten times. The
  /// run's error item (if any) is never dropped for it: it ends the stream anyway, and dropping
  /// it would turn a failure into a normal end.
  void put_end_marker(host::Borrowed error_item) const;

 private:
  host::Ref queue_, put_, half_second_;
  Errors errors_;
};

/// An item that is queued right now, or null: new reference. Never waits.
host::Ref take_now(host::Borrowed self);

/// The default mode's take: `get(timeout=1.0)` on a worker of the loop's default executor.
class ExecutorTake {
 public:
  explicit ExecutorTake(host::Borrowed self);
  /// The awaitable of one take on `loop`'s default executor.
  host::Ref submit(host::Borrowed loop) const;
  /// True when the take failed only because nothing came within its second (`queue.Empty`).
  bool timed_out(const host::PyError& error) const { return error.matches(errors_.empty.view()); }
  /// Puts a marker the stopped run no longer needs, so that a take still waiting returns now.
  /// It may outlive the take (a later start discards it); a full queue needs no waking.
  static void wake(host::Borrowed self);

 private:
  host::Ref take_;
  Errors errors_;
};

}  // namespace talvo::frame_queue
