// The frame queue as the producer, the stream and the lifecycle use it: a `queue.Queue` shared
// between the producer thread and the event loop, plus the `queue` module's two errors.
#pragma once

#include "host/names.hpp"

namespace talvo {

/// `queue.Empty` and `queue.Full`, looked up through the module's `queue` global.
struct QueueErrors {
  host::Ref empty;
  host::Ref full;
  static QueueErrors lookup();
};

/// Takes every item that is queued right now and drops it; never waits. A take that finds the
/// queue emptied by another consumer in the meantime ends the drain quietly.
void drain(host::Borrowed frame_queue, const QueueErrors& errors);

}  // namespace talvo
