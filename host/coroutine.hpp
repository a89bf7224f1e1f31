// Python objects that own a C++ frame: coroutines and async generators.
//
// Both present a frame (frame.hpp) through the protocol that asyncio and the interpreter expect
// of `async def` code. They keep the operation's bound arguments, so the frame can borrow them.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "host/frame.hpp"
#include "host/signature.hpp"

namespace host {

/// State shared by the coroutine and async-generator objects.
struct FrameObject {
  PyObject_HEAD Frame frame;
  PyObject* weakrefs;
  PyObject* name;              // owned str
  PyObject* qualname;          // owned str
  PyObject* args[kMaxParams];  // owned
  Py_ssize_t nargs;
  bool started;
  bool finished;
  bool finalized;  // tp_finalize ran: the collector marked the object, so it is never reused
};

using TaskBody = Task (*)(Args);
using StreamBody = Stream (*)(Args);

/// A new coroutine object running `body` over the bound arguments (copied): new reference.
Ref make_coroutine(TaskBody body, PyObject* const* bound, Py_ssize_t n, Borrowed name,
                   Borrowed qualname);
/// A new async-generator object running `body` over the bound arguments: new reference.
Ref make_async_generator(StreamBody body, PyObject* const* bound, Py_ssize_t n, Borrowed name,
                         Borrowed qualname);

/// Creates the types and registers them with `collections.abc`. Once, at module init.
void init_frame_types();

namespace detail {
FrameObject* alloc_frame_object(PyTypeObject* type, PyObject* const* bound, Py_ssize_t n,
                                Borrowed name, Borrowed qualname);
int frame_object_traverse(FrameObject* self, visitproc visit, void* arg);
void frame_object_clear(FrameObject* self);
void frame_object_dealloc(PyObject* o);
/// TypeError unless `name` (throw / athrow) got 1 to 3 arguments, worded as CPython words it.
void check_throw_arity(const char* name, Py_ssize_t nargs);
/// The `tp_iternext` form of a step's result. A `None` result ends the iteration with no
/// StopIteration at all, which the protocol allows: 3.12's `await` steps non-native awaitables
/// through tp_iternext, and building the exception would dominate an await that finishes at once.
/// The `send()` form of a step's result: a return value travels in StopIteration.
PyObject* result_or_stop(PySendResult r, PyObject* value);
PyObject* iternext_result(PySendResult r, PyObject* value);
/// `send(arg)` over an `am_send` slot. The step goes into a local first: the order in which call
/// arguments are evaluated is unspecified.
template <PySendResult (*AmSend)(PyObject*, PyObject*, PyObject**)>
PyObject* send_via(PyObject* o, PyObject* arg) {
  PyObject* value = nullptr;
  PySendResult r = AmSend(o, arg, &value);
  return result_or_stop(r, value);
}
/// `tp_iternext` over an `am_send` slot.
template <PySendResult (*AmSend)(PyObject*, PyObject*, PyObject**)>
PyObject* next_via(PyObject* o) {
  PyObject* value = nullptr;
  PySendResult r = AmSend(o, Py_None, &value);
  return iternext_result(r, value);
}
/// From 3.12 on, the (type, value, tb) form of throw / athrow warns, as it does natively.
void warn_if_deprecated_throw(const char* name, Py_ssize_t nargs);
/// Builds the exception for `throw(typ[, val[, tb]])` as generators do.
PyError exception_from_throw_args(PyObject* const* args, Py_ssize_t nargs);
void init_async_generator_types();

/// Replaces the error being raised with `RuntimeError(message)` raised from it (cause and
/// context), as native generators replace a StopIteration that escapes their body.
void replace_with_runtime_error(const char* message);
/// Runs `body` with the error being raised (if any) set aside, and puts it back after: a
/// finalizer runs at any moment and must leave the thread's error as it found it.
template <typename Body>
void with_error_saved(Body&& body) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  body();
  PyErr_Restore(type, value, tb);
}
/// For a finalizer's call: reports a failure (NULL) as unraisable on `o`, drops a result.
void discard_result(PyObject* result, PyObject* o);
/// `collections.abc.<abc_name>.register(type)`.
void register_abc(const char* abc_name, PyTypeObject* type);

// Slots both kinds of frame object share.
PyObject* get_name(PyObject* o, void*);
PyObject* get_qualname(PyObject* o, void*);
PyObject* get_await(PyObject* o, void*);
/// `<kind object qualname at 0x...>`.
PyObject* frame_object_repr(const char* kind, PyObject* o);
/// The weak-reference slot, for `Py_tp_members`.
extern PyMemberDef frame_object_members[];
/// `tp_dealloc` of a small GC object of a heap type whose `tp_clear` drops all it owns.
void gc_object_dealloc(PyObject* o);
/// The slots every kind of frame object shares.
inline const std::initializer_list<PyType_Slot> frame_object_slots = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_object_dealloc)},
    {Py_tp_members, frame_object_members},
};
/// The slots of the iterators that step a frame object for `await` (they are their own).
inline const std::initializer_list<PyType_Slot> iterator_slots = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
};
}  // namespace detail

}  // namespace host
