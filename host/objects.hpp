// Plain objects as the facade uses them: the singletons, type tests, numbers, text, iteration and
// lists, each one C-API step that would otherwise be spelled out in the facade.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>

#include "host/error.hpp"
#include "host/names.hpp"
#include "host/refs.hpp"

namespace host {

/// Borrowed: `None`.
inline Borrowed none() noexcept {
  return Borrowed(Py_None);
}
/// Borrowed: `True` or `False`.
inline Borrowed boolean(bool value) noexcept {
  return Borrowed(value ? Py_True : Py_False);
}

/// `isinstance(obj, str)`.
inline bool is_str(Borrowed obj) noexcept {
  return PyUnicode_Check(obj.get());
}
/// `isinstance(obj, Exception)`, by the type alone (no `__instancecheck__`).
inline bool is_exception(Borrowed obj) noexcept {
  return PyObject_TypeCheck(obj.get(), reinterpret_cast<PyTypeObject*>(PyExc_Exception));
}
/// An int in all but name: has `__index__` and is not a bool.
inline bool is_integer(Borrowed obj) noexcept {
  return PyIndex_Check(obj.get()) && !PyBool_Check(obj.get());
}
/// `operator.index(obj)`: new reference.
Ref index(Borrowed obj);
/// `float(obj)` of a number, as a C++ double.
double as_double(Borrowed obj);
/// `a == b`.
bool equals(Borrowed a, Borrowed b);
/// `a == b` for two str objects, without an error on unequal ones.
bool same_text(Borrowed a, Borrowed b);

/// `repr(obj)`: new reference.
Ref repr(Borrowed obj);
/// A str made as `PyUnicode_FromFormat` makes it: new reference.
Ref format(const char* format, ...);
/// Raises `TypeError("<expectation>, not <type name of obj>")`.
[[noreturn]] void raise_wrong_type(const char* expectation, Borrowed obj);

/// `iter(obj)`: new reference.
Ref iter(Borrowed obj);
/// `next(it)`: new reference, or an empty `Ref` once the iterator is exhausted.
Ref next(Borrowed it);

/// `obj.name()`, or an empty `Ref` when it raises `absent` (told apart without a C++ throw, which
/// costs more than a cheap call such as `get_nowait`).
Ref call_method_unless(Borrowed obj, Name& name, Borrowed absent);

/// A dict whose keys are `keys` and whose values are `values`, in order: new reference.
Ref dict(KwNames& keys, std::initializer_list<Borrowed> values);

/// `[]`: new reference.
Ref list();
/// `isinstance(obj, list)`.
inline bool is_list(Borrowed obj) noexcept {
  return PyList_Check(obj.get());
}
/// `len(list)` of a list.
inline std::size_t list_size(Borrowed list) noexcept {
  return static_cast<std::size_t>(PyList_GET_SIZE(list.get()));
}
/// Borrowed: `list[i]` of a list, `i` in range.
inline Borrowed list_item(Borrowed list, std::size_t i) noexcept {
  return Borrowed(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i)));
}
/// `list.append(item)`.
void list_append(Borrowed list, Borrowed item);
/// `taken = list[:]; del list[:]` with no Python code in between: new reference to `taken`.
Ref list_take_all(Borrowed list);
/// Deletes the last entry that is `item` (identity); false when there is none.
bool list_remove_last(Borrowed list, Borrowed item);

/// `getattr(obj, name)`, or an empty `Ref` when `obj` has no such attribute.
Ref getattr_optional(Borrowed obj, Name& name);
/// `len(obj)`.
std::size_t length(Borrowed obj);

/// An identity table, `{id(obj): obj}`: holding the object keeps its identity unique.
/// `{}`: new reference.
Ref dict();
/// `table[id(obj)] = obj`.
void table_add(Borrowed table, Borrowed obj);
/// `table.pop(id(obj), None) is not None`.
bool table_discard(Borrowed table, Borrowed obj);
/// `taken = list(table.values()); table.clear()`: new reference to `taken`.
Ref table_take_all(Borrowed table);
/// `id(obj) in table`.
bool table_contains(Borrowed table, Borrowed obj);

}  // namespace host
