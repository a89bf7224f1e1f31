// How each concern of the facade declares its operations.
//
// A concern's .cpp file registers its operations with a static `Operation`: where it stands in the
// class, its kind, its C++ body, and a Python stub whose signature and docstring the operation
// takes over (inspect.signature and help() show exactly these). The module's initialisation
// compiles the stubs and installs the operations in order (binding/module.cpp). Registering
// builds plain C++ data only; nothing touches Python before the module initialises.
#pragma once

#include <vector>

#include "host/method.hpp"

namespace talvo {

enum class Scope {
  instance,  ///< an attribute of AsyncTalvo
  module,    ///< a module-level function
};

struct Operation {
  int order;            ///< position among the class's (or module's) items
  const char* name;
  Scope scope;
  host::MethodSpec spec;
  const char* stub;     ///< Python source of a stub `def` / `async def` with the signature and doc
};

/// All registered operations (unordered).
std::vector<const Operation*>& operations();

/// Registers an operation at static-initialisation time.
struct Register {
  explicit Register(const Operation& op) { operations().push_back(&op); }
};

}  // namespace talvo
