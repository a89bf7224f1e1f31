#include "host/statements.hpp"

#include "host/compat.hpp"

namespace host {

namespace {
Name n_dunder_file{"__file__"};

// Borrowed `obj.name`, or NULL when it is absent; other lookup errors are thrown.
Ref lookup(Borrowed obj, Name& name) {
  PyObject* value = nullptr;
  check(compat::get_optional_attr(obj.get(), name.get(), &value));
  return Ref::steal_or_null(value);
}

void require_instance(Borrowed exc) {
  if (!PyExceptionInstance_Check(exc.get())) {
    raise(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}
}  // namespace

Ref import_from(Borrowed module, Name& name) {
  if (Ref value = lookup(module, name)) return value;
  Ref package = lookup(module, dunder::name);
  if (!package || !PyUnicode_Check(package.get())) {
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from <unknown module name>",
                 name.text());
    throw_python_error();
  }
  // A submodule already in sys.modules satisfies the statement even when not an attribute.
  Ref full = Ref::steal(PyUnicode_FromFormat("%U.%s", package.get(), name.text()));
  if (Ref submodule = Ref::steal_or_null(PyImport_GetModule(full.get()))) {
    return submodule;
  }
  if (PyErr_Occurred()) throw_python_error();
  Ref file = lookup(module, n_dunder_file);
  Ref message =
      file ? Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", name.text(),
                                             package.get(), file.get()))
           : Ref::steal(PyUnicode_FromFormat("cannot import name '%s' from %R (unknown location)",
                                             name.text(), package.get()));
  PyErr_SetImportError(message.get(), package.get(), file ? file.get() : nullptr);
  throw_python_error();
}

void raise_instance(Borrowed exc) {
  require_instance(exc);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  throw_python_error();
}

void raise_from(Borrowed exc, Borrowed cause) {
  require_instance(exc);
  // Both calls steal a reference. Setting the cause also suppresses the context in tracebacks.
  PyException_SetCause(exc.get(), Py_NewRef(cause.get()));
  PyException_SetContext(exc.get(), Py_NewRef(cause.get()));
  throw PyError(exc);
}

}  // namespace host
