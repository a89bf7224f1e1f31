// The heap types host/ defines: one way to make them, with the flags they all share.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "host/refs.hpp"

namespace host {

/// A GC-tracked heap type, not instantiable from Python, from `slots` (no terminator) and then
/// `common` (slots several types share). Lives as long as the process; the arrays the slots
/// point at must too.
inline PyTypeObject* make_type(const char* name, std::size_t basicsize,
                               std::initializer_list<PyType_Slot> slots,
                               std::initializer_list<PyType_Slot> common = {},
                               unsigned long extra_flags = 0) {
  const unsigned long flags =
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | extra_flags;
  std::vector<PyType_Slot> all(slots);
  all.insert(all.end(), common);
  all.push_back({0, nullptr});
  PyType_Spec spec = {name, static_cast<int>(basicsize), 0, static_cast<unsigned int>(flags),
                      all.data()};
  return reinterpret_cast<PyTypeObject*>(Ref::steal(PyType_FromSpec(&spec)).release());
}

}  // namespace host
