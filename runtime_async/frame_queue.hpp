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
/// The list of loop-mode waiters the producer wakes (`_frame_waiters`, see LoopWait), empty.
void create_waiters(host::Borrowed self);

/// Takes every item that is queued right now and drops it; never waits. A take that finds the
/// queue emptied by another consumer in the meantime ends the drain quietly.
void drain(host::Borrowed self);

/// Removes from the queue every item listed in `table` (an identity table, see host/objects.hpp)
/// and unlists it; the other items stay in their places. Producers waiting for room are woken. A
/// queue that is not a `queue.Queue` is left as it is.
void purge(host::Borrowed self, host::Borrowed table);

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
  /// The thread body is ending: wakes every loop-mode waiter (streams, and a `stop`).
  void ended() const;

 private:
  void wake(host::Borrowed why) const;
  host::Ref queue_, put_, half_second_, waiters_;
  Errors errors_;
};

/// An item that is queued right now, or null: new reference. Never waits.
host::Ref take_now(host::Borrowed self);
host::Ref take_now(host::Borrowed self, const Errors& errors);

/// The default mode's take: `get(timeout=1.0)` on a worker of the loop's default executor.
///
/// A cancellation cannot stop a worker, and a take left running would hand the next run's first
/// item to nobody. So a stream that is cancelled lets go of its take: one not yet started never
/// touches the queue, and one waiting in `get` is woken with a marker and awaited to its end
/// before the cancellation leaves. The executor's future is awaited directly (a shield would
/// cost a future and a loop turn on every take): it is cancelled with the task, the take is not.
class ExecutorTake {
 public:
  struct State;

  explicit ExecutorTake(host::Borrowed self);
  /// The awaitable of one take on `loop`'s default executor.
  host::Ref submit(host::Borrowed loop) const;
  /// True when the take failed only because nothing came within its second (`queue.Empty`).
  bool timed_out(const host::PyError& error) const { return error.matches(errors_.empty.view()); }
  /// After a cancellation: no take that has not started yet will touch the queue.
  void abandon();
  /// Wakes a take still waiting in `get` with a marker the stopped run no longer needs (a later
  /// start discards it if it outlives the take): the awaitable of that take's end, or null when
  /// none is running.
  host::Ref let_go(host::Borrowed self, host::Borrowed loop);

 private:
  host::Ref take_;
  State* state_;  // owned by take_
  Errors errors_;
};

/// Loop mode: one wait on the event loop for the producer's next wake-up, or a time-out.
///
/// The waiter registers a future in `_frame_waiters`; after each successful put, and when its
/// body ends, the producer takes every registered future and resolves it on its own loop
/// (`call_soon_threadsafe`). An empty list costs the producer nothing. No wake-up is lost: the
/// waiter registers first and only then looks at the queue (or the thread) again, so a put it
/// did not see finds it registered. Both sides run these steps holding the GIL.
class LoopWait {
 public:
  enum class Woken { item, time_out, producer_end, none };

  LoopWait(host::Borrowed self, host::Borrowed loop);
  /// Registers a new future, resolved by the producer or after `timeout` seconds: the awaitable.
  /// Look at the queue or the thread after this, before awaiting it.
  host::Ref arm(double timeout);
  /// Unregisters and cancels the timer, after the await or instead of it; says what woke it.
  Woken settle();

 private:
  host::Ref waiters_, loop_, future_, timer_;
};

}  // namespace talvo::frame_queue
