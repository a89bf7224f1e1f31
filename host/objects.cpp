#include "host/objects.hpp"

#include <cstdarg>

#include "host/compat.hpp"

namespace host {

Ref index(Borrowed obj) {
  return Ref::steal(PyNumber_Index(obj.get()));
}

double as_double(Borrowed obj) {
  double value = PyFloat_AsDouble(obj.get());
  if (value == -1.0 && PyErr_Occurred()) throw_python_error();
  return value;
}

bool equals(Borrowed a, Borrowed b) {
  return check(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0;
}

bool same_text(Borrowed a, Borrowed b) {
  if (PyUnicode_Compare(a.get(), b.get()) == 0) return true;
  if (PyErr_Occurred()) throw_python_error();
  return false;
}

Ref repr(Borrowed obj) {
  return Ref::steal(PyObject_Repr(obj.get()));
}

Ref format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyObject* text = PyUnicode_FromFormatV(format, args);
  va_end(args);
  return Ref::steal(text);
}

void raise_wrong_type(const char* expectation, Borrowed obj) {
  Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(obj.get())));
  raise_format(PyExc_TypeError, "%s, not %U", expectation, type_name.get());
}

Ref iter(Borrowed obj) {
  return Ref::steal(PyObject_GetIter(obj.get()));
}

Ref next(Borrowed it) {
  Ref item = Ref::steal_or_null(PyIter_Next(it.get()));
  if (!item && PyErr_Occurred()) throw_python_error();
  return item;
}

Ref call_method_unless(Borrowed obj, Name& name, Borrowed absent) {
  PyObject* result = PyObject_CallMethodNoArgs(obj.get(), name.get());
  if (result != nullptr) return Ref::steal(result);
  if (!PyErr_ExceptionMatches(absent.get())) throw_python_error();
  PyErr_Clear();
  return Ref();
}

Ref dict(KwNames& keys, std::initializer_list<Borrowed> values) {
  Ref result = Ref::steal(PyDict_New());
  PyObject* names = keys.get();
  Py_ssize_t i = 0;
  for (Borrowed value : values) {
    check(PyDict_SetItem(result.get(), PyTuple_GET_ITEM(names, i++), value.get()));
  }
  return result;
}

Ref list() {
  return Ref::steal(PyList_New(0));
}

void list_append(Borrowed list, Borrowed item) {
  check(PyList_Append(list.get(), item.get()));
}

Ref list_take_all(Borrowed list) {
  Ref taken = Ref::steal(PyList_GetSlice(list.get(), 0, PY_SSIZE_T_MAX));
  check(PyList_SetSlice(list.get(), 0, PY_SSIZE_T_MAX, nullptr));
  return taken;
}

bool list_remove_last(Borrowed list, Borrowed item) {
  for (Py_ssize_t i = PyList_GET_SIZE(list.get()); i-- > 0;) {
    if (PyList_GET_ITEM(list.get(), i) == item.get()) {
      check(PySequence_DelItem(list.get(), i));
      return true;
    }
  }
  return false;
}

Ref getattr_optional(Borrowed obj, Name& name) {
  PyObject* value = nullptr;
  check(compat::get_optional_attr(obj.get(), name.get(), &value));
  return Ref::steal_or_null(value);
}

std::size_t length(Borrowed obj) {
  Py_ssize_t n = PyObject_Length(obj.get());
  if (n < 0) throw_python_error();
  return static_cast<std::size_t>(n);
}

Ref dict() {
  return Ref::steal(PyDict_New());
}

namespace {
Ref identity_key(Borrowed obj) {
  return Ref::steal(PyLong_FromVoidPtr(obj.get()));
}
}  // namespace

void table_add(Borrowed table, Borrowed obj) {
  Ref key = identity_key(obj);
  check(PyDict_SetItem(table.get(), key.get(), obj.get()));
}

bool table_discard(Borrowed table, Borrowed obj) {
  Ref key = identity_key(obj);
  PyObject* found = PyDict_GetItemWithError(table.get(), key.get());  // borrowed
  if (found == nullptr) {
    if (PyErr_Occurred()) throw_python_error();
    return false;
  }
  check(PyDict_DelItem(table.get(), key.get()));
  return true;
}

bool table_contains(Borrowed table, Borrowed obj) {
  Ref key = identity_key(obj);
  return check(PyDict_Contains(table.get(), key.get())) != 0;
}

Ref table_take_all(Borrowed table) {
  Ref values = Ref::steal(PyDict_Values(table.get()));
  PyDict_Clear(table.get());
  return values;
}

}  // namespace host
