// The async-generator object and the awaitables its `asend`, `athrow` and `aclose` return,
// behaving as native async generators do (Objects/genobject.c), over a C++ frame.
//
// Between requests the frame rests at a `co_yield`. An awaitable of a request drives the frame
// until it emits an item (the request completes with it), finishes (StopAsyncIteration) or fails;
// futures the frame awaits on the way pass up to the task. The asyncgen hooks make
// `loop.shutdown_asyncgens()` and the loop's finalizer see us like any async generator.
#include "host/compat.hpp"
#include "host/coroutine.hpp"
#include "host/heap_type.hpp"
#include "host/names.hpp"

namespace host {

namespace {

PyTypeObject* g_generator_type = nullptr;
PyTypeObject* g_request_type = nullptr;

struct GeneratorObject {
  FrameObject base;     // first: a GeneratorObject* is a FrameObject* and a PyObject*
  PyObject* finalizer;  // owned, from sys.get_asyncgen_hooks() at first use
  bool hooks_inited;
  bool closed;         // aclose() began, or the frame finished: no more items
  bool running_async;  // a request is in flight
};

enum class Mode { send, throw_, close };
enum class State { init, iter, done };

struct RequestObject {
  PyObject_HEAD GeneratorObject* gen;  // owned
  PyObject* value;  // owned: the value to send, or athrow's argument tuple (NULL for close)
  Mode mode;
  State state;
};

GeneratorObject* as_gen(PyObject* o) {
  return reinterpret_cast<GeneratorObject*>(o);
}
RequestObject* as_req(PyObject* o) {
  return reinterpret_cast<RequestObject*>(o);
}

void init_hooks(GeneratorObject* self) {
  if (self->hooks_inited) return;
  self->hooks_inited = true;
  PyObject* get_hooks = PySys_GetObject("get_asyncgen_hooks");  // borrowed
  if (get_hooks == nullptr) return;
  Ref hooks = Ref::steal(PyObject_CallNoArgs(get_hooks));
  Ref firstiter = Ref::steal(PySequence_GetItem(hooks.get(), 0));
  Ref finalizer = Ref::steal(PySequence_GetItem(hooks.get(), 1));
  if (!finalizer.is_none()) self->finalizer = finalizer.release();
  if (!firstiter.is_none()) call(firstiter.view(), {Borrowed(reinterpret_cast<PyObject*>(self))});
}

Ref make_request(GeneratorObject* gen, Mode mode, PyObject* value) {
  init_hooks(gen);
  RequestObject* r = PyObject_GC_New(RequestObject, g_request_type);
  if (r == nullptr) throw_python_error();
  r->gen = reinterpret_cast<GeneratorObject*>(Py_NewRef(reinterpret_cast<PyObject*>(gen)));
  r->value = Py_XNewRef(value);
  r->mode = mode;
  r->state = State::init;
  PyObject_GC_Track(r);
  return Ref::steal(reinterpret_cast<PyObject*>(r));
}

// ---- driving a request -----------------------------------------------------------------------

void end_frame(GeneratorObject* gen) {
  gen->base.finished = true;
  gen->closed = true;
  gen->base.frame.destroy();
}

// Maps a step of the frame to the request's am_send result.
PySendResult request_result(RequestObject* req, Step step, Ref& out, PyObject** result) {
  GeneratorObject* gen = req->gen;
  switch (step) {
    case Step::yielded:
      *result = out.release();
      return PYGEN_NEXT;
    case Step::emitted:
      gen->running_async = false;
      req->state = State::done;
      if (req->mode == Mode::close) {
        raise(PyExc_RuntimeError, "async generator ignored GeneratorExit");
      }
      *result = out.release();
      return PYGEN_RETURN;
    case Step::returned:
      gen->running_async = false;
      req->state = State::done;
      end_frame(gen);
      if (req->mode == Mode::close) {
        *result = Py_NewRef(Py_None);
        return PYGEN_RETURN;
      }
      PyErr_SetNone(PyExc_StopAsyncIteration);
      return PYGEN_ERROR;
    case Step::failed:
      gen->running_async = false;
      req->state = State::done;
      end_frame(gen);
      if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
          PyErr_ExceptionMatches(PyExc_StopIteration)) {
        if (req->mode == Mode::close && PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
          PyErr_Clear();
          *result = Py_NewRef(Py_None);
          return PYGEN_RETURN;
        }
        detail::replace_with_runtime_error(PyErr_Occurred() == PyExc_StopIteration
                                               ? "async generator raised StopIteration"
                                               : "async generator raised StopAsyncIteration");
        return PYGEN_ERROR;
      }
      if (req->mode == Mode::close && PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        *result = Py_NewRef(Py_None);
        return PYGEN_RETURN;
      }
      return PYGEN_ERROR;
  }
  return PYGEN_ERROR;
}

const char* request_name(Mode mode) {
  switch (mode) {
    case Mode::send:
      return "anext";
    case Mode::throw_:
      return "athrow";
    case Mode::close:
      return "aclose";
  }
  return "anext";
}

PySendResult request_step(RequestObject* req, PyObject* arg, PyError* thrown, PyObject** result) {
  GeneratorObject* gen = req->gen;
  if (req->state == State::done) {
    raise(PyExc_RuntimeError, req->mode == Mode::send
                                  ? "cannot reuse already awaited __anext__()/asend()"
                                  : "cannot reuse already awaited aclose()/athrow()");
  }
  if (gen->base.frame.running()) raise(PyExc_ValueError, "async generator already executing");
  Ref out;
  if (req->state == State::init) {
    if (gen->running_async) {
      req->state = State::done;
      raise_format(PyExc_RuntimeError, "%s(): asynchronous generator is already running",
                   request_name(req->mode));
    }
    if (gen->closed || gen->base.finished) {
      req->state = State::done;
      if (req->mode == Mode::send) {
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return PYGEN_ERROR;
      }
      *result = Py_NewRef(Py_None);
      return PYGEN_RETURN;
    }
    if (thrown != nullptr) {
      // A throw into a request that has not begun is raised without running anything.
      req->state = State::done;
      throw *thrown;
    }
    if (arg != Py_None && req->mode != Mode::send) {
      raise(PyExc_RuntimeError, "can't send non-None value to a just-started coroutine");
    }
    // athrow's arguments are checked when it is awaited, as natively (before 3.15: see compat).
    std::optional<PyError> to_throw;
    if (req->mode == Mode::throw_) {
      req->state = State::done;
      detail::check_throw_arity("athrow", PyTuple_GET_SIZE(req->value));
      to_throw.emplace(detail::exception_from_throw_args(&PyTuple_GET_ITEM(req->value, 0),
                                                         PyTuple_GET_SIZE(req->value)));
    }
    req->state = State::iter;
    gen->running_async = true;
    Step step;
    if (req->mode == Mode::send) {
      if (!gen->base.started && req->value != Py_None) {
        gen->running_async = false;
        req->state = State::done;
        raise(PyExc_TypeError, "can't send non-None value to a just-started async generator");
      }
      gen->base.started = true;
      step = gen->base.frame.send(Borrowed(req->value), out);
    } else {
      PyError error = req->mode == Mode::close
                          ? PyError(Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit)).view())
                          : std::move(*to_throw);
      if (req->mode == Mode::close) gen->closed = true;
      if (!gen->base.started) {
        // Nothing ran yet: the generator just ends with the error.
        gen->running_async = false;
        req->state = State::done;
        end_frame(gen);
        if (req->mode == Mode::close) {
          *result = Py_NewRef(Py_None);
          return PYGEN_RETURN;
        }
        throw error;
      }
      step = gen->base.frame.throw_into(std::move(error), out);
    }
    return request_result(req, step, out, result);
  }
  // State::iter: the frame awaits a delegate on behalf of this request.
  Step step = thrown ? gen->base.frame.throw_into(std::move(*thrown), out)
                     : gen->base.frame.send(Borrowed(arg), out);
  return request_result(req, step, out, result);
}

