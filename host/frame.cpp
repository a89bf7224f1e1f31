#include "host/frame.hpp"

#include "host/log.hpp"
#include "host/names.hpp"

namespace host {

namespace {
Name n_throw{"throw"};
Name n_close{"close"};
Name n_gi_code{"gi_code"};

// The result of a finished `throw()` call on a delegate: a yielded value, or the return value
// carried by `StopIteration`, or an error.
PySendResult send_result_of_call(PyObject* res, PyObject** out) {
  if (res != nullptr) {
    *out = res;
    return PYGEN_NEXT;
  }
  if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* result = value ? PyObject_GetAttrString(value, "value") : Py_NewRef(Py_None);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (result == nullptr) return PYGEN_ERROR;
    *out = result;
    return PYGEN_RETURN;
  }
  return PYGEN_ERROR;
}

// The frame counts as running while its delegate runs, as a native frame does: a delegate that
// calls back into its owner must get "already executing", not a second entry into the frame.
class RunningGuard {
 public:
  explicit RunningGuard(bool& running) noexcept : running_(running) { running_ = true; }
  ~RunningGuard() { running_ = false; }
  RunningGuard(const RunningGuard&) = delete;
  RunningGuard& operator=(const RunningGuard&) = delete;

 private:
  bool& running_;
};
}  // namespace

Ref awaitable_iterator(Borrowed awaitable) {
  PyObject* o = awaitable.get();
  if (PyCoro_CheckExact(o)) return Ref::borrow(o);
  if (PyGen_CheckExact(o)) {
    // A generator marked by types.coroutine may be awaited directly.
    Ref code = getattr(awaitable, n_gi_code);
    if (reinterpret_cast<PyCodeObject*>(code.get())->co_flags & CO_ITERABLE_COROUTINE) {
      return Ref::borrow(o);
    }
  }
  PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
  if (am == nullptr || am->am_await == nullptr) {
    raise_format(PyExc_TypeError, HOST_COMPAT_NOT_AWAITABLE, Py_TYPE(o)->tp_name);
  }
  Ref it = Ref::steal(am->am_await(o));
  if (PyCoro_CheckExact(it.get())) {
    raise(PyExc_TypeError, "__await__() returned a coroutine");
  }
  if (!PyIter_Check(it.get())) {
    raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(it.get())->tp_name);
  }
  return it;
}

// ---- awaiting --------------------------------------------------------------------------------

bool PyAwaiter::start(PromiseBase& promise) {
  promise_ = &promise;
  try {
    Ref it = awaitable_iterator(awaitable_.view());
    awaitable_.reset();
    PyObject* out = nullptr;
    switch (PyIter_Send(it.get(), Py_None, &out)) {
      case PYGEN_NEXT:
        promise.delegate = std::move(it);
        promise.outgoing = Ref::steal_or_null(out);
        return true;  // suspend: the driver passes `outgoing` up
      case PYGEN_RETURN:
        it.reset();
        promise.incoming = Ref::steal_or_null(out);
        return false;  // finished at once: resume without suspending
      case PYGEN_ERROR:
        it.reset();
        promise.incoming_error.emplace();
        return false;
    }
  } catch (PyError& e) {
    promise.incoming_error.emplace(std::move(e));
  }
  return false;
}

Ref PyAwaiter::await_resume() {
  raise_incoming(*promise_);
  return std::move(promise_->incoming);
}

void raise_incoming(PromiseBase& promise) {
  if (promise.incoming_error) {
    PyError e = std::move(*promise.incoming_error);
    promise.incoming_error.reset();
    throw e;
  }
}

// ---- promise ---------------------------------------------------------------------------------

namespace {
// Freed frames by size class, reused last in, first out. A frame is usually freed just before
// the next one of its kind is made; handing that block back to the small-object allocator each
// time empties and refills its pool on every await, which costs more than the await itself.
constexpr std::size_t kGranule = 16;
constexpr std::size_t kClasses = 32;  // frames up to 512 bytes
constexpr std::size_t kKeptPerClass = 8;
struct FreeFrames {
  void* blocks[kKeptPerClass];
  std::size_t count;
};
FreeFrames g_free_frames[kClasses];  // guarded by the GIL
}  // namespace

