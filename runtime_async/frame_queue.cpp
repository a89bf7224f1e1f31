#include "runtime_async/frame_queue.hpp"

#include "runtime_async/state.hpp"

namespace talvo {

namespace {
host::Name n_empty_error{"Empty"};
host::Name n_full_error{"Full"};
host::Name n_empty{"empty"};
host::Name n_get_nowait{"get_nowait"};
}  // namespace

QueueErrors QueueErrors::lookup() {
  host::Ref queue = host::global(names::g_queue);
  return QueueErrors{host::getattr(queue.view(), n_empty_error),
                     host::getattr(queue.view(), n_full_error)};
}

void drain(host::Borrowed frame_queue, const QueueErrors& errors) {
  while (!host::truthy(host::call_method(frame_queue, n_empty).view())) {
    try {
      host::call_method(frame_queue, n_get_nowait);
    } catch (host::PyError& e) {
      if (!e.matches(errors.empty.view())) throw;
      return;
    }
  }
}

}  // namespace talvo
