// The method type of the operations: a descriptor that binds like a Python function and, when
// called, binds its arguments and returns a coroutine or async-generator object (or, for plain
// operations, runs at once).
//
// Signature, names and docstring come from a stub function compiled from Python source, so
// `inspect.signature`, `inspect.iscoroutinefunction`, `asyncio.iscoroutinefunction` and
// `unittest.mock`'s autospec treat an operation as they treat an `async def` method.
#pragma once

#include "host/coroutine.hpp"

namespace host {

using FunctionBody = Ref (*)(Args);

enum class MethodKind {
  coroutine,        ///< instance method returning a coroutine
  stream,           ///< instance method returning an async generator
  class_coroutine,  ///< bound to the class (called through a subclass, to the subclass)
  function,         ///< instance method that runs at once
  free_function,    ///< module-level function: no binding
};

struct MethodSpec {
  MethodKind kind;
  TaskBody task = nullptr;
  StreamBody stream = nullptr;
  FunctionBody function = nullptr;
};

/// A method object for `spec`, with the signature and texts of `stub`: new reference.
Ref make_method(const MethodSpec& spec, Borrowed stub);
/// Creates the method types. Once, at module init.
void init_method_types();

}  // namespace host