void* PromiseBase::operator new(std::size_t size) {
  const std::size_t c = (size - 1) / kGranule;
  if (c < kClasses && g_free_frames[c].count > 0) {
    return g_free_frames[c].blocks[--g_free_frames[c].count];
  }
  void* p = PyObject_Malloc(c < kClasses ? (c + 1) * kGranule : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void PromiseBase::operator delete(void* p, std::size_t size) noexcept {
  const std::size_t c = (size - 1) / kGranule;
  if (c < kClasses && g_free_frames[c].count < kKeptPerClass) {
    g_free_frames[c].blocks[g_free_frames[c].count++] = p;
    return;
  }
  PyObject_Free(p);
}

void PromiseBase::unhandled_exception() {
  // Kept without rethrowing it (a rethrow costs as much as the throw). A forced unwind (or any
  // exception that is not C++'s) yields no exception_ptr and must go on unwinding.
  failure = std::current_exception();
  if (!failure) throw;
}

int PromiseBase::traverse(visitproc visit, void* arg) {
  Py_VISIT(delegate.get());
  Py_VISIT(outgoing.get());
  Py_VISIT(incoming.get());
  Py_VISIT(result.get());
  if (incoming_error) Py_VISIT(incoming_error->value().get());
  return 0;
}

void PromiseBase::clear() {
  delegate.reset();
  outgoing.reset();
  incoming.reset();
  result.reset();
  if (incoming_error) {
    // Released here, not inside std::optional's noexcept reset.
    Ref error = incoming_error->take();
    incoming_error.reset();
  }
}

// ---- driver ----------------------------------------------------------------------------------

void Frame::destroy() {
  if (!handle_) return;
  promise_->clear();
  // Destroying the locals may run Python code that reaches this frame: it must look done then.
  std::coroutine_handle<> handle = std::exchange(handle_, nullptr);
  promise_ = nullptr;
  handle.destroy();
}

Step Frame::send(Borrowed value, Ref& out) {
  RunningGuard running(running_);
  if (promise_->delegate) {
    PyObject* res = nullptr;
    PySendResult r = PyIter_Send(promise_->delegate.get(), value.get(), &res);
    if (r == PYGEN_NEXT) {
      out = Ref::steal_or_null(res);
      return Step::yielded;
    }
    promise_->delegate.reset();
    if (r == PYGEN_RETURN) {
      promise_->incoming = Ref::steal_or_null(res);
    } else {
      promise_->incoming_error.emplace();
    }
  }
  // With nothing delegated, a sent value resumes the frame and is otherwise ignored.
  return resume(out);
}

Step Frame::throw_into(PyError error, Ref& out) {
  RunningGuard running(running_);
  if (promise_->delegate) {
    Ref it = std::move(promise_->delegate);
    if (error.matches(PyExc_GeneratorExit)) {
      // As `yield from`: close the delegate, then raise GeneratorExit here (or what close raised).
      PyObject* close = PyObject_GetAttr(it.get(), n_close.get());
      if (close == nullptr) {
        PyErr_Clear();
      } else {
        PyObject* r = PyObject_CallNoArgs(close);
        Py_DECREF(close);
        if (r == nullptr) {
          error = PyError();
        } else {
          Py_DECREF(r);
        }
      }
      promise_->incoming_error.emplace(std::move(error));
    } else {
      PyObject* meth = PyObject_GetAttr(it.get(), n_throw.get());
      if (meth == nullptr) {
        PyErr_Clear();
        promise_->incoming_error.emplace(std::move(error));
      } else {
        PyObject* res = PyObject_CallOneArg(meth, error.value().get());
        Py_DECREF(meth);
        PyObject* value = nullptr;
        switch (send_result_of_call(res, &value)) {
          case PYGEN_NEXT:
            promise_->delegate = std::move(it);
            out = Ref::steal_or_null(value);
            return Step::yielded;
          case PYGEN_RETURN:
            promise_->incoming = Ref::steal_or_null(value);
            break;
          case PYGEN_ERROR:
            promise_->incoming_error.emplace();
            break;
        }
      }
    }
  } else {
    promise_->incoming_error.emplace(std::move(error));
  }
  return resume(out);
}

Step Frame::resume(Ref& out) {
  {
    log::OperationScope scope(name_);
    handle_.resume();
  }
  if (handle_.done()) {
    if (promise_->failure) {
      std::exception_ptr failure = std::exchange(promise_->failure, nullptr);
      try {
        std::rethrow_exception(failure);
      } catch (PyError& e) {
        e.restore();
      } catch (...) {
        set_error_from_current_exception();
      }
      return Step::failed;
    }
    out = std::move(promise_->result);
    if (!out) out = Ref::none();
    return Step::returned;
  }
  out = std::move(promise_->outgoing);
  if (promise_->emitted) {
    promise_->emitted = false;
    return Step::emitted;
  }
  return Step::yielded;
}

}  // namespace host
