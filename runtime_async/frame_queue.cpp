#include "runtime_async/frame_queue.hpp"

#include "runtime_async/contracts/event_loop.hpp"
#include "runtime_async/state.hpp"

namespace talvo::frame_queue {

namespace {
host::Name n_empty_error{"Empty"};
host::Name n_full_error{"Full"};
host::Name n_queue_class{"Queue"};
host::Name n_empty{"empty"};
host::Name n_get{"get"};
host::Name n_get_nowait{"get_nowait"};
host::Name n_put{"put"};
host::Name n_put_nowait{"put_nowait"};
host::Name n_partial{"partial"};
host::KwNames kw_timeout("timeout");
host::Name n_executor_mode{"executor"};
host::Name n_loop_mode{"loop"};

constexpr int kEndMarkerAttempts = 10;
constexpr double kPutTimeout = 0.5;
constexpr double kTakeTimeout = 1.0;

host::Ref queue_of(host::Borrowed self) { return host::getattr(self, names::frame_queue); }
}  // namespace

Errors Errors::lookup() {
  host::Ref queue = host::global(names::g_queue);
  return Errors{host::getattr(queue.view(), n_empty_error),
                host::getattr(queue.view(), n_full_error)};
}

host::Ref checked_wait(host::Borrowed frame_wait) {
  if (!PyUnicode_Check(frame_wait.get())) {
    host::Ref type_name = host::Ref::steal(PyType_GetName(Py_TYPE(frame_wait.get())));
    host::raise_format(PyExc_TypeError, "frame_wait must be a str, not %U", type_name.get());
  }
  for (host::Name* mode : {&n_executor_mode, &n_loop_mode}) {
    if (PyUnicode_Compare(frame_wait.get(), mode->get()) == 0) return host::Ref::borrow(mode->get());
    if (PyErr_Occurred()) host::throw_python_error();
  }
  host::raise_format(PyExc_ValueError, "frame_wait must be \"executor\" or \"loop\", not %R",
                     frame_wait.get());
}

Wait wait_of(host::Borrowed self) {
  host::Ref mode = host::getattr(self, names::frame_wait);
  return mode.is(host::Borrowed(n_loop_mode.get())) ||
                 (PyUnicode_Check(mode.get()) &&
                  PyUnicode_Compare(mode.get(), n_loop_mode.get()) == 0)
             ? Wait::loop
             : Wait::executor;
}

void create(host::Borrowed self, host::Borrowed maxsize) {
  host::Ref queue = host::global(names::g_queue);
  host::Ref frame_queue = host::call_method(queue.view(), n_queue_class, {maxsize});
  host::setattr(self, names::frame_queue, frame_queue.view());
}

void drain(host::Borrowed self) {
  host::Ref frame_queue = queue_of(self);
  const Errors errors = Errors::lookup();
  while (!host::truthy(host::call_method(frame_queue.view(), n_empty).view())) {
    try {
      host::call_method(frame_queue.view(), n_get_nowait);
    } catch (host::PyError& e) {
      if (!e.matches(errors.empty.view())) throw;
      return;
    }
  }
}

// ---- the producer's side ----------------------------------------------------------------------

ProducerSide::ProducerSide(host::Borrowed self)
    : queue_(queue_of(self)),
      put_(host::getattr(queue_.view(), n_put)),
      half_second_(host::float_(kPutTimeout)),
      errors_(Errors::lookup()) {}

host::Ref ProducerSide::empty_test() const { return host::getattr(queue_.view(), n_empty); }

bool ProducerSide::try_put(host::Borrowed item) const {
  try {
    host::call_kw(put_.view(), {item, half_second_.view()}, kw_timeout);
    return true;
  } catch (host::PyError& e) {
    if (!e.matches(errors_.full.view())) throw;
    return false;
  }
}

void ProducerSide::put_waiting(host::Borrowed item) const { host::call(put_.view(), {item}); }

void ProducerSide::put_end_marker(host::Borrowed error_item) const {
  host::Ref marker = host::global(names::g_stream_end);
  for (int attempt = 0; attempt < kEndMarkerAttempts; ++attempt) {
    try {
      if (try_put(marker.view())) return;
    } catch (host::PyError& e) {
      if (e.matches(PyExc_Exception)) return;
      throw;
    }
    try {
      host::Ref oldest = host::call_method(queue_.view(), n_get_nowait);
      if (error_item && oldest.is(error_item)) {
        host::call_method(queue_.view(), n_put_nowait, {oldest.view()});
        return;
      }
    } catch (host::PyError& e) {
      if (!e.matches(errors_.empty.view())) throw;
    }
  }
}

// ---- the stream's takes -----------------------------------------------------------------------

host::Ref take_now(host::Borrowed self) {
  host::Ref frame_queue = queue_of(self);
  try {
    return host::call_method(frame_queue.view(), n_get_nowait);
  } catch (host::PyError& e) {
    if (!e.matches(Errors::lookup().empty.view())) throw;
    return host::Ref();
  }
}

ExecutorTake::ExecutorTake(host::Borrowed self) : errors_(Errors::lookup()) {
  // take() == frame_queue.get(timeout=1.0), run on an executor worker
  host::Ref functools = host::import("functools");
  host::Ref partial = host::getattr(functools.view(), n_partial);
  host::Ref frame_queue = queue_of(self);
  host::Ref get = host::getattr(frame_queue.view(), n_get);
  host::Ref timeout = host::float_(kTakeTimeout);
  take_ = host::call_kw(partial.view(), {get.view(), timeout.view()}, kw_timeout);
}

host::Ref ExecutorTake::submit(host::Borrowed loop) const {
  return talvo::loop::run_in_executor(loop, take_.view());
}

void ExecutorTake::wake(host::Borrowed self) {
  host::Ref frame_queue = queue_of(self);
  host::Ref marker = host::global(names::g_stream_end);
  try {
    host::call_method(frame_queue.view(), n_put_nowait, {marker.view()});
  } catch (host::PyError& e) {
    if (!e.matches(Errors::lookup().full.view())) throw;
  }
}

}  // namespace talvo::frame_queue
