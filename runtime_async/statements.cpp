#include "runtime_async/statements.hpp"

#include "host/compat.hpp"

namespace talvo::py {

namespace {
host::Name n_dunder_name{"__name__"};
host::Name n_dunder_file{"__file__"};

// Borrowed `obj.name`, or NULL when it is absent; other lookup errors are thrown.
host::Ref lookup(host::Borrowed obj, host::Name& name) {
  PyObject* value = nullptr;
  host::check(host::compat::get_optional_attr(obj.get(), name.get(), &value));
  return host::Ref::steal_or_null(value);
}

void require_instance(host::Borrowed exc) {
  if (!PyExceptionInstance_Check(exc.get())) {
    host::raise(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}
}  // namespace

host::Ref import_from(host::Borrowed module, host::Name& name) {
  if (host::Ref value = lookup(module, name)) return value;
  host::Ref package = lookup(module, n_dunder_name);
  if (!package || !PyUnicode_Check(package.get())) {
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from <unknown module name>",
                 name.text());
    host::throw_python_error();
  }
  // A submodule already in sys.modules satisfies the statement even when not an attribute.
  host::Ref full = host::Ref::steal(PyUnicode_FromFormat("%U.%s", package.get(), name.text()));
  if (host::Ref submodule = host::Ref::steal_or_null(PyImport_GetModule(full.get()))) {
    return submodule;
  }
  if (PyErr_Occurred()) host::throw_python_error();
  host::Ref file = lookup(module, n_dunder_file);
  host::Ref message =
      file ? host::Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)",
                                                   name.text(), package.get(), file.get()))
           : host::Ref::steal(PyUnicode_FromFormat(
                 "cannot import name '%s' from %R (unknown location)", name.text(), package.get()));
  PyErr_SetImportError(message.get(), package.get(), file ? file.get() : nullptr);
  host::throw_python_error();
}

void raise_instance(host::Borrowed exc) {
  require_instance(exc);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  host::throw_python_error();
}

void raise_from(host::Borrowed exc, host::Borrowed cause) {
  require_instance(exc);
  // Both calls steal a reference. Setting the cause also suppresses the context in tracebacks.
  PyException_SetCause(exc.get(), Py_NewRef(cause.get()));
  PyException_SetContext(exc.get(), Py_NewRef(cause.get()));
  throw host::PyError(exc);
}

}  // namespace talvo::py
