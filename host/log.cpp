#include "host/log.hpp"

#include "host/names.hpp"

namespace host::log {

namespace {

// The name of the operation whose body runs on this thread (borrowed), or NULL outside one.
thread_local PyObject* t_operation = nullptr;

PyObject* g_template = nullptr;  // strong: the helper's code object, compiled once
PyObject* g_globals = nullptr;   // strong: the module's dict
PyObject* g_emitters = nullptr;  // strong: dict, operation name -> helper named after it

constexpr const char* kHelperSource =
    "def _emit(level, message):\n"
    "    getattr(logger, level)(message)\n";

Name n_debug{"debug"};
Name n_warning{"warning"};
Name n_error{"error"};
Name n_replace{"replace"};
Name n_fallback{"_emit"};
KwNames kw_code_names("co_name", "co_qualname");

// The helper named `name`, made on first use: borrowed from the cache.
PyObject* emitter(PyObject* name) {
  PyObject* fn = PyDict_GetItemWithError(g_emitters, name);  // borrowed
  if (fn != nullptr) return fn;
  if (PyErr_Occurred()) throw_python_error();
  Ref replace = getattr(Borrowed(g_template), n_replace);
  Ref code = call_kw(replace.view(), {Borrowed(name), Borrowed(name)}, kw_code_names);
  Ref made = Ref::steal(PyFunction_New(code.get(), g_globals));
  check(PyDict_SetItem(g_emitters, name, made.get()));
  return made.get();  // the cache holds it
}

void emit(Name& level, Borrowed message) {
  PyObject* name = t_operation != nullptr ? t_operation : n_fallback.get();
  PyObject* fn = emitter(name);
  call(Borrowed(fn), {Borrowed(level.get()), message});
}

void emit(Name& level, const char* message) {
  Ref text = str(message);
  emit(level, text.view());
}

}  // namespace

OperationScope::OperationScope(PyObject* name) noexcept : saved_(t_operation) {
  t_operation = name;
}

OperationScope::~OperationScope() {
  t_operation = saved_;
}

void init(PyObject* module_dict) {
  Ref locals = Ref::steal(PyDict_New());
  Ref code = Ref::steal(Py_CompileString(kHelperSource, "<talvo.runtime_async>", Py_file_input));
  Ref done = Ref::steal(PyEval_EvalCode(code.get(), module_dict, locals.get()));
  PyObject* fn = PyDict_GetItemString(locals.get(), "_emit");  // borrowed
  if (fn == nullptr) raise(PyExc_SystemError, "logging helper was not defined");
  Ref helper_code = getattr(Borrowed(fn), dunder::code);
  Ref emitters = Ref::steal(PyDict_New());
  Py_XSETREF(g_template, helper_code.release());
  Py_XSETREF(g_globals, Py_NewRef(module_dict));
  Py_XSETREF(g_emitters, emitters.release());
}

void debug(const char* message) {
  emit(n_debug, message);
}
void warning(const char* message) {
  emit(n_warning, message);
}
void error(const char* message) {
  emit(n_error, message);
}

void error_with(const char* prefix, Borrowed error) {
  Ref head = str(prefix);
  Ref tail = str_of(error);
  Ref line = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
  emit(n_error, line.view());
}

}  // namespace host::log
