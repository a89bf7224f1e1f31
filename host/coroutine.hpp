// Python objects that own a C++ frame: coroutines and async generators.
//
// Both present a frame (frame.hpp) through the protocol that asyncio and the interpreter expect
// of `async def` code. They keep the operation's bound arguments, so the frame can borrow them.
#pragma once

#include <Python.h>

#include "host/frame.hpp"
#include "host/signature.hpp"

namespace host {

/// State shared by the coroutine and async-generator objects.
struct FrameObject {
  PyObject_HEAD
  Frame frame;
  PyObject* weakrefs;
  PyObject* name;      // owned str
  PyObject* qualname;  // owned str
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
void frame_object_dealloc(FrameObject* self);
/// TypeError unless `name` (throw / athrow) got 1 to 3 arguments, worded as CPython words it.
void check_throw_arity(const char* name, Py_ssize_t nargs);
/// The `tp_iternext` form of a step's result. A `None` result ends the iteration with no
/// StopIteration at all, which the protocol allows: 3.12's `await` steps non-native awaitables
/// through tp_iternext, and building the exception would dominate an await that finishes at once.
/// The `send()` form of a step's result: a return value travels in StopIteration.
PyObject* result_or_stop(PySendResult r, PyObject* value);
PyObject* iternext_result(PySendResult r, PyObject* value);
/// From 3.12 on, the (type, value, tb) form of throw / athrow warns, as it does natively.
void warn_if_deprecated_throw(const char* name, Py_ssize_t nargs);
/// Builds the exception for `throw(typ[, val[, tb]])` as generators do.
PyError exception_from_throw_args(PyObject* const* args, Py_ssize_t nargs);
void init_async_generator_types();
}  // namespace detail

}  // namespace host
