// The module `talvo.runtime_async`: its namespace, the marker `_STREAM_END`, and the class
// `AsyncTalvo` built over the Python class `talvo.runtime.Talvo`.
//
// The namespace holds what a Python module of this shape would hold (its imports included), and
// the C++ code reaches every collaborator through it when it uses it.
#include <Python.h>

#include <algorithm>
#include <string>

#include "host/coroutine.hpp"
#include "host/log.hpp"
#include "host/method.hpp"
#include "host/names.hpp"
#include "runtime_async/contracts/base_renderer.hpp"
#include "runtime_async/operation.hpp"

namespace {

constexpr const char* kModuleDoc = "Asyncio front end of the Talvo renderer.";
constexpr const char* kClassDoc = "Asynchronous wrapper for Talvo Runtime.";

// What `import` statements at the top of a Python module of this shape would bind.
constexpr const char* kImports =
    "import asyncio\n"
    "import queue\n"
    "import threading\n"
    "import time\n"
    "from pathlib import Path\n"
    "from typing import AsyncIterator, Callable, Literal, Optional\n"
    "from loguru import logger\n"
    "from talvo.api import VideoControl, VideoFrame\n"
    "from talvo.exceptions import VeldaModelNotSupported\n"
    "from talvo.runtime import Talvo\n"
    "BufferEmptyCallback = Callable[[], bool]\n";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "talvo.runtime_async", kModuleDoc, -1, nullptr, nullptr, nullptr,
    nullptr, nullptr,
};

void run_source(const char* source, PyObject* globals, PyObject* locals) {
  host::Ref code = host::Ref::steal(Py_CompileString(source, "<talvo.runtime_async>", Py_file_input));
  host::Ref result = host::Ref::steal(PyEval_EvalCode(code.get(), globals, locals));
}

// Compiles an operation's stub, inside `class AsyncTalvo:` for methods so that its
// `__qualname__` reads "AsyncTalvo.<name>": new reference to the stub function. The stub's
// globals are the module's, so `typing.get_type_hints` resolves its annotations; what the stub
// source binds stays in a scratch namespace.
host::Ref compile_stub(const talvo::Operation& op, PyObject* module_ns) {
  std::string source = "from __future__ import annotations\n";
  if (op.scope == talvo::Scope::instance) {
    source += "class AsyncTalvo:\n";
    std::string stub = op.stub;
    std::size_t start = 0;
    while (start < stub.size()) {
      std::size_t end = stub.find('\n', start);
      if (end == std::string::npos) end = stub.size();
      source += "    " + stub.substr(start, end - start) + "\n";
      start = end + 1;
    }
  } else {
    source += op.stub;
    source += "\n";
  }
  host::Ref scratch = host::Ref::steal(PyDict_New());
  run_source(source.c_str(), module_ns, scratch.get());
  PyObject* holder = op.scope == talvo::Scope::instance
                         ? PyDict_GetItemString(scratch.get(), "AsyncTalvo")
                         : scratch.get();
  if (holder == nullptr) host::raise(PyExc_SystemError, "stub class missing");
  host::Ref fn = op.scope == talvo::Scope::instance
                     ? host::Ref::steal(PyObject_GetAttrString(holder, op.name))
                     : host::Ref::borrow(PyDict_GetItemString(holder, op.name));
  if (!fn) host::raise_format(PyExc_SystemError, "stub for %s missing", op.name);
  return fn;
}

host::Ref make_facade_class(PyObject* module, PyObject* base) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {0, nullptr},
  };
  PyType_Spec spec = {
      "talvo.runtime_async.AsyncTalvo", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots,
  };
  host::Ref bases = host::Ref::steal(PyTuple_Pack(1, base));
  return host::Ref::steal(PyType_FromModuleAndSpec(module, &spec, bases.get()));
}

PyObject* init_module() {
  host::Ref module = host::Ref::steal(PyModule_Create(&g_module_def));
  PyObject* ns = PyModule_GetDict(module.get());  // borrowed
  host::set_module_namespace(ns);
  run_source(kImports, ns, ns);

  // The end-of-stream marker: one plain object, recognised by identity only.
  host::Ref marker = host::Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  host::check(PyDict_SetItemString(ns, "_STREAM_END", marker.get()));

  host::log::init(ns);
  host::init_frame_types();
  host::init_method_types();

  PyObject* talvo_class = PyDict_GetItemString(ns, "Talvo");  // borrowed
  host::Ref facade = make_facade_class(module.get(), talvo_class);
  talvo::base::set_facade_type(facade.get());

  std::vector<const talvo::Operation*> ops = talvo::operations();
  std::stable_sort(ops.begin(), ops.end(),
                   [](const auto* a, const auto* b) { return a->order < b->order; });
  for (const talvo::Operation* op : ops) {
    host::Ref stub = compile_stub(*op, ns);
    host::Ref method = host::make_method(op->spec, stub.view());
    PyObject* target = op->scope == talvo::Scope::instance ? facade.get() : module.get();
    host::check(PyObject_SetAttrString(target, op->name, method.get()));
  }
  host::check(PyDict_SetItemString(ns, "AsyncTalvo", facade.get()));
  host::check(PyDict_SetItemString(
      ns, "__all__", host::Ref::steal(Py_BuildValue("[s]", "AsyncTalvo")).get()));
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_runtime_async(void) {
  return host::translate<PyObject*>(nullptr, [] { return init_module(); });
}
