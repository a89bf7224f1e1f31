// The asynchronous factory: Velda models go to the Swift runtime when this machine can run it;
// everything else becomes an instance of the calling class with its model opened off the loop.
#include <optional>

#include "host/error.hpp"
#include "host/frame.hpp"
#include "host/objects.hpp"
#include "host/statements.hpp"
#include "runtime_async/frame_queue.hpp"
#include "runtime_async/operation.hpp"
#include "runtime_async/state.hpp"

namespace talvo {

namespace {

host::Name n_runtime{"SwiftVeldaRuntime"};
host::Name n_is_supported_platform{"is_supported_platform"};
host::Name n_find_daemon_binary{"find_daemon_binary"};
host::Name n_create{"create"};
host::KwNames kw_velda_create("model_path", "quality", "identity");
host::KwNames kw_construct("model_path", "input_buffer_size", "output_buffer_size", "batch_workers",
                           "frame_wait");

bool declares_velda(host::Borrowed model_path) {
  host::Ref peek = host::global(names::g_peek_model_type);
  host::Ref kind = host::call(peek.view(), {model_path});
  return host::equals(kind.view(), host::Borrowed(names::velda.get()));
}

void reject_if_velda_model(host::Borrowed model_path) {
  host::Ref reject = host::global(names::g_reject_if_velda_model);
  host::call(reject.view(), {model_path});
}

struct VeldaRuntime {
  host::Ref runtime_type;
  host::Ref is_supported_platform;
  host::Ref find_daemon_binary;
};

// The Swift runtime is optional: imported only when a Velda model asks for it.
VeldaRuntime import_velda_runtime() {
  std::optional<host::PyError> missing;
  try {
    host::Ref package = host::import("talvo.swift_velda");
    VeldaRuntime runtime;
    runtime.runtime_type = host::import_from(package.view(), n_runtime);
    runtime.is_supported_platform = host::import_from(package.view(), n_is_supported_platform);
    host::Ref binary = host::import("talvo.swift_velda._binary");
    runtime.find_daemon_binary = host::import_from(binary.view(), n_find_daemon_binary);
    return runtime;
  } catch (host::PyError& e) {
    if (!e.matches(host::exc::ImportError())) throw;
    missing.emplace(std::move(e));
  }
  host::Ref message =
      host::format("Velda model dispatch is unavailable: %S", missing->value().get());
  host::Ref error_type = host::global(names::g_velda_not_supported);
  host::Ref error = host::call(error_type.view(), {message.view()});
  host::raise_from(error.view(), missing->value());
}

// (cls, *, model_path, input_buffer_size, output_buffer_size, num_threads, batch_workers,
//  quality, identity, frame_wait)
host::Task create(host::Args a) {
  host::Borrowed cls = a[0], model_path = a[1], input_buffer_size = a[2], output_buffer_size = a[3],
                 batch_workers = a[5], quality = a[6], identity = a[7], frame_wait = a[8];
  // Checked before the probe, so a wrong mode is an error whichever family the model is.
  frame_queue::checked_wait(frame_wait);
  const bool has_path = host::truthy(model_path);

  if (has_path && declares_velda(model_path)) {
    VeldaRuntime velda = import_velda_runtime();
    // Where the Swift runtime cannot run, the model is refused with the reason and the way out.
    if (!host::truthy(host::call(velda.is_supported_platform.view()).view())) {
      reject_if_velda_model(model_path);
    }
    if (host::call(velda.find_daemon_binary.view()).is_none()) reject_if_velda_model(model_path);
    host::Ref pending = host::call_method_kw(velda.runtime_type.view(), n_create,
                                             {model_path, quality, identity}, kw_velda_create);
    co_return co_await std::move(pending);
  }

  // num_threads (a[4]) is accepted for signature parity with the constructor but deliberately
  // not forwarded: instances made here always render with the default threading.
  host::Ref instance = host::call_kw(
      cls, {host::none(), input_buffer_size, output_buffer_size, batch_workers, frame_wait},
      kw_construct);
  if (!has_path) co_return instance;
  host::setattr(instance.view(), names::model_path, model_path);
  // Through the instance, so a subclass's set_model is the one that runs.
  host::Ref opening = host::call_method(instance.view(), names::set_model, {model_path});
  co_await std::move(opening);
  co_return instance;
}

}  // namespace

extern const Operation kCreate{
    "create",
    Scope::instance,
    {host::MethodKind::class_coroutine, create},
    9,
    R"(async def create(cls, *, model_path: str | os.PathLike[str] | None = None, input_buffer_size: int = 0,
                 output_buffer_size: int = 6, num_threads: int = 0, batch_workers: int = 1,
                 quality: str = "medium", identity: str | None = None,
                 frame_wait: Literal["executor", "loop"] = "executor") -> AsyncTalvo:
    """Create a fully initialized AsyncTalvo instance asynchronously.

    Args:
        model_path: Path to the avatar model. A Velda model is handed to the Swift
            runtime where this machine supports it; any other model is opened on the
            default executor. None or "" gives an instance without a model.
        input_buffer_size: Size of the renderer's input buffer (0 means unbounded).
        output_buffer_size: Capacity of the frame queue (0 or less means unbounded).
        num_threads: Accepted for compatibility and not forwarded: the instance renders
            with the default threading.
        batch_workers: Parallel workers for offline batch processing (1 is sequential).
        quality: Render preset. "medium" is the real-time-safe default for live
            streaming; "high" is about twice as slow and visibly crisper, for offline
            video generation. Orrin models ignore it.
        identity: Velda only. Avatar face: None selects the default reference face in
            the model's container; otherwise a portrait image path (.jpg/.png), encoded
            when the model loads, or a pre-encoded .npy face.
        frame_wait: How run() waits for frames: "executor" (default) or "loop" (see
            AsyncTalvo()). Orrin only: passed to the constructor.
    """
)"};

}  // namespace talvo
