#include "host/signature.hpp"

#include <string>

#include "host/error.hpp"
#include "host/names.hpp"

namespace host {

namespace {
std::string utf8(PyObject* s) {
  const char* text = PyUnicode_AsUTF8(s);
  if (text == nullptr) throw_python_error();
  return text;
}

std::string plural(Py_ssize_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as CPython lists missing arguments.
std::string name_list(const std::string* names, Py_ssize_t n) {
  std::string out;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i == n - 1 ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}
}  // namespace

Signature::Signature(Borrowed stub) {
  Ref code = getattr(stub, dunder::code);
  auto* co = reinterpret_cast<PyCodeObject*>(code.get());
  if (!PyCode_Check(code.get())) raise(PyExc_TypeError, "stub has no code object");
  if (co->co_flags & (CO_VARARGS | CO_VARKEYWORDS)) {
    raise(PyExc_SystemError, "an operation's stub cannot take *args or **kwargs");
  }
  positional_only_ = co->co_posonlyargcount;
  positional_ = co->co_argcount;
  keyword_only_ = co->co_kwonlyargcount;
  if (size() > kMaxParams) raise(PyExc_SystemError, "too many parameters for an operation");
  Ref varnames = Ref::steal(PyCode_GetVarnames(co));
  names_ = Ref::steal(PyTuple_GetSlice(varnames.get(), 0, size()));
  defaults_ = getattr(stub, dunder::defaults);
  if (defaults_.is_none()) defaults_ = Ref::steal(PyTuple_New(0));
  kwdefaults_ = getattr(stub, dunder::kwdefaults);
  qualname_ = getattr(stub, dunder::qualname);
}

// ---- error reports: off the binding path, worded as CPython's ----------------------------------

void Signature::fail_unexpected_keyword(PyObject* kwnames, PyObject* key) const {
  std::string positional_only;
  for (Py_ssize_t i = 0; i < positional_only_; ++i) {
    PyObject* name = PyTuple_GET_ITEM(names_.get(), i);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
      if (PyUnicode_Compare(name, PyTuple_GET_ITEM(kwnames, k)) != 0) continue;
      if (!positional_only.empty()) positional_only += ", ";
      positional_only += utf8(name);
    }
  }
  if (!positional_only.empty()) {
    raise_format(PyExc_TypeError,
                 "%U() got some positional-only arguments passed as keyword arguments: '%s'",
                 qualname_.get(), positional_only.c_str());
  }
  raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", qualname_.get(),
               key);
}

void Signature::fail_too_many_positional(Py_ssize_t nargs, PyObject* const* out) const {
  const Py_ssize_t ndefaults = PyTuple_GET_SIZE(defaults_.get());
  Py_ssize_t kwonly_given = 0;  // CPython mentions them in this message
  for (Py_ssize_t j = positional_; j < size(); ++j) kwonly_given += out[j] != nullptr;
  std::string takes = ndefaults > 0 ? "from " + std::to_string(positional_ - ndefaults) + " to " +
                                          std::to_string(positional_) + " positional arguments"
                                    : plural(positional_, "positional argument");
  std::string given = std::to_string(nargs);
  if (kwonly_given > 0) {
    given += " positional argument" + std::string(nargs == 1 ? "" : "s") + " (and " +
             plural(kwonly_given, "keyword-only argument") + ")";
  }
  const char* verb = (nargs == 1 && kwonly_given == 0) ? "was" : "were";
  raise_format(PyExc_TypeError, "%U() takes %s but %s %s given", qualname_.get(), takes.c_str(),
               given.c_str(), verb);
}

void Signature::fail_missing(PyObject* const* out, Py_ssize_t begin, Py_ssize_t end,
                             const char* kind) const {
  std::string missing[kMaxParams];
  Py_ssize_t n = 0;
  for (Py_ssize_t i = begin; i < end; ++i) {
    if (out[i] == nullptr) missing[n++] = utf8(PyTuple_GET_ITEM(names_.get(), i));
  }
  raise_format(PyExc_TypeError, "%U() missing %s: %s", qualname_.get(), plural(n, kind).c_str(),
               name_list(missing, n).c_str());
}

// ---- binding -----------------------------------------------------------------------------------

void Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) const {
  const Py_ssize_t total = size();
  if (kwnames == nullptr && nargs == total && keyword_only_ == 0) {  // all given, by position
    for (Py_ssize_t i = 0; i < total; ++i) out[i] = args[i];
    return;
  }
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  // In CPython's order: positionals, then keywords (unknown or repeated names fail first), then
  // the count of positionals, then what is missing.
  const Py_ssize_t given = nargs < positional_ ? nargs : positional_;
  for (Py_ssize_t i = 0; i < given; ++i) out[i] = args[i];
  for (Py_ssize_t i = given; i < total; ++i) out[i] = nullptr;

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t j = positional_only_; j < total; ++j) {
      PyObject* name = PyTuple_GET_ITEM(names_.get(), j);
      if (name == key || PyUnicode_Compare(key, name) == 0) {
        slot = j;
        break;
      }
    }
    if (slot < 0) fail_unexpected_keyword(kwnames, key);
    if (out[slot] != nullptr) {
      raise_format(PyExc_TypeError, "%U() got multiple values for argument '%U'", qualname_.get(),
                   key);
    }
    out[slot] = args[nargs + k];
  }
  if (nargs > positional_) fail_too_many_positional(nargs, out);

  if (given + nkw == total) return;  // every parameter was given
  const Py_ssize_t first_default = positional_ - PyTuple_GET_SIZE(defaults_.get());
  for (Py_ssize_t i = given; i < positional_; ++i) {
    if (out[i] != nullptr) continue;
    if (i < first_default) fail_missing(out, 0, first_default, "required positional argument");
    out[i] = PyTuple_GET_ITEM(defaults_.get(), i - first_default);
  }
  bool missing = false;
  for (Py_ssize_t i = positional_; i < total; ++i) {
    if (out[i] != nullptr) continue;
    PyObject* name = PyTuple_GET_ITEM(names_.get(), i);
    PyObject* value = PyDict_Check(kwdefaults_.get())
                          ? PyDict_GetItemWithError(kwdefaults_.get(), name)
                          : nullptr;
    if (value == nullptr && PyErr_Occurred()) throw_python_error();
    out[i] = value;
    missing = missing || value == nullptr;
  }
  if (missing) fail_missing(out, positional_, total, "required keyword-only argument");
}

}  // namespace host
