// Model loading: the base renderer opens the model and loads its data on the default executor,
// so the event loop stays free while files are read and frames prepared.
#include "host/error.hpp"
#include "host/frame.hpp"
#include "host/log.hpp"
#include "host/objects.hpp"
#include "runtime_async/contracts/base_renderer.hpp"
#include "runtime_async/contracts/event_loop.hpp"
#include "runtime_async/operation.hpp"
#include "runtime_async/state.hpp"

namespace talvo {

namespace {

// The loop recorded by start(), else the one we run on. stop() clears the record, so a loop
// that has ended is not reused by the next run.
host::Ref choose_loop(host::Borrowed self) {
  host::Ref recorded = host::getattr(self, names::loop);
  if (host::truthy(recorded.view())) return recorded;
  return loop::running();
}

// (self, model_path=None)
host::Task set_model(host::Args a) {
  host::Borrowed self = a[0], requested = a[1];
  host::Ref path = host::truthy(requested) ? host::Ref::borrow(requested)
                                           : host::getattr(self, names::model_path);
  if (!host::truthy(path.view())) {
    host::log::error("No model path provided for set_model");
    host::raise(host::exc::ValueError(),
                "Model path must be provided either during initialization or when calling "
                "set_model");
  }
  // Recorded before opening: a failed open still tells which model was asked for.
  host::setattr(self, names::model_path, path.view());
  host::Ref loop = choose_loop(self);
  try {
    host::Ref open = base::set_model_method(self);
    host::Ref job = loop::run_in_executor(loop.view(), open.view(), {path.view()});
    co_await std::move(job);
  } catch (host::PyError& e) {
    if (!e.matches(host::exc::Exception())) throw;  // cancellation passes through unlogged
    host::log::error_with("Error in parent set_model: ", e.value());
    throw;
  }
  co_return host::Ref::borrow(self);
}

// (self)
host::Task load_data_async(host::Args a) {
  host::Borrowed self = a[0];
  if (base::video_loaded(self)) co_return host::Ref::none();
  if (base::video_graph_is_none(self)) {
    host::log::error("Video graph is None. Model may not be set properly.");
    host::raise(host::exc::ValueError(), "Video graph is not set. Call set_avatar_model() first.");
  }
  host::Ref loop = choose_loop(self);
  try {
    host::Ref load = base::load_data_method(self);
    host::Ref job = loop::run_in_executor(loop.view(), load.view());
    co_await std::move(job);
    base::mark_video_loaded(self);
  } catch (host::PyError& e) {
    if (!e.matches(host::exc::Exception())) throw;
    host::log::error_with("Error in load_data: ", e.value());
    throw;
  }
  co_return host::Ref::none();
}

}  // namespace

extern const Operation kSetModel{
    "set_model",
    Scope::instance,
    {host::MethodKind::coroutine, set_model},
    2,
    R"(async def set_model(self, model_path: str | os.PathLike[str] | None = None) -> AsyncTalvo:
    """Set the avatar model for the runtime.

    Args:
        model_path: The path to the avatar model. If None, uses the model_path provided during initialization.
    """
)"};

extern const Operation kLoadDataAsync{"load_data_async",
                                      Scope::instance,
                                      {host::MethodKind::coroutine, load_data_async},
                                      1,
                                      R"(async def load_data_async(self) -> None:
    """Load the workspace and set up related components asynchronously."""
)"};

}  // namespace talvo
