// The coroutine object: `send`, `throw`, `close`, `__await__` and `am_send`, behaving as a native
// coroutine's do (Objects/genobject.c), over a C++ frame.
#include "host/coroutine.hpp"

#include "host/heap_type.hpp"
#include "host/names.hpp"

#include <structmember.h>

#include <new>

namespace host {

namespace {

PyTypeObject* g_coroutine_type = nullptr;
PyTypeObject* g_wrapper_type = nullptr;

using CoroutineObject = FrameObject;

struct WrapperObject {
  PyObject_HEAD PyObject* coroutine;  // owned
};

CoroutineObject* as_coro(PyObject* o) {
  return reinterpret_cast<CoroutineObject*>(o);
}

// Maps a step of the frame to am_send's result and keeps the object's flags in step.
PySendResult finish_step(CoroutineObject* self, Step step, Ref& out, PyObject** result) {
  switch (step) {
    case Step::yielded:
    case Step::emitted:  // cannot happen for a Task
      *result = out.release();
      return PYGEN_NEXT;
    case Step::returned:
      self->finished = true;
      self->frame.destroy();
      *result = out.release();
      return PYGEN_RETURN;
    case Step::failed:
      self->finished = true;
      self->frame.destroy();
      // StopIteration escaping the body would end a `yield from` silently: native coroutines
      // turn it into RuntimeError, and so do we.
      if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        detail::replace_with_runtime_error("coroutine raised StopIteration");
      }
      *result = nullptr;
      return PYGEN_ERROR;
  }
  return PYGEN_ERROR;
}

PySendResult coro_am_send(PyObject* o, PyObject* arg, PyObject** result) {
  *result = nullptr;
  return translate(PYGEN_ERROR, [&]() -> PySendResult {
    CoroutineObject* self = as_coro(o);
    if (self->frame.running()) raise(PyExc_ValueError, "coroutine already executing");
    if (self->finished) raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    if (!self->started && arg != Py_None) {
      raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    }
    self->started = true;
    Ref out;
    Step step = self->frame.send(Borrowed(arg), out);
    return finish_step(self, step, out, result);
  });
}

// The `send()` / `__next__` form: a result travels in StopIteration.
PyObject* coro_send(PyObject* o, PyObject* arg) {
  return detail::send_via<coro_am_send>(o, arg);
}

// Only so that `await` accepts the am_await result as an iterator; hidden from Python.
PyObject* coro_next(PyObject* o) {
  return detail::next_via<coro_am_send>(o);
}

PyObject* coro_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
  return translate<PyObject*>(nullptr, [&]() -> PyObject* {
    CoroutineObject* self = as_coro(o);
    detail::check_throw_arity("throw", nargs);
    detail::warn_if_deprecated_throw("throw", nargs);
    if (self->frame.running()) raise(PyExc_ValueError, "coroutine already executing");
    PyError error = detail::exception_from_throw_args(args, nargs);
    if (self->finished) raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    if (!self->started) {
      // Raised before the first line runs: the coroutine ends with it.
      self->finished = true;
      self->frame.destroy();
      throw error;
    }
    Ref out;
    PyObject* value = nullptr;
    Step step = self->frame.throw_into(std::move(error), out);
    PySendResult r = finish_step(self, step, out, &value);
    return detail::result_or_stop(r, value);
  });
}

PyObject* coro_close_impl(CoroutineObject* self) {
  if (self->frame.running()) raise(PyExc_ValueError, "coroutine already executing");
  if (self->finished || !self->started) {
    self->finished = true;
    self->frame.destroy();
    Py_RETURN_NONE;
  }
  Ref exit = Ref::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
  Ref out;
  Step step = self->frame.throw_into(PyError(exit.view()), out);
  if (step == Step::yielded || step == Step::emitted) {
    raise(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
  }
  self->finished = true;
  self->frame.destroy();
  if (step == Step::failed) {
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
        PyErr_ExceptionMatches(PyExc_StopIteration)) {
      PyErr_Clear();
      Py_RETURN_NONE;
    }
    throw_python_error();
  }
  Py_RETURN_NONE;
}

PyObject* coro_close(PyObject* o, PyObject*) {
  return translate<PyObject*>(nullptr, [&] { return coro_close_impl(as_coro(o)); });
}

