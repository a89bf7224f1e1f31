#include "host/stub_check.hpp"

#include <string>

#include "host/signature.hpp"

namespace host {

namespace {

struct KindNeeds {
  const char* body;
  const char* stub;
  int flag;  ///< the code flag the stub must carry (0: neither coroutine nor async generator)
  bool has_body;
};

KindNeeds needs(const MethodSpec& spec) {
  switch (spec.kind) {
    case MethodKind::coroutine:
    case MethodKind::class_coroutine:
      return {"coroutine", "an `async def` stub", CO_COROUTINE, spec.task != nullptr};
    case MethodKind::stream:
      return {"stream", "an `async def` stub that yields", CO_ASYNC_GENERATOR,
              spec.stream != nullptr};
    case MethodKind::function:
    case MethodKind::free_function:
      return {"function", "a plain `def` stub", 0, spec.function != nullptr};
  }
  raise(PyExc_SystemError, "unknown method kind");
}

// "self, data, sample_rate": the first `n` parameter names of `code`.
std::string parameter_names(PyObject* code, Py_ssize_t n) {
  Ref varnames = Ref::steal(PyCode_GetVarnames(reinterpret_cast<PyCodeObject*>(code)));
  std::string out;
  for (Py_ssize_t i = 0; i < n && i < PyTuple_GET_SIZE(varnames.get()); ++i) {
    const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(varnames.get(), i));
    if (name == nullptr) throw_python_error();
    out += (i > 0 ? ", " : "") + std::string(name);
  }
  return out;
}

}  // namespace

void check_stub(const MethodSpec& spec, Py_ssize_t params, Borrowed stub) {
  if (!PyFunction_Check(stub.get())) {
    raise_format(PyExc_SystemError, "%R: an operation's stub must be a function", stub.get());
  }
  PyObject* code = PyFunction_GetCode(stub.get());  // borrowed
  Ref qualname = Ref::steal(PyObject_GetAttrString(stub.get(), "__qualname__"));
  const KindNeeds kind = needs(spec);
  if (!kind.has_body) {
    raise_format(PyExc_SystemError, "%U: no %s body given", qualname.get(), kind.body);
  }
  const int flags = reinterpret_cast<PyCodeObject*>(code)->co_flags;
  if ((flags & (CO_COROUTINE | CO_ASYNC_GENERATOR)) != kind.flag) {
    raise_format(PyExc_SystemError, "%U: a %s body needs %s", qualname.get(), kind.body, kind.stub);
  }
  const Py_ssize_t declared = Signature(stub).size();  // also refuses *args, **kwargs
  if (declared != params) {
    raise_format(PyExc_SystemError,
                 "%U: the body reads %zd arguments by position, but the stub declares %zd (%s)",
                 qualname.get(), params, declared, parameter_names(code, declared).c_str());
  }
}

}  // namespace host
