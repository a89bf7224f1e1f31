#include "host/names.hpp"

#include <vector>

namespace host {

namespace {
PyObject* g_namespace = nullptr;  // strong; the module lives until the interpreter ends
}

PyObject* Name::get() {
  if (interned_ == nullptr) {
    interned_ = PyUnicode_InternFromString(text_);
    if (interned_ == nullptr) throw_python_error();
  }
  return interned_;
}

PyObject* KwNames::get() {
  if (tuple_ == nullptr) {
    Py_ssize_t n = size();
    Ref t = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* s = PyUnicode_InternFromString(names_[i]);
      if (s == nullptr) throw_python_error();
      PyTuple_SET_ITEM(t.get(), i, s);
    }
    tuple_ = t.release();
  }
  return tuple_;
}

Py_ssize_t KwNames::size() const noexcept {
  Py_ssize_t n = 0;
  while (n < kMax && names_[n] != nullptr) ++n;
  return n;
}

void set_module_namespace(PyObject* dict) {
  Py_XINCREF(dict);
  Py_XSETREF(g_namespace, dict);
}

Ref global(Name& name) {
  PyObject* value = PyDict_GetItemWithError(g_namespace, name.get());  // borrowed
  if (value == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text());
    }
    throw_python_error();
  }
  return Ref::borrow(value);
}

Ref getattr(Borrowed obj, Name& name) {
  return Ref::steal(PyObject_GetAttr(obj.get(), name.get()));
}

void setattr(Borrowed obj, Name& name, Borrowed value) {
  check(PyObject_SetAttr(obj.get(), name.get(), value.get()));
}

namespace {
// Small argument lists live on the stack; vectorcall needs one spare slot in front.
struct ArgArray {
  explicit ArgArray(std::initializer_list<Borrowed> args, std::size_t front = 1) {
    std::size_t n = args.size() + front;
    data = n <= kInline ? inline_ : (heap.resize(n), heap.data());
    std::size_t i = front;
    for (Borrowed b : args) data[i++] = b.get();
  }
  static constexpr std::size_t kInline = 8;
  PyObject* inline_[kInline] = {};
  std::vector<PyObject*> heap;
  PyObject** data;
};
}  // namespace

Ref call(Borrowed callable, std::initializer_list<Borrowed> args) {
  ArgArray a(args);
  return Ref::steal(PyObject_Vectorcall(callable.get(), a.data + 1,
                                        args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_kw(Borrowed callable, std::initializer_list<Borrowed> args, KwNames& kwnames) {
  ArgArray a(args);
  PyObject* names = kwnames.get();
  std::size_t nargs = args.size() - static_cast<std::size_t>(kwnames.size());
  return Ref::steal(PyObject_Vectorcall(callable.get(), a.data + 1,
                                        nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}

Ref call_method(Borrowed obj, Name& name, std::initializer_list<Borrowed> args) {
  ArgArray a(args, 2);  // [spare, self, args...]
  a.data[1] = obj.get();
  return Ref::steal(PyObject_VectorcallMethod(
      name.get(), a.data + 1, (args.size() + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_method_kw(Borrowed obj, Name& name, std::initializer_list<Borrowed> args,
                   KwNames& kwnames) {
  ArgArray a(args, 2);
  a.data[1] = obj.get();
  std::size_t nargs = args.size() + 1 - static_cast<std::size_t>(kwnames.size());
  return Ref::steal(PyObject_VectorcallMethod(
      name.get(), a.data + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

bool truthy(Borrowed obj) {
  return check(PyObject_IsTrue(obj.get())) != 0;
}

Ref str(const char* utf8) {
  return Ref::steal(PyUnicode_FromString(utf8));
}
Ref str_of(Borrowed obj) {
  return Ref::steal(PyObject_Str(obj.get()));
}
Ref float_(double value) {
  return Ref::steal(PyFloat_FromDouble(value));
}
Ref int_(long long value) {
  return Ref::steal(PyLong_FromLongLong(value));
}

Ref import(const char* dotted_name) {
  return Ref::steal(PyImport_ImportModule(dotted_name));
}

}  // namespace host
