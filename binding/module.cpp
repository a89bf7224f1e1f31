// The module `talvo.runtime_async`: its namespace, the marker `_STREAM_END`, and the class
// `AsyncTalvo` built over the Python class `talvo.runtime.Talvo`.
//
// The namespace holds what a Python module of this shape would hold (its imports included), and
// the C++ code reaches every collaborator through it when it uses it.
#include <Python.h>

#include <string>

#include "host/compat.hpp"
#include "host/coroutine.hpp"
#include "host/log.hpp"
#include "host/method.hpp"
#include "host/names.hpp"
#include "host/stub_check.hpp"
#include "runtime_async/contracts/base_renderer.hpp"
#include "runtime_async/operation.hpp"

namespace {

constexpr const char* kModuleDoc = "Asyncio front end of the Talvo renderer.";
constexpr const char* kClassDoc = "Asynchronous wrapper for Talvo Runtime.";

// What `import` statements at the top of a Python module of this shape would bind.
constexpr const char* kImports =
    "import asyncio\n"
    "import os\n"
    "import queue\n"
    "import threading\n"
    "import time\n"
    "from pathlib import Path\n"
    "from types import TracebackType\n"
    "from typing import AsyncGenerator, AsyncIterator, Callable, Literal, Optional\n"
    "from loguru import logger\n"
    "from talvo.api import Interruption, VideoControl, VideoFrame\n"
    "from talvo.exceptions import VeldaModelNotSupported\n"
    "from talvo.runtime import Talvo\n"
    "BufferEmptyCallback = Callable[[], bool]\n";

void run_source(const char* source, PyObject* globals, PyObject* locals) {
  host::Ref code =
      host::Ref::steal(Py_CompileString(source, "<talvo.runtime_async>", Py_file_input));
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

// The C++ layer keeps process-wide state: interned names, the coroutine, async-generator and
// method types, the frame free list (guarded by the GIL, which an interpreter of its own would not
// share). Subinterpreters are refused before any of it is touched, so an attempt leaves every
// interpreter as it was. (3.12's Py_mod_multiple_interpreters refuses isolated ones earlier
// still, but lets legacy ones through.)
void refuse_subinterpreters() {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    host::raise(PyExc_ImportError,
                "talvo.runtime_async cannot be loaded in a subinterpreter: import it in the main "
                "interpreter");
  }
}

// Module execution (PEP 489): runs for every new module object, i.e. on the first import and on
// an import after `del sys.modules[...]`; `importlib.reload` keeps the module as it is. The newest
// module's namespace becomes the one the C++ code reads, so patches on the module object that
// `import` returned take effect; classes made by an earlier one keep working.
void exec_module(PyObject* module) {
  // The same process-wide state, and the objects shared with the producer thread, rely on the
  // GIL: a free-threaded build is refused rather than run unguarded.
  if constexpr (host::compat::kFreeThreaded) {
    host::raise(PyExc_ImportError,
                "talvo.runtime_async needs CPython with the GIL: free-threaded builds (such as "
                "python3.14t) are not supported");
  }
  refuse_subinterpreters();
  PyObject* ns = PyModule_GetDict(module);  // borrowed
  run_source(kImports, ns, ns);
  host::set_module_namespace(ns);

  // The end-of-stream marker: one plain object, recognised by identity only.
  host::Ref marker =
      host::Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  host::check(PyDict_SetItemString(ns, "_STREAM_END", marker.get()));

  host::log::init(ns);
  static bool host_types_ready = false;  // process-wide, made once in the main interpreter
  if (!host_types_ready) {
    host::init_frame_types();
    host::init_method_types();
    host_types_ready = true;
  }

  PyObject* talvo_class = PyDict_GetItemString(ns, "Talvo");  // borrowed
  host::Ref facade = make_facade_class(module, talvo_class);
  talvo::base::set_facade_type(facade.get());

  for (const talvo::Operation* op : talvo::operations()) {
    host::Ref stub = compile_stub(*op, ns);
    host::check_stub(op->spec, op->params, stub.view());  // a mismatch fails the import
    host::Ref method = host::make_method(op->spec, stub.view());
    PyObject* target = op->scope == talvo::Scope::instance ? facade.get() : module;
    host::check(PyObject_SetAttrString(target, op->name, method.get()));
  }
  host::check(PyDict_SetItemString(ns, "AsyncTalvo", facade.get()));
  host::check(PyDict_SetItemString(ns, "__all__",
                                   host::Ref::steal(Py_BuildValue("[s]", "AsyncTalvo")).get()));
}

int exec_slot(PyObject* module) {
  return host::translate<int>(-1, [module] {
    exec_module(module);
    return 0;
  });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

// m_size 0: no C state of its own (the namespace is the module's dict), and a state pointer that
// marks the module as executed, so a reload does not build a second class into it.
PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "talvo.runtime_async",
    kModuleDoc,
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_runtime_async(void) {
  return PyModuleDef_Init(&g_module_def);
}
