#include "host/error.hpp"

#include <cstdarg>

namespace host {

PyError::PyError() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) {
    value_ = Ref::steal_or_null(
        PyObject_CallFunction(PyExc_SystemError, "s", "error return without exception set"));
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  value_ = Ref::steal_or_null(value);
}

PyError::PyError(Borrowed exception) : value_(Ref::borrow(exception)) {}

bool PyError::matches(PyObject* type) const noexcept {
  return value_ && PyErr_GivenExceptionMatches(value_.get(), type);
}

void PyError::restore() noexcept {
  if (!value_) {
    PyErr_SetString(PyExc_SystemError, "lost Python error");
    return;
  }
  Ref value = std::move(value_);
  PyObject* tb = PyException_GetTraceback(value.get());  // new reference or NULL
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value.get()));
  Py_INCREF(type);
  PyErr_Restore(type, value.release(), tb);
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw_python_error();
}

void raise(Borrowed type, Borrowed message) {
  PyErr_SetObject(type.get(), message.get());
  throw_python_error();
}

void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw_python_error();
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (PyError& e) {
    e.restore();
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error: unknown C++ exception");
  }
}

}  // namespace host
