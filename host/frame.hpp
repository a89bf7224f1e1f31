// C++20 coroutine frames driven the way CPython drives a generator frame.
//
// An operation is written as a C++20 coroutine returning `host::Task` (a coroutine) or
// `host::Stream` (an async generator). `co_await` on a `Ref` delegates to that awaitable's
// iterator exactly as `yield from` does: the iterator's first step runs at once; what it yields
// (an asyncio future) passes up to whoever drives us, unchanged; `send` / `throw` / `close` pass
// down to it; its result, or its error as `PyError`, comes back at the `co_await`. `co_yield` in a
// `Stream` hands a value to the pending `__anext__`. The Python-facing objects (coroutine.cpp,
// async_generator.cpp) own the frame and implement the protocols on top of `Frame::send` and
// `Frame::throw_into`.
//
// Every Python reference the driver holds for a suspended frame lives in the promise, where the
// owning object's `tp_traverse` can see it. C++ locals of the frame are invisible to the garbage
// collector: that can only keep objects alive longer, never free them early.
#pragma once

#include <Python.h>

#include <coroutine>
#include <exception>
#include <new>
#include <optional>
#include <utility>

#include "host/error.hpp"
#include "host/refs.hpp"

namespace host {

/// The bound arguments of an operation, the instance (or class) first. Borrowed from the object
/// that owns the frame, which keeps them alive at least as long as the frame.
struct Args {
  PyObject* const* items = nullptr;
  Py_ssize_t size = 0;
  Borrowed operator[](Py_ssize_t i) const noexcept { return Borrowed(items[i]); }
};

/// How a step of the frame ended.
enum class Step {
  yielded,   ///< a delegated awaitable yielded a value (a future) for the driver
  emitted,   ///< the stream produced an item with `co_yield`
  returned,  ///< the frame finished normally; the value is its result
  failed,    ///< the frame finished with an error, now set on the thread state
};

class PromiseBase;

/// Awaits a Python awaitable from a frame, as `yield from awaitable.__await__()`.
class PyAwaiter {
 public:
  explicit PyAwaiter(Ref awaitable) noexcept : awaitable_(std::move(awaitable)) {}
  bool await_ready() const noexcept { return false; }
  template <typename Promise>
  bool await_suspend(std::coroutine_handle<Promise> h) {
    return start(static_cast<PromiseBase&>(h.promise()));
  }
  Ref await_resume();

 private:
  bool start(PromiseBase& promise);
  Ref awaitable_;
  PromiseBase* promise_ = nullptr;
};

/// What the driver and the awaiters of one frame share.
class PromiseBase {
 public:
  // Frames are small, short-lived, and made and freed with the GIL held: they come from a cache
  // of freed frames, then from the interpreter's small-object allocator (frame.cpp).
  static void* operator new(std::size_t size);
  static void operator delete(void* p, std::size_t size) noexcept;

  std::suspend_always initial_suspend() noexcept { return {}; }
  std::suspend_always final_suspend() noexcept { return {}; }
  void unhandled_exception();
  /// `co_await` takes a named `Ref`: build the awaitable in a statement of its own and
  /// `co_await std::move(it)`. g++ 12 rejects a braced argument list inside a co_await
  /// expression (and cannot keep one alive across the suspension), so a call such as
  /// `co_await call(f, {x})` does not compile there.
  PyAwaiter await_transform(Ref awaitable) noexcept { return PyAwaiter(std::move(awaitable)); }

  Ref delegate;                           ///< the iterator a `co_await` delegates to
  Ref outgoing;                           ///< what the frame hands up: a yielded future or an item
  Ref incoming;                           ///< the delegate's result, for `await_resume`
  std::optional<PyError> incoming_error;  ///< raised at the suspension point on resume
  Ref result;                             ///< the frame's return value
  std::exception_ptr failure;             ///< what escaped the frame
  bool emitted = false;                   ///< the last suspension was a `co_yield`

  int traverse(visitproc visit, void* arg);
  void clear();
};

/// Raises the pending `incoming_error`, if any, at the point where the frame resumes.
void raise_incoming(PromiseBase& promise);

/// Return type of an operation that is a coroutine.
class Task {
 public:
  class promise_type : public PromiseBase {
   public:
    Task get_return_object() noexcept {
      return Task(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    void return_value(Ref value) noexcept { result = std::move(value); }
  };
  explicit Task(std::coroutine_handle<promise_type> h) noexcept : handle(h) {}
  std::coroutine_handle<promise_type> handle;
};

/// Return type of an operation that is an async generator.
class Stream {
 public:
  class promise_type : public PromiseBase {
   public:
    Stream get_return_object() noexcept {
      return Stream(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    void return_void() noexcept { result = Ref::none(); }
    struct YieldAwaiter {
      PromiseBase* promise;
      bool await_ready() const noexcept { return false; }
      void await_suspend(std::coroutine_handle<>) const noexcept {}
      void await_resume() const { raise_incoming(*promise); }  // athrow / aclose land here
    };
    YieldAwaiter yield_value(Ref item) noexcept {
      outgoing = std::move(item);
      emitted = true;
      return YieldAwaiter{this};
    }
  };
  explicit Stream(std::coroutine_handle<promise_type> h) noexcept : handle(h) {}
  std::coroutine_handle<promise_type> handle;
};

/// Owns one C++ coroutine frame and advances it. Not a Python object itself.
class Frame {
 public:
  Frame() noexcept = default;
  Frame(std::coroutine_handle<> h, PromiseBase* p) noexcept : handle_(h), promise_(p) {}
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;
  ~Frame() noexcept(false) { destroy(); }
  /// Takes ownership of a new, not yet started frame.
  void adopt(std::coroutine_handle<> h, PromiseBase* p) noexcept {
    destroy();
    handle_ = h;
    promise_ = p;
  }

  /// Resumes with `value` sent to the delegate (or to the frame). `out` receives the value of a
  /// `yielded`, `emitted` or `returned` step.
  Step send(Borrowed value, Ref& out);
  /// Resumes with `error` thrown into the delegate, or raised at the suspension point when
  /// nothing is delegated. `GeneratorExit` closes the delegate first, as `yield from` does.
  Step throw_into(PyError error, Ref& out);

  /// Names the operation the frame runs (borrowed; the owning object keeps it), so that log
  /// lines written while its body runs are credited to it.
  void set_operation_name(PyObject* name) noexcept { name_ = name; }
  bool done() const noexcept { return !handle_ || handle_.done(); }
  bool running() const noexcept { return running_; }
  /// Borrowed: the iterator currently delegated to, or NULL.
  PyObject* awaiting() const noexcept { return promise_ ? promise_->delegate.get() : nullptr; }
  /// Frees the frame and the references its locals hold. Needs the GIL. Not `noexcept`: a
  /// released reference may meet a forced unwind (refs.hpp).
  void destroy();
  int traverse(visitproc visit, void* arg) { return promise_ ? promise_->traverse(visit, arg) : 0; }

 private:
  Step resume(Ref& out);
  std::coroutine_handle<> handle_;
  PromiseBase* promise_ = nullptr;
  PyObject* name_ = nullptr;
  bool running_ = false;
};

/// The iterator of an awaitable, as `await` obtains it: new reference.
Ref awaitable_iterator(Borrowed awaitable);

}  // namespace host
