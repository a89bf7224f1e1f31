#include "host/function.hpp"

#include "host/error.hpp"

namespace host::detail {

namespace {
constexpr const char* kCapsule = "talvo.host.function";

// The body and the method definition the function points at live in one capsule, the
// function's `self`, which outlives every call.
struct Holder {
  PyMethodDef def;
  std::unique_ptr<FunctionBody> body;
};

Holder* holder_of(PyObject* capsule) {
  return static_cast<Holder*>(PyCapsule_GetPointer(capsule, kCapsule));
}

// Runs with the GIL held, when the last reference to the function goes.
void free_holder(PyObject* capsule) {
  delete holder_of(capsule);
}

PyObject* call(PyObject* capsule, PyObject*) {
  return translate<PyObject*>(nullptr, [&]() -> PyObject* {
    Holder* holder = holder_of(capsule);
    if (holder == nullptr) throw_python_error();
    return holder->body->call().release();
  });
}
}  // namespace

Ref make_function(const char* name, std::unique_ptr<FunctionBody> body) {
  auto holder =
      std::make_unique<Holder>(Holder{{name, call, METH_NOARGS, nullptr}, std::move(body)});
  Ref capsule = Ref::steal(PyCapsule_New(holder.get(), kCapsule, free_holder));
  Holder* owned = holder.release();  // the capsule owns it now
  return Ref::steal(PyCFunction_New(&owned->def, capsule.get()));
}

}  // namespace host::detail
