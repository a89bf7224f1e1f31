#include "runtime_async/frame_queue.hpp"

#include <memory>

#include "host/function.hpp"
#include "host/objects.hpp"
#include "runtime_async/contracts/event_loop.hpp"
#include "runtime_async/state.hpp"

namespace talvo::frame_queue {

namespace {
host::Name n_empty_error{"Empty"};
host::Name n_full_error{"Full"};
host::Name n_queue_class{"Queue"};
host::Name n_empty{"empty"};
host::Name n_get_nowait{"get_nowait"};
host::Name n_put{"put"};
host::Name n_put_nowait{"put_nowait"};
host::KwNames kw_timeout("timeout");
host::Name n_executor_mode{"executor"};
host::Name n_loop_mode{"loop"};
host::Name n_waiters{"_frame_waiters"};
host::Name n_cancelled{"cancelled"};
host::Name n_result{"result"};
host::Name n_mutex{"mutex"};
host::Name n_items{"queue"};
host::Name n_not_full{"not_full"};
host::Name n_acquire{"acquire"};
host::Name n_release{"release"};
host::Name n_extend{"extend"};
host::Name n_notify_all{"notify_all"};

constexpr int kEndMarkerAttempts = 10;
constexpr double kPutTimeout = 0.5;
constexpr double kTakeTimeout = 1.0;

host::Ref queue_of(host::Borrowed self) {
  return host::getattr(self, names::frame_queue);
}
}  // namespace

Errors Errors::lookup() {
  host::Ref queue = host::global(names::g_queue);
  return Errors{host::getattr(queue.view(), n_empty_error),
                host::getattr(queue.view(), n_full_error)};
}

host::Ref checked_wait(host::Borrowed frame_wait) {
  if (!host::is_str(frame_wait)) host::raise_wrong_type("frame_wait must be a str", frame_wait);
  for (host::Name* mode : {&n_executor_mode, &n_loop_mode}) {
    host::Borrowed name(mode->get());
    if (host::same_text(frame_wait, name)) return host::Ref::borrow(name);
  }
  host::raise(
      host::exc::ValueError(),
      host::format("frame_wait must be \"executor\" or \"loop\", not %R", frame_wait.get()).view());
}

Wait wait_of(host::Borrowed self) {
  host::Ref mode = host::getattr(self, names::frame_wait);
  host::Borrowed loop_mode(n_loop_mode.get());
  return mode.is(loop_mode) ||
                 (host::is_str(mode.view()) && host::same_text(mode.view(), loop_mode))
             ? Wait::loop
             : Wait::executor;
}

void create(host::Borrowed self, host::Borrowed maxsize) {
  host::Ref queue = host::global(names::g_queue);
  host::Ref frame_queue = host::call_method(queue.view(), n_queue_class, {maxsize});
  host::setattr(self, names::frame_queue, frame_queue.view());
}

void create_waiters(host::Borrowed self) {
  host::Ref waiters = host::list();
  host::setattr(self, n_waiters, waiters.view());
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

void purge(host::Borrowed self, host::Borrowed table) {
  if (host::length(table) == 0) return;
  host::Ref frame_queue = queue_of(self);
  host::Ref mutex = host::getattr_optional(frame_queue.view(), n_mutex);
  host::Ref items = host::getattr_optional(frame_queue.view(), n_items);
  host::Ref not_full = host::getattr_optional(frame_queue.view(), n_not_full);
  if (!mutex || !items || !not_full) return;  // the streams drop those items as they come
  // Held only by the queue's own short steps (a put or get between its waits).
  host::call_method(mutex.view(), n_acquire);
  try {
    host::Ref kept = host::list();
    bool removed = false;
    host::Ref it = host::iter(items.view());
    while (host::Ref item = host::next(it.view())) {
      if (host::table_discard(table, item.view())) {
        removed = true;
      } else {
        host::list_append(kept.view(), item.view());
      }
    }
    if (removed) {
      host::call_method(items.view(), names::clear);
      host::call_method(items.view(), n_extend, {kept.view()});
      host::call_method(not_full.view(), n_notify_all);
    }
  } catch (host::PyError&) {
    host::call_method(mutex.view(), n_release);
    throw;
  }
  host::call_method(mutex.view(), n_release);
}

// ---- the producer's side ----------------------------------------------------------------------

ProducerSide::ProducerSide(host::Borrowed self)
    : queue_(queue_of(self)),
      put_(host::getattr(queue_.view(), n_put)),
      half_second_(host::float_(kPutTimeout)),
      waiters_(host::getattr(self, n_waiters)),
      errors_(Errors::lookup()) {
  if (!host::is_list(waiters_.view())) {
    host::raise(host::exc::TypeError(), "_frame_waiters must be a list");
  }
}

namespace {
// What woke a loop-mode waiter: its future's result.
host::Borrowed why_item() {
  return host::none();
}
host::Borrowed why_time_out() {
  return host::boolean(true);
}
host::Borrowed why_producer_end() {
  return host::boolean(false);
}
}  // namespace

void ProducerSide::wake(host::Borrowed why) const {
  if (host::list_size(waiters_.view()) == 0) return;  // nobody waits: no call at all
  // Take the whole list at once (no Python code runs between the copy and the clearing).
  host::Ref woken = host::list_take_all(waiters_.view());
  for (std::size_t i = 0; i < host::list_size(woken.view()); ++i) {
    // A waiter whose loop is closed is gone with it.
    talvo::loop::resolve_threadsafe(host::list_item(woken.view(), i), why);
  }
}

void ProducerSide::ended() const {
  wake(why_producer_end());
}

host::Ref ProducerSide::empty_test() const {
  return host::getattr(queue_.view(), n_empty);
}

bool ProducerSide::try_put(host::Borrowed item) const {
  try {
    host::call_kw(put_.view(), {item, half_second_.view()}, kw_timeout);
  } catch (host::PyError& e) {
    if (!e.matches(errors_.full.view())) throw;
    return false;
  }
  wake(why_item());
  return true;
}

void ProducerSide::put_waiting(host::Borrowed item) const {
  host::call(put_.view(), {item});
  wake(why_item());
}

void ProducerSide::put_end_marker(host::Borrowed error_item) const {
  host::Ref marker = host::global(names::g_stream_end);
  for (int attempt = 0; attempt < kEndMarkerAttempts; ++attempt) {
    try {
      if (try_put(marker.view())) return;
    } catch (host::PyError& e) {
      if (e.matches(host::exc::Exception())) return;
      throw;
    }
    try {
      host::Ref oldest = host::call_method(queue_.view(), n_get_nowait);
      if (error_item && oldest.is(error_item)) {
        host::call_method(queue_.view(), n_put_nowait, {oldest.view()});
        wake(why_item());
        return;
      }
    } catch (host::PyError& e) {
      if (!e.matches(errors_.empty.view())) throw;
    }
  }
}

// ---- the stream's takes -----------------------------------------------------------------------

host::Ref take_now(host::Borrowed self, const Errors& errors) {
  host::Ref frame_queue = queue_of(self);
  // An empty queue is the common answer in loop mode: told apart without a C++ throw, which
  // costs more than the take.
  return host::call_method_unless(frame_queue.view(), n_get_nowait, errors.empty.view());
}

host::Ref take_now(host::Borrowed self) {
  return take_now(self, Errors::lookup());
}

// What the stream and its takes on executor workers share; touched only with the GIL held, so
// "is a take running" and "who is told when it ends" cannot pass each other.
struct ExecutorTake::State {
  host::Ref get, timeout, ended;
  host::Ref empty_error;
  bool abandoned = false;
  bool active = false;

  void finish() {
    active = false;
    if (host::Ref future = std::move(ended)) {
      talvo::loop::resolve_threadsafe(future.view(), host::none());
    }
  }

  // One take, on an executor worker: `get(timeout=1.0)`, unless the stream has let go of it.
  host::Ref take() {
    if (abandoned) throw host::PyError(host::call(empty_error.view()).view());
    active = true;
    host::Ref item;
    try {
      item = host::call_kw(get.view(), {timeout.view()}, kw_timeout);
    } catch (host::PyError&) {
      finish();
      throw;
    }
    finish();
    return item;
  }
};

ExecutorTake::ExecutorTake(host::Borrowed self) : errors_(Errors::lookup()) {
  auto state = std::make_unique<State>();
  host::Ref frame_queue = queue_of(self);
  state->get = host::getattr(frame_queue.view(), names::get);
  state->timeout = host::float_(kTakeTimeout);
  state->empty_error = errors_.empty;
  state_ = state.get();  // the function owns it; freed with the GIL when the last take goes
  take_ = host::function("take", [state = std::move(state)] { return state->take(); });
}

host::Ref ExecutorTake::submit(host::Borrowed loop) const {
  return talvo::loop::run_in_executor(loop, take_.view());
}

void ExecutorTake::abandon() {
  state_->abandoned = true;
}

host::Ref ExecutorTake::let_go(host::Borrowed self, host::Borrowed loop) {
  state_->abandoned = true;
  if (!state_->active) return host::Ref();
  host::Ref ended = talvo::loop::create_future(loop);
  state_->ended = ended;
  host::Ref frame_queue = queue_of(self);
  host::Ref marker = host::global(names::g_stream_end);
  try {
    host::call_method(frame_queue.view(), n_put_nowait, {marker.view()});
  } catch (host::PyError& e) {
    if (!e.matches(errors_.full.view())) throw;  // a full queue ends the take's wait anyway
  }
  return ended;
}

// ---- loop mode's wait ------------------------------------------------------------------------

LoopWait::LoopWait(host::Borrowed self, host::Borrowed loop)
    : waiters_(host::getattr(self, n_waiters)), loop_(host::Ref::borrow(loop)) {
  if (!host::is_list(waiters_.view())) {
    host::raise(host::exc::TypeError(), "_frame_waiters must be a list");
  }
}

host::Ref LoopWait::arm(double timeout) {
  future_ = talvo::loop::create_future(loop_.view());
  timer_ = talvo::loop::resolve_later(loop_.view(), timeout, future_.view(), why_time_out());
  host::list_append(waiters_.view(), future_.view());
  return future_;
}

LoopWait::Woken LoopWait::settle() {
  if (!future_) return Woken::none;
  host::Ref future = std::move(future_);
  host::Ref timer = std::move(timer_);
  talvo::loop::cancel(timer.view());
  // Still listed unless the producer took it to wake it: searched from the end, where it went.
  host::list_remove_last(waiters_.view(), future.view());
  if (!host::truthy(host::call_method(future.view(), names::done).view()) ||
      host::truthy(host::call_method(future.view(), n_cancelled).view())) {
    return Woken::none;
  }
  host::Ref why = host::call_method(future.view(), n_result);
  if (why.is(why_time_out())) return Woken::time_out;
  if (why.is(why_producer_end())) return Woken::producer_end;
  return Woken::item;
}

}  // namespace talvo::frame_queue