// As `await` checks a native coroutine: a second awaiter would steal the first one's steps.
bool awaitable_now(PyObject* o) {
  if (as_coro(o)->frame.awaiting() == nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
  return false;
}

// The am_await slot, which `await` and our own frames use: the coroutine is its own iterator
// there (it has am_send), so awaiting it allocates nothing.
PyObject* coro_am_await(PyObject* o) {
  return awaitable_now(o) ? Py_NewRef(o) : nullptr;
}

// `__await__()` called from Python returns a separate iterator, as a native coroutine's does.
PyObject* coro_await(PyObject* o, PyObject*) {
  if (!awaitable_now(o)) return nullptr;
  WrapperObject* w = PyObject_GC_New(WrapperObject, g_wrapper_type);
  if (w == nullptr) return nullptr;
  w->coroutine = Py_NewRef(o);
  PyObject_GC_Track(w);
  return reinterpret_cast<PyObject*>(w);
}

void coro_finalize(PyObject* o) {
  CoroutineObject* self = as_coro(o);
  self->finalized = true;
  if (self->finished || self->frame.done()) return;
  detail::with_error_saved([&] {
    if (!self->started) {
      if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                           self->qualname) < 0) {
        PyErr_WriteUnraisable(o);
      }
    } else {
      detail::discard_result(coro_close(o, nullptr), o);
    }
  });
}

int coro_traverse(PyObject* o, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(o));
  return detail::frame_object_traverse(as_coro(o), visit, arg);
}

int coro_clear(PyObject* o) {
  detail::frame_object_clear(as_coro(o));
  return 0;
}

PyObject* get_running(PyObject* o, void*) {
  return PyBool_FromLong(as_coro(o)->frame.running());
}

PyObject* coro_repr(PyObject* o) {
  return detail::frame_object_repr("coroutine", o);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next "
     "iterated value or raise StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__await__", coro_await, METH_NOARGS | METH_COEXIST,
     "Return an iterator to be used in await expression."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", detail::get_name, nullptr, nullptr, nullptr},
    {"__qualname__", detail::get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", detail::get_await, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- the iterator `__await__` returns --------------------------------------------------------

PyObject* wrapper_coro(PyObject* o) {
  return reinterpret_cast<WrapperObject*>(o)->coroutine;
}

PySendResult wrapper_am_send(PyObject* o, PyObject* arg, PyObject** result) {
  return coro_am_send(wrapper_coro(o), arg, result);
}
PyObject* wrapper_next(PyObject* o) {
  return detail::next_via<wrapper_am_send>(o);
}
PyObject* wrapper_send(PyObject* o, PyObject* arg) {
  return coro_send(wrapper_coro(o), arg);
}
PyObject* wrapper_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
  return coro_throw(wrapper_coro(o), args, nargs);
}
PyObject* wrapper_close(PyObject* o, PyObject*) {
  return coro_close(wrapper_coro(o), nullptr);
}

int wrapper_traverse(PyObject* o, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(wrapper_coro(o));
  return 0;
}
int wrapper_clear(PyObject* o) {
  Py_CLEAR(reinterpret_cast<WrapperObject*>(o)->coroutine);
  return 0;
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)),
     METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Freed coroutine objects, reused as CPython reuses its own short-lived objects: awaiting a
// coroutine then takes nothing from the collector's allocator, nor counts towards a collection.
// An object whose finalizer ran is never kept: the collector's mark on it would stay.
// A kept object is revived by setting its count back to one, which a debug interpreter's total of
// references does not see: there the list stays empty so leak hunts read true.
#ifdef Py_REF_DEBUG
constexpr int kKeptCoroutines = 0;
#else
constexpr int kKeptCoroutines = 8;
#endif
FrameObject* g_free_coroutines[kKeptCoroutines > 0 ? kKeptCoroutines : 1];  // guarded by the GIL
int g_free_coroutine_count = 0;

FrameObject* new_frame_object(PyTypeObject* type) {
  if (type == g_coroutine_type && g_free_coroutine_count > 0) {
    FrameObject* self = g_free_coroutines[--g_free_coroutine_count];
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(self), 1);  // keeps the type reference it had
    return self;
  }
  FrameObject* self = PyObject_GC_New(FrameObject, type);
  if (self == nullptr) throw_python_error();
  return self;
}

// Frees an untracked, cleared object, or keeps it for reuse.
void free_frame_object(FrameObject* self) {
  PyObject* o = reinterpret_cast<PyObject*>(self);
  PyTypeObject* type = Py_TYPE(o);
  if (type == g_coroutine_type && !self->finalized && g_free_coroutine_count < kKeptCoroutines) {
    g_free_coroutines[g_free_coroutine_count++] = self;
    return;
  }
  PyObject_GC_Del(o);
  Py_DECREF(type);
}

}  // namespace

