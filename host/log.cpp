#include "host/log.hpp"

#include "host/names.hpp"

namespace host::log {

namespace {

PyObject* g_emit = nullptr;  // strong: the helper function, globals = the module's dict

constexpr const char* kHelperSource =
    "def _emit(level, message):\n"
    "    getattr(logger, level)(message)\n";

Name n_debug{"debug"};
Name n_warning{"warning"};
Name n_error{"error"};

void emit(Name& level, Borrowed message) { call(Borrowed(g_emit), {Borrowed(level.get()), message}); }

void emit(Name& level, const char* message) {
  Ref text = str(message);
  emit(level, text.view());
}

}  // namespace

void init(PyObject* module_dict) {
  Ref locals = Ref::steal(PyDict_New());
  Ref code = Ref::steal(Py_CompileString(kHelperSource, "<talvo.runtime_async>", Py_file_input));
  Ref done = Ref::steal(PyEval_EvalCode(code.get(), module_dict, locals.get()));
  PyObject* fn = PyDict_GetItemString(locals.get(), "_emit");  // borrowed
  if (fn == nullptr) raise(PyExc_SystemError, "logging helper was not defined");
  Py_INCREF(fn);
  Py_XSETREF(g_emit, fn);
}

void debug(const char* message) { emit(n_debug, message); }
void warning(const char* message) { emit(n_warning, message); }
void error(const char* message) { emit(n_error, message); }

void error_with(const char* prefix, Borrowed error) {
  Ref head = str(prefix);
  Ref tail = str_of(error);
  Ref line = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
  emit(n_error, line.view());
}

}  // namespace host::log
