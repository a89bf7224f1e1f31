#include "runtime_async/contracts/base_renderer.hpp"

#include "host/compat.hpp"
#include "runtime_async/state.hpp"

namespace talvo::base {

namespace {
// Every `AsyncTalvo` class made so far, newest last (strong). A module imported again after
// `del sys.modules[...]` makes a new class; instances of an earlier one still find theirs.
PyObject* g_facade_types = nullptr;

host::Name n_init{"__init__"};
host::Name n_load_data{"load_data"};
host::Name n_run{"run"};
host::Name n_cleanup{"cleanup"};
host::Name n_interrupt{"interrupt"};
host::Name n_input_buffer{"_input_buffer"};
host::Name n_aput{"aput"};
host::Name n_set_loop{"set_loop"};
host::Name n_transaction_id{"transaction_id"};
host::Name n_regenerate{"_regenerate_transaction_id"};
host::Name n_video_graph{"video_graph"};
host::Name n_video_loaded{"_video_loaded"};
host::KwNames kw_init("model_path", "input_buffer_size", "num_threads", "batch_workers");
host::KwNames kw_idle_timeout("idle_timeout");
}  // namespace

void set_facade_type(PyObject* type) {
  if (g_facade_types == nullptr) g_facade_types = host::Ref::steal(PyList_New(0)).release();
  host::check(PyList_Append(g_facade_types, type));
}

PyObject* facade_type() noexcept {
  Py_ssize_t n = g_facade_types ? PyList_GET_SIZE(g_facade_types) : 0;
  return n ? PyList_GET_ITEM(g_facade_types, n - 1) : nullptr;
}

namespace {
// The `AsyncTalvo` class in the instance's MRO (borrowed).
PyObject* facade_type_of(host::Borrowed self) {
  if (PyList_GET_SIZE(g_facade_types) == 1) return PyList_GET_ITEM(g_facade_types, 0);
  PyObject* mro = Py_TYPE(self.get())->tp_mro;
  for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* cls = PyTuple_GET_ITEM(mro, i);
    if (host::check(PySequence_Contains(g_facade_types, cls))) return cls;
  }
  return facade_type();
}

// `super().<name>`, bound to `self`: new reference.
host::Ref method(host::Borrowed self, host::Name& name) {
  host::Ref super = host::call(host::Borrowed(reinterpret_cast<PyObject*>(&PySuper_Type)),
                               {host::Borrowed(facade_type_of(self)), self});
  return host::getattr(super.view(), name);
}
}  // namespace

host::Ref set_model_method(host::Borrowed self) {
  return method(self, names::set_model);
}

host::Ref load_data_method(host::Borrowed self) {
  return method(self, n_load_data);
}

void construct(host::Borrowed self, host::Borrowed input_buffer_size, host::Borrowed num_threads,
               host::Borrowed batch_workers) {
  host::Ref init = method(self, n_init);
  host::call_kw(init.view(),
                {host::Borrowed(Py_None), input_buffer_size, num_threads, batch_workers}, kw_init);
}

void set_model(host::Borrowed self, host::Borrowed model_path) {
  host::Ref fn = method(self, names::set_model);
  host::call(fn.view(), {model_path});
}

host::Ref run(host::Borrowed self, host::Borrowed callback, host::Borrowed idle_timeout) {
  host::Ref fn = method(self, n_run);
  return host::call_kw(fn.view(), {callback, idle_timeout}, kw_idle_timeout);
}

void cleanup(host::Borrowed self) {
  host::Ref fn = method(self, n_cleanup);
  host::call(fn.view());
}

host::Ref interrupt_method(host::Borrowed self) {
  host::Ref super = host::call(host::Borrowed(reinterpret_cast<PyObject*>(&PySuper_Type)),
                               {host::Borrowed(facade_type_of(self)), self});
  PyObject* bound = nullptr;
  host::check(host::compat::get_optional_attr(super.get(), n_interrupt.get(), &bound));
  return host::Ref::steal_or_null(bound);
}

host::Ref input_aput(host::Borrowed self, host::Borrowed item) {
  host::Ref buffer = host::getattr(self, n_input_buffer);
  return host::call_method(buffer.view(), n_aput, {item});
}

void input_set_loop(host::Borrowed self, host::Borrowed loop) {
  host::Ref buffer = host::getattr(self, n_input_buffer);
  host::call_method(buffer.view(), n_set_loop, {loop});
}

bool has_transaction_id(host::Borrowed self) {
  PyObject* value = nullptr;
  if (host::check(host::compat::get_optional_attr(self.get(), n_transaction_id.get(), &value)) ==
      0) {
    return false;
  }
  host::Ref owned = host::Ref::steal(value);
  return host::truthy(owned.view());
}

void regenerate_transaction_id(host::Borrowed self) {
  host::Ref fn = method(self, n_regenerate);
  host::call(fn.view());
}

bool video_graph_is_none(host::Borrowed self) {
  return host::getattr(self, n_video_graph).is_none();
}

bool video_loaded(host::Borrowed self) {
  return host::truthy(host::getattr(self, n_video_loaded).view());
}

void mark_video_loaded(host::Borrowed self) {
  host::setattr(self, n_video_loaded, host::Borrowed(Py_True));
}

}  // namespace talvo::base