namespace detail {

FrameObject* alloc_frame_object(PyTypeObject* type, PyObject* const* bound, Py_ssize_t n,
                                Borrowed name, Borrowed qualname) {
  // Not PyType_GenericAlloc: it would zero the whole object, argument slots never used included.
  FrameObject* self = new_frame_object(type);
  new (&self->frame) Frame();
  self->weakrefs = nullptr;
  self->name = Py_NewRef(name.get());
  self->qualname = Py_NewRef(qualname.get());
  self->frame.set_operation_name(self->name);
  for (Py_ssize_t i = 0; i < n; ++i) self->args[i] = Py_NewRef(bound[i]);
  self->nargs = n;
  self->started = false;
  self->finished = false;
  self->finalized = false;
  PyObject_GC_Track(self);
  return self;
}

int frame_object_traverse(FrameObject* self, visitproc visit, void* arg) {
  for (Py_ssize_t i = 0; i < self->nargs; ++i) Py_VISIT(self->args[i]);
  return self->frame.traverse(visit, arg);
}

void frame_object_clear(FrameObject* self) {
  // The frame's locals borrow the arguments: free the frame first. Other garbage may still reach
  // us while the collector clears it: from now on we behave as finished, not as a NULL frame.
  self->finished = true;
  self->frame.destroy();
  for (Py_ssize_t i = 0; i < self->nargs; ++i) Py_CLEAR(self->args[i]);
  self->nargs = 0;
}

void frame_object_dealloc(PyObject* o) {
  FrameObject* self = as_coro(o);
  PyTypeObject* type = Py_TYPE(o);
  PyObject_GC_UnTrack(o);
  if (self->weakrefs != nullptr) PyObject_ClearWeakRefs(o);
  if (!self->finished && !self->frame.done()) {
    // Only a frame that can still run has something to finalize (close it, or warn).
    PyObject_GC_Track(o);
    if (PyObject_CallFinalizerFromDealloc(o) < 0) return;  // resurrected by the finalizer
    PyObject_GC_UnTrack(o);
  }
  type->tp_clear(o);
  Py_CLEAR(self->name);
  Py_CLEAR(self->qualname);
  self->frame.~Frame();
  free_frame_object(self);
}

void check_throw_arity(const char* name, Py_ssize_t nargs) {
  if (nargs < 1)
    raise_format(PyExc_TypeError, "%s expected at least 1 argument, got %zd", name, nargs);
  if (nargs > 3)
    raise_format(PyExc_TypeError, "%s expected at most 3 arguments, got %zd", name, nargs);
}

PyObject* result_or_stop(PySendResult r, PyObject* value) {
  if (r == PYGEN_RETURN) {
    if (value != Py_None) {
      // An instance, so a tuple value is not unpacked into the exception's arguments.
      PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
      if (stop != nullptr) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
      }
    } else {
      PyErr_SetNone(PyExc_StopIteration);
    }
    Py_DECREF(value);
    return nullptr;
  }
  return value;  // NEXT: the yielded value; ERROR: NULL with the error set
}

PyObject* iternext_result(PySendResult r, PyObject* value) {
  if (r == PYGEN_RETURN && value == Py_None) {
    Py_DECREF(value);
    return nullptr;
  }
  return detail::result_or_stop(r, value);
}

void warn_if_deprecated_throw([[maybe_unused]] const char* name,
                              [[maybe_unused]] Py_ssize_t nargs) {
#if PY_VERSION_HEX >= 0x030C0000
  if (nargs > 1) {
    check(PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                           "the (type, exc, tb) signature of %s() is deprecated, use the "
                           "single-arg signature instead.",
                           name));
  }
#endif
}

void replace_with_runtime_error(const char* message) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  PyErr_SetString(PyExc_RuntimeError, message);
  PyObject *type2, *value2, *tb2;
  PyErr_Fetch(&type2, &value2, &tb2);
  PyErr_NormalizeException(&type2, &value2, &tb2);
  PyException_SetContext(value2, Py_NewRef(value));  // both calls steal a reference
  PyException_SetCause(value2, value);
  PyErr_Restore(type2, value2, tb2);
}

void discard_result(PyObject* result, PyObject* o) {
  if (result == nullptr) PyErr_WriteUnraisable(o);
  Py_XDECREF(result);
}

void register_abc(const char* abc_name, PyTypeObject* type) {
  Ref abc = import("collections.abc");
  Ref cls = Ref::steal(PyObject_GetAttrString(abc.get(), abc_name));
  Ref r = Ref::steal(PyObject_CallMethod(cls.get(), "register", "O", type));
}

