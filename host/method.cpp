#include "host/method.hpp"

#include "host/heap_type.hpp"
#include "host/log.hpp"
#include "host/names.hpp"

#include <structmember.h>

#include <new>

namespace host {

namespace {

PyTypeObject* g_method_type = nullptr;      // binds like a function
PyObject* g_is_coroutine_marker = nullptr;  // asyncio.coroutines._is_coroutine, if present

Name n_doc{"__doc__"};
Name n_module{"__module__"};
Name n_annotations{"__annotations__"};
Name n_globals{"__globals__"};
Name n_closure{"__closure__"};

struct MethodObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  PyObject* stub;  // owned: the function giving signature and texts
  PyObject* name;
  PyObject* qualname;
  MethodSpec spec;
  Signature signature;
};

MethodObject* as_method(PyObject* o) {
  return reinterpret_cast<MethodObject*>(o);
}

PyObject* method_vectorcall(PyObject* o, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return translate<PyObject*>(nullptr, [&]() -> PyObject* {
    MethodObject* self = as_method(o);
    PyObject* bound[kMaxParams];
    self->signature.bind(args, PyVectorcall_NARGS(nargsf), kwnames, bound);
    const Py_ssize_t n = self->signature.size();
    Borrowed name(self->name), qualname(self->qualname);
    switch (self->spec.kind) {
      case MethodKind::coroutine:
      case MethodKind::class_coroutine:
        return make_coroutine(self->spec.task, bound, n, name, qualname).release();
      case MethodKind::stream:
        return make_async_generator(self->spec.stream, bound, n, name, qualname).release();
      case MethodKind::function:
      case MethodKind::free_function: {
        log::OperationScope scope(self->name);
        return self->spec.function(Args{bound, n}).release();
      }
    }
    return nullptr;
  });
}

PyObject* method_get(PyObject* o, PyObject* obj, PyObject* /*type*/) {
  MethodObject* self = as_method(o);
  if (self->spec.kind == MethodKind::free_function) return Py_NewRef(o);
  if (obj == nullptr || obj == Py_None) return Py_NewRef(o);
  return PyMethod_New(o, obj);
}

// Attributes a function has, read from the stub.
PyObject* stub_attr(PyObject* o, void* closure) {
  return PyObject_GetAttr(as_method(o)->stub, static_cast<Name*>(closure)->get());
}
PyObject* get_is_coroutine(PyObject* o, void*) {
  MethodKind kind = as_method(o)->spec.kind;
  if (g_is_coroutine_marker != nullptr &&
      (kind == MethodKind::coroutine || kind == MethodKind::class_coroutine)) {
    return Py_NewRef(g_is_coroutine_marker);
  }
  PyErr_SetString(PyExc_AttributeError, "_is_coroutine");
  return nullptr;
}

// An operation bound like a function reports itself as one, as a function's stand-ins (mocks)
// do: `unittest.mock`'s autospec then copies its signature and binds `self` exactly as for an
// `async def` method, instead of treating it as an opaque callable. Class-bound operations are
// not functions to autospec (it would eat the class a second time), so they tell the truth.
PyObject* get_class(PyObject* o, void*) {
  if (as_method(o)->spec.kind == MethodKind::class_coroutine) return Py_NewRef(Py_TYPE(o));
  return Py_NewRef(reinterpret_cast<PyObject*>(&PyFunction_Type));
}

PyObject* method_repr(PyObject* o) {
  return PyUnicode_FromFormat("<function %U at %p>", as_method(o)->qualname, o);
}

int method_traverse(PyObject* o, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(o));
  Py_VISIT(as_method(o)->stub);
  return 0;
}

void method_dealloc(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  PyObject_GC_UnTrack(o);
  MethodObject* self = as_method(o);
  Py_CLEAR(self->stub);
  Py_CLEAR(self->name);
  Py_CLEAR(self->qualname);
  self->signature.~Signature();
  PyObject_GC_Del(o);
  Py_DECREF(type);
}

PyGetSetDef method_getset[] = {
    {"__name__", stub_attr, nullptr, nullptr, &dunder::name},
    {"__qualname__", stub_attr, nullptr, nullptr, &dunder::qualname},
    {"__doc__", stub_attr, nullptr, nullptr, &n_doc},
    {"__module__", stub_attr, nullptr, nullptr, &n_module},
    {"__code__", stub_attr, nullptr, nullptr, &dunder::code},
    {"__defaults__", stub_attr, nullptr, nullptr, &dunder::defaults},
    {"__kwdefaults__", stub_attr, nullptr, nullptr, &dunder::kwdefaults},
    {"__annotations__", stub_attr, nullptr, nullptr, &n_annotations},
    {"__globals__", stub_attr, nullptr, nullptr, &n_globals},
    {"__closure__", stub_attr, nullptr, nullptr, &n_closure},
    {"__class__", get_class, nullptr, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

Ref make_method(const MethodSpec& spec, Borrowed stub) {
  PyTypeObject* type = g_method_type;
  Signature signature(stub);
  Ref name = getattr(stub, dunder::name);
  Ref qualname = getattr(stub, dunder::qualname);
  auto* self = PyObject_GC_New(MethodObject, type);
  if (self == nullptr) throw_python_error();
  self->vectorcall = method_vectorcall;
  self->stub = Py_NewRef(stub.get());
  self->name = name.release();
  self->qualname = qualname.release();
  self->spec = spec;
  new (&self->signature) Signature(std::move(signature));
  PyObject_GC_Track(self);
  Ref method = Ref::steal(reinterpret_cast<PyObject*>(self));
  // A real `classmethod` around it, as `@classmethod async def` would leave in the class: tools
  // that read the class's `__dict__` (inspect.getattr_static, type checkers' stub tests, mock)
  // then see a class method.
  if (spec.kind == MethodKind::class_coroutine) return Ref::steal(PyClassMethod_New(method.get()));
  return method;
}

void init_method_types() {
  // METHOD_DESCRIPTOR lets `obj.op(...)` call us with `obj` prepended, without a bound method.
  g_method_type = make_type("talvo.runtime_async.operation", sizeof(MethodObject),
                            {{Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
                             {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
                             {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                             {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
                             {Py_tp_repr, reinterpret_cast<void*>(method_repr)},
                             {Py_tp_getset, method_getset},
                             {Py_tp_members, method_members}},
                            {}, Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR);
  Ref coroutines = import("asyncio.coroutines");
  PyObject* marker = PyObject_GetAttrString(coroutines.get(), "_is_coroutine");
  if (marker == nullptr) PyErr_Clear();
  g_is_coroutine_marker = marker;
}

}  // namespace host