PySendResult req_am_send(PyObject* o, PyObject* arg, PyObject** result) {
  *result = nullptr;
  return translate(PYGEN_ERROR, [&] { return request_step(as_req(o), arg, nullptr, result); });
}

PyObject* req_send(PyObject* o, PyObject* arg) {
  return detail::send_via<req_am_send>(o, arg);
}

PyObject* req_next(PyObject* o) {
  return detail::next_via<req_am_send>(o);
}

PyObject* req_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* value = nullptr;
  PySendResult r = translate(PYGEN_ERROR, [&] {
    detail::check_throw_arity("throw", nargs);
    detail::warn_if_deprecated_throw("throw", nargs);
    PyError error = detail::exception_from_throw_args(args, nargs);
    return request_step(as_req(o), Py_None, &error, &value);
  });
  return detail::result_or_stop(r, value);
}

PyObject* req_close(PyObject* o, PyObject*) {
  RequestObject* req = as_req(o);
  if (req->state == State::iter) req->gen->running_async = false;
  req->state = State::done;
  Py_RETURN_NONE;
}

int req_traverse(PyObject* o, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(reinterpret_cast<PyObject*>(as_req(o)->gen));
  Py_VISIT(as_req(o)->value);
  return 0;
}

int req_clear(PyObject* o) {
  RequestObject* req = as_req(o);
  PyObject* gen = reinterpret_cast<PyObject*>(req->gen);
  req->gen = nullptr;
  Py_XDECREF(gen);
  Py_CLEAR(req->value);
  return 0;
}