PyObject* get_name(PyObject* o, void*) {
  return Py_NewRef(as_coro(o)->name);
}
PyObject* get_qualname(PyObject* o, void*) {
  return Py_NewRef(as_coro(o)->qualname);
}
PyObject* get_await(PyObject* o, void*) {
  PyObject* d = as_coro(o)->frame.awaiting();
  return Py_NewRef(d ? d : Py_None);
}

PyObject* frame_object_repr(const char* kind, PyObject* o) {
  return PyUnicode_FromFormat("<%s object %U at %p>", kind, as_coro(o)->qualname, o);
}

PyMemberDef frame_object_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FrameObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

void gc_object_dealloc(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  PyObject_GC_UnTrack(o);
  type->tp_clear(o);
  PyObject_GC_Del(o);
  Py_DECREF(type);
}

PyError exception_from_throw_args(PyObject* const* args, Py_ssize_t nargs) {
  PyObject* typ = args[0];
  PyObject* val = nargs > 1 ? args[1] : Py_None;
  PyObject* tb = nargs > 2 ? args[2] : Py_None;
  if (tb != Py_None && !PyTraceBack_Check(tb)) {
    raise(PyExc_TypeError, "throw() third argument must be a traceback object");
  }
  if (PyExceptionClass_Check(typ)) {
    Ref exc;
    if (val != Py_None && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
      exc = Ref::borrow(val);
    } else if (val == Py_None) {
      exc = Ref::steal(PyObject_CallNoArgs(typ));
    } else if (PyTuple_Check(val)) {
      exc = Ref::steal(PyObject_Call(typ, val, nullptr));
    } else {
      exc = Ref::steal(PyObject_CallOneArg(typ, val));
    }
    if (!PyExceptionInstance_Check(exc.get())) {
      raise_format(PyExc_TypeError, "calling %R should have returned an instance of BaseException",
                   typ);
    }
    if (tb != Py_None) PyException_SetTraceback(exc.get(), tb);
    return PyError(exc.view());
  }
  if (PyExceptionInstance_Check(typ)) {
    if (val != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
    if (tb != Py_None) PyException_SetTraceback(typ, tb);
    return PyError(Borrowed(typ));
  }
  raise_format(PyExc_TypeError,
               "exceptions must be classes or instances deriving from BaseException, not %s",
               Py_TYPE(typ)->tp_name);
}

}  // namespace detail

Ref make_coroutine(TaskBody body, PyObject* const* bound, Py_ssize_t n, Borrowed name,
                   Borrowed qualname) {
  FrameObject* self = detail::alloc_frame_object(g_coroutine_type, bound, n, name, qualname);
  Ref owner = Ref::steal(reinterpret_cast<PyObject*>(self));
  self->finished = true;  // until the frame exists, there is nothing to finalize
  Task task = body(Args{self->args, self->nargs});
  self->frame.adopt(task.handle, &task.handle.promise());
  self->finished = false;
  return owner;
}

void init_frame_types() {
  g_coroutine_type = make_type("talvo.runtime_async.coroutine", sizeof(CoroutineObject),
                               {{Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
                                {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
                                {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
                                {Py_tp_methods, coro_methods},
                                {Py_tp_getset, coro_getset},
                                {Py_tp_iternext, reinterpret_cast<void*>(coro_next)},
                                {Py_am_await, reinterpret_cast<void*>(coro_am_await)},
                                {Py_am_send, reinterpret_cast<void*>(coro_am_send)}},
                               detail::frame_object_slots);
  g_wrapper_type = make_type("talvo.runtime_async.coroutine_wrapper", sizeof(WrapperObject),
                             {{Py_tp_dealloc, reinterpret_cast<void*>(detail::gc_object_dealloc)},
                              {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
                              {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
                              {Py_tp_iternext, reinterpret_cast<void*>(wrapper_next)},
                              {Py_tp_methods, wrapper_methods},
                              {Py_am_send, reinterpret_cast<void*>(wrapper_am_send)}},
                             detail::iterator_slots);
  // A native coroutine has no `__next__`: tp_iternext stays for `await`, the name goes.
  check(PyDict_DelItemString(g_coroutine_type->tp_dict, "__next__"));
  PyType_Modified(g_coroutine_type);
  detail::register_abc("Coroutine", g_coroutine_type);
  detail::init_async_generator_types();
}

}  // namespace host
