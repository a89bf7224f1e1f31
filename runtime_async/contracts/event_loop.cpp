#include "runtime_async/contracts/event_loop.hpp"
#include "runtime_async/state.hpp"

#include <vector>

namespace talvo::loop {

namespace {
host::Name n_asyncio{"asyncio"};
host::Name n_get_running_loop{"get_running_loop"};
host::Name n_run_in_executor{"run_in_executor"};
host::Name n_cancelled_error{"CancelledError"};
host::Name n_shield{"shield"};
host::Name n_create_future{"create_future"};
host::Name n_get_loop{"get_loop"};
host::Name n_call_soon_threadsafe{"call_soon_threadsafe"};
host::Name n_call_later{"call_later"};
host::Name n_cancel{"cancel"};
host::Name n_set_result{"set_result"};

// The callback behind resolve_threadsafe and resolve_later: (future, value). A future cancelled
// or resolved in the meantime (its waiter gave up, or the other wake-up came first) is left.
PyObject* resolve(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return host::translate<PyObject*>(nullptr, [&] {
    if (nargs != 2) host::raise(PyExc_TypeError, "resolve takes a future and a value");
    host::Borrowed future(args[0]);
    if (!host::truthy(host::call_method(future, names::done).view())) {
      host::call_method(future, n_set_result, {host::Borrowed(args[1])});
    }
    return host::Ref::none().release();
  });
}
PyMethodDef g_resolve_def = {"_resolve",
                             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(resolve)),
                             METH_FASTCALL, nullptr};

// A fresh function object per use: nothing is kept between calls (or interpreters).
host::Ref resolver() {
  return host::Ref::steal(PyCFunction_New(&g_resolve_def, nullptr));
}
}  // namespace

host::Ref running() {
  host::Ref asyncio = host::global(n_asyncio);
  return host::call_method(asyncio.view(), n_get_running_loop);
}

host::Ref run_in_executor(host::Borrowed loop, host::Borrowed fn,
                          std::initializer_list<host::Borrowed> args) {
  if (args.size() == 0) {
    return host::call_method(loop, n_run_in_executor, {host::Borrowed(Py_None), fn});
  }
  std::vector<PyObject*> stack{loop.get(), Py_None, fn.get()};
  for (host::Borrowed a : args) stack.push_back(a.get());
  return host::Ref::steal(
      PyObject_VectorcallMethod(n_run_in_executor.get(), stack.data(), stack.size(), nullptr));
}

host::Ref shield(host::Borrowed awaitable) {
  host::Ref asyncio = host::global(n_asyncio);
  return host::call_method(asyncio.view(), n_shield, {awaitable});
}

host::Ref create_future(host::Borrowed loop) {
  return host::call_method(loop, n_create_future);
}

double time(host::Borrowed loop) {
  host::Ref now = host::call_method(loop, names::time);
  const double t = PyFloat_AsDouble(now.get());
  if (t == -1.0 && PyErr_Occurred()) host::throw_python_error();
  return t;
}

bool resolve_threadsafe(host::Borrowed future, host::Borrowed value) {
  host::Ref loop = host::call_method(future, n_get_loop);
  host::Ref fn = resolver();
  try {
    host::call_method(loop.view(), n_call_soon_threadsafe, {fn.view(), future, value});
  } catch (host::PyError& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;  // "Event loop is closed"
    return false;
  }
  return true;
}

host::Ref resolve_later(host::Borrowed loop, double delay, host::Borrowed future,
                        host::Borrowed value) {
  host::Ref fn = resolver();
  host::Ref seconds = host::float_(delay);
  return host::call_method(loop, n_call_later, {seconds.view(), fn.view(), future, value});
}

void cancel(host::Borrowed handle) {
  host::call_method(handle, n_cancel);
}

host::Ref cancelled_error() {
  host::Ref asyncio = host::global(n_asyncio);
  return host::getattr(asyncio.view(), n_cancelled_error);
}

}  // namespace talvo::loop