void req_dealloc(PyObject* o) {
  RequestObject* req = as_req(o);
  // A request dropped half way (its task was destroyed) must not leave the generator locked.
  if (req->state == State::iter && req->gen != nullptr) req->gen->running_async = false;
  detail::gc_object_dealloc(o);
}

PyMethodDef req_methods[] = {
    {"send", req_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(req_throw)), METH_FASTCALL,
     nullptr},
    {"close", req_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- the generator ---------------------------------------------------------------------------

PyObject* gen_anext(PyObject* o) {
  return translate<PyObject*>(
      nullptr, [&] { return make_request(as_gen(o), Mode::send, Py_None).release(); });
}

PyObject* gen_asend(PyObject* o, PyObject* value) {
  return translate<PyObject*>(nullptr,
                              [&] { return make_request(as_gen(o), Mode::send, value).release(); });
}

PyObject* gen_athrow(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
  return translate<PyObject*>(nullptr, [&] {
    if constexpr (compat::kAthrowChecksArityAtCall) detail::check_throw_arity("athrow", nargs);
    detail::warn_if_deprecated_throw("athrow", nargs);
    Ref arguments = Ref::steal(PyTuple_New(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(arguments.get(), i, Py_NewRef(args[i]));
    return make_request(as_gen(o), Mode::throw_, arguments.get()).release();
  });
}

PyObject* gen_aclose(PyObject* o, PyObject*) {
  return translate<PyObject*>(
      nullptr, [&] { return make_request(as_gen(o), Mode::close, nullptr).release(); });
}

// Closes a suspended frame synchronously, for collection without an event loop's finalizer.
void close_now(GeneratorObject* self) {
  Ref exit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
  Ref out;
  self->closed = true;
  Step step = self->base.frame.throw_into(PyError(exit.view()), out);
  if (step == Step::yielded || step == Step::emitted) {
    end_frame(self);
    raise(PyExc_RuntimeError, "async generator ignored GeneratorExit");
  }
  end_frame(self);
  if (step == Step::failed) {
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
      PyErr_Clear();
      return;
    }
    throw_python_error();
  }
}

void gen_finalize(PyObject* o) {
  GeneratorObject* self = as_gen(o);
  self->base.finalized = true;
  if (self->base.finished || self->base.frame.done()) return;
  detail::with_error_saved([&] {
    if (self->finalizer != nullptr && !self->closed) {
      // The event loop's hook schedules aclose() on the loop (and so resurrects us).
      detail::discard_result(PyObject_CallOneArg(self->finalizer, o), o);
    } else if (self->base.started && !self->base.frame.running()) {
      translate(0, [&] {
        close_now(self);
        return 0;
      });
      if (PyErr_Occurred()) PyErr_WriteUnraisable(o);
    }
  });
}

int gen_traverse(PyObject* o, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(as_gen(o)->finalizer);
  return detail::frame_object_traverse(&as_gen(o)->base, visit, arg);
}

int gen_clear(PyObject* o) {
  detail::frame_object_clear(&as_gen(o)->base);
  Py_CLEAR(as_gen(o)->finalizer);
  return 0;
}

PyObject* get_running(PyObject* o, void*) {
  return PyBool_FromLong(as_gen(o)->running_async);
}

PyObject* gen_repr(PyObject* o) {
  return detail::frame_object_repr("async_generator", o);
}

PyMethodDef gen_methods[] = {
    {"asend", gen_asend, METH_O, "asend(v) -> send 'v' in generator."},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_athrow)),
     METH_FASTCALL, "athrow(value)\nathrow(type[,value[,tb]])\n\nraise exception in generator."},
    {"aclose", gen_aclose, METH_NOARGS, "aclose() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gen_getset[] = {
    {"__name__", detail::get_name, nullptr, nullptr, nullptr},
    {"__qualname__", detail::get_qualname, nullptr, nullptr, nullptr},
    {"ag_running", get_running, nullptr, nullptr, nullptr},
    {"ag_await", detail::get_await, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

Ref make_async_generator(StreamBody body, PyObject* const* bound, Py_ssize_t n, Borrowed name,
                         Borrowed qualname) {
  FrameObject* base = detail::alloc_frame_object(g_generator_type, bound, n, name, qualname);
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(base));
  auto* self = reinterpret_cast<GeneratorObject*>(base);
  self->finalizer = nullptr;
  self->hooks_inited = false;
  self->closed = false;
  self->running_async = false;
  self->base.finished = true;
  Stream stream = body(Args{self->base.args, self->base.nargs});
  self->base.frame.adopt(stream.handle, &stream.handle.promise());
  self->base.finished = false;
  return owner;
}

namespace detail {
void init_async_generator_types() {
  g_generator_type = make_type("talvo.runtime_async.async_generator", sizeof(GeneratorObject),
                               {{Py_tp_traverse, reinterpret_cast<void*>(gen_traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(gen_clear)},
                                {Py_tp_finalize, reinterpret_cast<void*>(gen_finalize)},
                                {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
                                {Py_tp_methods, gen_methods},
                                {Py_tp_getset, gen_getset},
                                {Py_am_aiter, reinterpret_cast<void*>(PyObject_SelfIter)},
                                {Py_am_anext, reinterpret_cast<void*>(gen_anext)}},
                               frame_object_slots);
  g_request_type = make_type("talvo.runtime_async.async_generator_request", sizeof(RequestObject),
                             {{Py_tp_dealloc, reinterpret_cast<void*>(req_dealloc)},
                              {Py_tp_traverse, reinterpret_cast<void*>(req_traverse)},
                              {Py_tp_clear, reinterpret_cast<void*>(req_clear)},
                              {Py_tp_iternext, reinterpret_cast<void*>(req_next)},
                              {Py_tp_methods, req_methods},
                              {Py_am_await, reinterpret_cast<void*>(PyObject_SelfIter)},
                              {Py_am_send, reinterpret_cast<void*>(req_am_send)}},
                             iterator_slots);
  register_abc("AsyncGenerator", g_generator_type);
}
}  // namespace detail

}  // namespace host
