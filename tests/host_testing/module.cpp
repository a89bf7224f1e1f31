// `talvo._host_testing`: the host layer's protocol paths, reachable from Python tests.
//
// The class `Probe` carries one small operation per path (its twin in pure Python lives in the
// tests, so the two can be compared side by side). Built only with -DTALVO_HOST_TESTING=ON.
#include <Python.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "host/cancel.hpp"
#include "host/coroutine.hpp"
#include "host/method.hpp"
#include "host/names.hpp"
#include "host/stub_check.hpp"

namespace {

using host::Args;
using host::Borrowed;
using host::PyError;
using host::Ref;

host::Name n_asyncio{"asyncio"};
host::Name n_cancelled_error{"CancelledError"};

Ref cancelled_error() {
  Ref asyncio = host::global(n_asyncio);
  return host::getattr(asyncio.view(), n_cancelled_error);
}

Ref next_item(Borrowed iterator) {
  Ref item = Ref::steal_or_null(PyIter_Next(iterator.get()));
  if (!item && PyErr_Occurred()) host::throw_python_error();
  return item;
}

// ---- coroutines ------------------------------------------------------------------------------

host::Task returns(Args a) {
  co_return Ref::borrow(a[1]);
}

host::Task awaits(Args a) {
  co_return co_await Ref::borrow(a[1]);
}

// (self, awaitable, cleanup): on cancellation awaits `cleanup`, then re-raises the same error.
host::Task awaits_then_cleans_up(Args a) {
  Ref cancelled_type = cancelled_error();
  host::CaughtCancellation cancelled;
  Ref result;
  try {
    result = co_await Ref::borrow(a[1]);
  } catch (PyError& e) {
    if (!cancelled.keep(e, cancelled_type.view())) throw;
  }
  if (cancelled) {
    co_await Ref::borrow(a[2]);
    cancelled.rethrow();
  }
  co_return result;
}

host::Task raises(Args a) {
  throw PyError(a[1]);
  co_return Ref::none();
}

host::Task awaits_twice(Args a) {
  Ref first = co_await Ref::borrow(a[1]);
  Ref second = co_await Ref::borrow(a[2]);
  co_return Ref::steal(PyTuple_Pack(2, first.get(), second.get()));
}

// (self, first, second): awaits `second` when closed while awaiting `first`.
host::Task awaits_again_on_exit(Args a) {
  bool exiting = false;
  try {
    co_return co_await Ref::borrow(a[1]);
  } catch (PyError& e) {
    if (!e.matches(PyExc_GeneratorExit)) throw;
    exiting = true;
  }
  if (exiting) co_await Ref::borrow(a[2]);
  co_return Ref::none();
}

// (self, awaitable): an `Exception` raised by the awaitable (or thrown in) becomes the result.
host::Task recovers(Args a) {
  try {
    co_return co_await Ref::borrow(a[1]);
  } catch (PyError& e) {
    if (!e.matches(PyExc_Exception)) throw;
    co_return e.take();
  }
}

host::Task raises_cpp(Args) {
  throw std::runtime_error("boom");
  co_return Ref::none();
}

// (self, a, /, b=2, *, c, d=4)
host::Task binds(Args a) {
  co_return Ref::steal(PyTuple_Pack(4, a[1].get(), a[2].get(), a[3].get(), a[4].get()));
}

// (cls, value)
host::Task made(Args a) {
  co_return Ref::steal(PyTuple_Pack(2, a[0].get(), a[1].get()));
}

// (self, value)
Ref plain(Args a) {
  return Ref::borrow(a[1]);
}

// ---- streams ---------------------------------------------------------------------------------

// (self, items, factory): for each item, awaits `factory()`, then yields the item.
host::Stream items(Args a) {
  Ref it = Ref::steal(PyObject_GetIter(a[1].get()));
  while (Ref item = next_item(it.view())) {
    co_await host::call(a[2]);
    co_yield item;
  }
}

// (self, items, factory, cleanup): as `items`; on cancellation awaits `cleanup` and re-raises.
host::Stream items_cleanup_on_cancel(Args a) {
  Ref cancelled_type = cancelled_error();
  host::CaughtCancellation cancelled;
  try {
    Ref it = Ref::steal(PyObject_GetIter(a[1].get()));
    while (Ref item = next_item(it.view())) {
      co_await host::call(a[2]);
      co_yield item;
    }
  } catch (PyError& e) {
    if (!cancelled.keep(e, cancelled_type.view())) throw;
  }
  if (cancelled) {
    co_await Ref::borrow(a[3]);
    cancelled.rethrow();
  }
}

// (self, items, on_exit): yields the items; calls `on_exit()` however the frame ends.
host::Stream items_finally(Args a) {
  std::optional<PyError> error;
  try {
    Ref it = Ref::steal(PyObject_GetIter(a[1].get()));
    while (Ref item = next_item(it.view())) co_yield item;
  } catch (PyError& e) {
    error.emplace(std::move(e));
  }
  host::call(a[2]);
  if (error) throw std::move(*error);
}

// (self, items): yields once more when asked to close.
host::Stream yields_on_exit(Args a) {
  bool exiting = false;
  try {
    Ref it = Ref::steal(PyObject_GetIter(a[1].get()));
    while (Ref item = next_item(it.view())) co_yield item;
  } catch (PyError& e) {
    if (!e.matches(PyExc_GeneratorExit)) throw;
    exiting = true;
  }
  if (exiting) co_yield Ref::none();
}

// (self, items): an `Exception` thrown in at a yield is yielded back.
host::Stream recovers_stream(Args a) {
  Ref it = Ref::steal(PyObject_GetIter(a[1].get()));
  while (Ref item = next_item(it.view())) {
    std::optional<PyError> thrown;
    try {
      co_yield item;
    } catch (PyError& e) {
      if (!e.matches(PyExc_Exception)) throw;
      thrown.emplace(std::move(e));
    }
    if (thrown) co_yield thrown->take();
  }
}

// (self, items, error): yields the items, then raises `error`.
host::Stream stream_raises(Args a) {
  Ref it = Ref::steal(PyObject_GetIter(a[1].get()));
  while (Ref item = next_item(it.view())) co_yield item;
  throw PyError(a[2]);
}

// (self, stub, kind, params): host::check_stub for a method of kind `kind` (a MethodKind's name)
// whose body reads `params` arguments. Every kind gets a body, never called.
Ref check_stub(Args a) {
  using K = host::MethodKind;
  static constexpr std::pair<const char*, K> kKinds[] = {{"coroutine", K::coroutine},
                                                         {"stream", K::stream},
                                                         {"class_coroutine", K::class_coroutine},
                                                         {"function", K::function},
                                                         {"free_function", K::free_function}};
  const char* kind = PyUnicode_AsUTF8(a[2].get());
  if (kind == nullptr) host::throw_python_error();
  host::MethodSpec spec{K::coroutine, returns, items, plain};
  bool known = false;
  for (const auto& [text, value] : kKinds) {
    if (std::string(text) == kind) spec.kind = value, known = true;
  }
  if (!known) host::raise(PyExc_ValueError, "unknown kind");
  const Py_ssize_t params = PyLong_AsSsize_t(a[3].get());
  if (params == -1 && PyErr_Occurred()) host::throw_python_error();
  host::check_stub(spec, params, a[1]);
  return Ref::none();
}

// ---- the module ------------------------------------------------------------------------------

struct Op {
  const char* name;
  host::MethodSpec spec;
  const char* stub;
};

using K = host::MethodKind;

const Op kOps[] = {
    {"returns",
     {K::coroutine, returns},
     "async def returns(self, value):\n    \"\"\"Returns value.\"\"\"\n"},
    {"awaits", {K::coroutine, awaits}, "async def awaits(self, awaitable):\n    pass\n"},
    {"awaits_then_cleans_up",
     {K::coroutine, awaits_then_cleans_up},
     "async def awaits_then_cleans_up(self, awaitable, cleanup):\n    pass\n"},
    {"raises", {K::coroutine, raises}, "async def raises(self, error):\n    pass\n"},
    {"awaits_twice",
     {K::coroutine, awaits_twice},
     "async def awaits_twice(self, first, second):\n    pass\n"},
    {"awaits_again_on_exit",
     {K::coroutine, awaits_again_on_exit},
     "async def awaits_again_on_exit(self, first, second):\n    pass\n"},
    {"recovers", {K::coroutine, recovers}, "async def recovers(self, awaitable):\n    pass\n"},
    {"raises_cpp", {K::coroutine, raises_cpp}, "async def raises_cpp(self):\n    pass\n"},
    {"binds",
     {K::coroutine, binds},
     "async def binds(self, a, /, b: int = 2, *, c, d=4) -> tuple:\n    \"\"\"Binds.\"\"\"\n"},
    {"made", {K::class_coroutine, made}, "async def made(cls, value):\n    pass\n"},
    {"plain", {K::function, nullptr, nullptr, plain}, "def plain(self, value):\n    pass\n"},
    {"items", {K::stream, nullptr, items}, "async def items(self, items, factory):\n    yield\n"},
    {"items_cleanup_on_cancel",
     {K::stream, nullptr, items_cleanup_on_cancel},
     "async def items_cleanup_on_cancel(self, items, factory, cleanup):\n    yield\n"},
    {"items_finally",
     {K::stream, nullptr, items_finally},
     "async def items_finally(self, items, on_exit):\n    yield\n"},
    {"yields_on_exit",
     {K::stream, nullptr, yields_on_exit},
     "async def yields_on_exit(self, items):\n    yield\n"},
    {"recovers_stream",
     {K::stream, nullptr, recovers_stream},
     "async def recovers_stream(self, items):\n    yield\n"},
    {"stream_raises",
     {K::stream, nullptr, stream_raises},
     "async def stream_raises(self, items, error):\n    yield\n"},
    {"check_stub",
     {K::function, nullptr, nullptr, check_stub},
     "def check_stub(self, stub, kind, params):\n    pass\n"},
};

void run_source(const std::string& source, PyObject* globals) {
  Ref code = Ref::steal(Py_CompileString(source.c_str(), "<talvo._host_testing>", Py_file_input));
  Ref result = Ref::steal(PyEval_EvalCode(code.get(), globals, globals));
}

// The stub compiled inside `class Probe:`, so that its `__qualname__` reads "Probe.<name>":
// new reference.
Ref compile_stub(const Op& op) {
  std::string source = "class Probe:\n";
  std::string stub = op.stub;
  for (std::size_t start = 0; start < stub.size();) {
    std::size_t end = stub.find('\n', start);
    if (end == std::string::npos) end = stub.size();
    source += "    " + stub.substr(start, end - start) + "\n";
    start = end + 1;
  }
  Ref globals = Ref::steal(Py_BuildValue("{s:s}", "__name__", "talvo._host_testing"));
  run_source(source, globals.get());
  PyObject* holder = PyDict_GetItemString(globals.get(), "Probe");  // borrowed
  if (holder == nullptr) host::raise(PyExc_SystemError, "stub class missing");
  return Ref::steal(PyObject_GetAttrString(holder, op.name));
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "talvo._host_testing",
    "Host-layer protocol paths, for tests only.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  PyObject* ns = PyModule_GetDict(module.get());  // borrowed
  host::set_module_namespace(ns);
  run_source(
      "import asyncio\n"
      "class Probe:\n"
      "    \"\"\"One operation per protocol path of the host layer.\"\"\"\n",
      ns);
  host::init_frame_types();
  host::init_method_types();
  PyObject* probe = PyDict_GetItemString(ns, "Probe");  // borrowed
  for (const Op& op : kOps) {
    Ref stub = compile_stub(op);
    Ref method = host::make_method(op.spec, stub.view());
    host::check(PyObject_SetAttrString(probe, op.name, method.get()));
  }
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__host_testing(void) {
  return host::translate<PyObject*>(nullptr, [] { return init_module(); });
}
