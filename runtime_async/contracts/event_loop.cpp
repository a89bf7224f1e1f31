#include "runtime_async/contracts/event_loop.hpp"

#include <vector>

namespace talvo::loop {

namespace {
host::Name n_asyncio{"asyncio"};
host::Name n_get_running_loop{"get_running_loop"};
host::Name n_run_in_executor{"run_in_executor"};
host::Name n_cancelled_error{"CancelledError"};
host::Name n_shield{"shield"};
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

host::Ref cancelled_error() {
  host::Ref asyncio = host::global(n_asyncio);
  return host::getattr(asyncio.view(), n_cancelled_error);
}

}  // namespace talvo::loop
