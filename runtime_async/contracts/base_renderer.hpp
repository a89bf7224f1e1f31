// What the facade uses of the synchronous base renderer `talvo.runtime.Talvo`, and the only way
// it reaches it. Base operations are found through the MRO after AsyncTalvo, as `super()` finds
// them, so AsyncTalvo's own `set_model` and `run` are bypassed and a patched base method is seen.
#pragma once

#include "host/names.hpp"

namespace talvo::base {

/// Records the AsyncTalvo class, where `super()` lookups start. Once, at module init.
void set_facade_type(PyObject* type);
/// Borrowed: the AsyncTalvo class.
PyObject* facade_type() noexcept;

/// `super().__init__(model_path=None, input_buffer_size=..., num_threads=..., batch_workers=...)`.
void construct(host::Borrowed self, host::Borrowed input_buffer_size, host::Borrowed num_threads,
               host::Borrowed batch_workers);
/// `super().set_model`, bound to `self`: new reference (a callable for the executor).
host::Ref set_model_method(host::Borrowed self);
/// `super().load_data`, bound to `self`: new reference (a callable for the executor).
host::Ref load_data_method(host::Borrowed self);
/// The base renderer's own `set_model(model_path)`, on the calling thread.
void set_model(host::Borrowed self, host::Borrowed model_path);
/// The base renderer's frame iteration, `run(callback, idle_timeout=...)`: new reference.
host::Ref run(host::Borrowed self, host::Borrowed callback, host::Borrowed idle_timeout);
/// The base renderer's `cleanup()`.
void cleanup(host::Borrowed self);

/// `super().interrupt`, bound to `self`: new reference, or an empty `Ref` when the base renderer
/// has none. Called with no arguments, from any thread, it drops the speech not yet shown and
/// returns its seconds; the next frame its iteration hands out after that is an idle one.
host::Ref interrupt_method(host::Borrowed self);

/// `self._input_buffer.aput(item)`: new reference to the awaitable.
host::Ref input_aput(host::Borrowed self, host::Borrowed item);
/// `self._input_buffer.set_loop(loop)`.
void input_set_loop(host::Borrowed self, host::Borrowed loop);

/// False when `transaction_id` is absent or empty.
bool has_transaction_id(host::Borrowed self);
/// `super()._regenerate_transaction_id()`, result discarded.
void regenerate_transaction_id(host::Borrowed self);

/// `self.video_graph is None`.
bool video_graph_is_none(host::Borrowed self);
/// `bool(self._video_loaded)`.
bool video_loaded(host::Borrowed self);
/// `self._video_loaded = True`.
void mark_video_loaded(host::Borrowed self);

}  // namespace talvo::base
