#include "runtime_async/operation.hpp"

namespace talvo {

std::vector<const Operation*>& operations() {
  static std::vector<const Operation*> all;  // built before main code runs; read at module init
  return all;
}

}  // namespace talvo
