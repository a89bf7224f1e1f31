// How each concern of the facade declares its operations.
//
// A concern's .cpp file defines its operations as `extern const Operation`: its kind, its C++
// body, how many arguments the body reads, and a Python stub whose signature and docstring the
// operation takes over (inspect.signature and help() show exactly these). Where each one stands
// is decided by the one table in operation.cpp; the module's initialisation checks every body
// against its stub, compiles the stubs and installs the operations in that order
// (binding/module.cpp). Defining builds plain C++ data only; nothing touches Python before the
// module initialises.
#pragma once

#include <span>

#include "host/method.hpp"

namespace talvo {

enum class Scope {
  instance,  ///< an attribute of AsyncTalvo
  module,    ///< a module-level function
};

struct Operation {
  const char* name;
  Scope scope;
  host::MethodSpec spec;
  /// How many bound arguments the body reads by position (`a[0]` to `a[params - 1]`), the
  /// instance or class included: the stub must declare exactly as many parameters.
  int params;
  const char* stub;  ///< Python source of a stub `def` / `async def` with the signature and doc
};

/// Every operation, in the order the module installs them.
std::span<const Operation* const> operations();

}  // namespace talvo
