// Interned names, the module namespace, and call helpers.
//
// Collaborators are looked up when they are used, by name, as a Python module would look up its
// globals: `mock.patch("talvo.runtime_async.logger")` then takes effect at once.
#pragma once

#include <Python.h>

#include <initializer_list>

#include "host/error.hpp"
#include "host/refs.hpp"

namespace host {

/// An interned string, made on first use (with the GIL held) and kept for the process lifetime.
class Name {
 public:
  constexpr explicit Name(const char* text) noexcept : text_(text) {}
  /// Borrowed: the interned string lives as long as the process.
  PyObject* get();
  const char* text() const noexcept { return text_; }

 private:
  const char* text_;
  PyObject* interned_ = nullptr;
};

/// Names more than one host file looks up, declared once.
namespace dunder {
inline Name name{"__name__"};
inline Name qualname{"__qualname__"};
inline Name code{"__code__"};
inline Name defaults{"__defaults__"};
inline Name kwdefaults{"__kwdefaults__"};
}  // namespace dunder

/// A keyword-name tuple for vectorcall, made on first use and kept.
class KwNames {
 public:
  constexpr explicit KwNames(const char* a, const char* b = nullptr, const char* c = nullptr,
                             const char* d = nullptr, const char* e = nullptr,
                             const char* f = nullptr) noexcept
      : names_{a, b, c, d, e, f} {}
  /// Borrowed tuple of the names.
  PyObject* get();
  Py_ssize_t size() const noexcept;

 private:
  static constexpr int kMax = 6;
  const char* names_[kMax];
  PyObject* tuple_ = nullptr;
};

/// The namespace (globals) of the extension module: set once at module initialisation.
void set_module_namespace(PyObject* dict);
/// New reference to a module global; `NameError` when it is missing, as Python would say.
Ref global(Name& name);

/// `getattr(obj, name)`: new reference.
Ref getattr(Borrowed obj, Name& name);
/// `setattr(obj, name, value)`.
void setattr(Borrowed obj, Name& name, Borrowed value);
/// `obj(*args)`: new reference.
Ref call(Borrowed callable, std::initializer_list<Borrowed> args = {});
/// `obj(*args, **dict(zip(kwnames, kwargs)))`: the last `kwnames.size()` of `args` are keywords.
Ref call_kw(Borrowed callable, std::initializer_list<Borrowed> args, KwNames& kwnames);
/// `obj.name(*args)`: new reference.
Ref call_method(Borrowed obj, Name& name, std::initializer_list<Borrowed> args = {});
/// `obj.name(*positional, **keywords)` with the last `kwnames.size()` of `args` as keywords.
Ref call_method_kw(Borrowed obj, Name& name, std::initializer_list<Borrowed> args,
                   KwNames& kwnames);
/// Truth test of `bool(obj)`.
bool truthy(Borrowed obj);
/// A Python str from UTF-8 text: new reference.
Ref str(const char* utf8);
/// `str(obj)`: new reference.
Ref str_of(Borrowed obj);
/// Python float: new reference.
Ref float_(double value);
/// Python int: new reference.
Ref int_(long long value);
/// `import name` through `sys.modules` and the import system: new reference to the module.
Ref import(const char* dotted_name);

}  // namespace host
