// What differs between the CPython versions we support (3.11 to 3.15), in one place.
//
// Everything else in host/ uses the public C API only. A function here exists because the public
// API spells the same operation differently across those versions; each says which.
#pragma once

#include <Python.h>

namespace host::compat {

/// `obj.name` as a new reference in `*result`: 1 when found, 0 (and NULL, no error) when the
/// attribute is absent, -1 with the error set on any other failure.
/// 3.13 has this as `PyObject_GetOptionalAttr`; before it, only through the AttributeError.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyObject_GetOptionalAttr(obj, name, result);
#else
  *result = PyObject_GetAttr(obj, name);
  if (*result != nullptr) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
#endif
}

/// The current thread state without the checks that fail when there is none. Safe without the
/// GIL. Public as `PyThreadState_GetUnchecked` from 3.13; 3.11 and 3.12 export it underscored.
/// 3.11 answers with the thread state that holds the GIL, on whichever thread; 3.12 this thread's.
inline PyThreadState* current_thread_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

/// True on a free-threaded build (3.13t and later), whose headers define Py_GIL_DISABLED.
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

/// An async generator's `athrow` refuses a wrong number of arguments at the call from 3.15;
/// before, only when the request it returns is awaited.
inline constexpr bool kAthrowChecksArityAtCall = PY_VERSION_HEX >= 0x030F0000;

/// The interpreter's own words for awaiting an object that cannot be awaited (a `printf` format
/// taking the type's name), so that our coroutines fail exactly as `async def` ones do. 3.14
/// reworded it from "object int can't be used in 'await' expression".
#if PY_VERSION_HEX >= 0x030E0000
#define HOST_COMPAT_NOT_AWAITABLE "'%.100s' object can't be awaited"
#else
#define HOST_COMPAT_NOT_AWAITABLE "object %.100s can't be used in 'await' expression"
#endif

}  // namespace host::compat
