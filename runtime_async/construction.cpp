// Construction: the base renderer first, then the pipeline state, then (on request) the model.
#include "host/names.hpp"
#include "host/objects.hpp"
#include "runtime_async/contracts/base_renderer.hpp"
#include "runtime_async/frame_queue.hpp"
#include "runtime_async/interruption.hpp"
#include "runtime_async/operation.hpp"
#include "runtime_async/state.hpp"

namespace talvo {

namespace {

host::Name n_lock{"Lock"};

// (self, *, model_path, input_buffer_size, output_buffer_size, load_model, num_threads,
//  batch_workers, frame_wait)
host::Ref init(host::Args a) {
  host::Borrowed self = a[0], model_path = a[1], input_buffer_size = a[2],
                 output_buffer_size = a[3], load_model = a[4], num_threads = a[5],
                 batch_workers = a[6], frame_wait = a[7];
  // A wrong mode is refused before anything is built, like a wrong argument list.
  host::Ref wait_mode = frame_queue::checked_wait(frame_wait);
  // The base never opens a model while it is constructed: that is set_model's job.
  base::construct(self, input_buffer_size, num_threads, batch_workers);

  // queue.Queue takes any maxsize and fails only at its first put, on the producer thread, where
  // the error item cannot be put either: the stream would just end, empty. Refuse it here.
  if (!host::is_integer(output_buffer_size)) {
    host::raise_wrong_type("output_buffer_size must be an int", output_buffer_size);
  }

  host::Ref threading = host::global(names::g_threading);
  host::Ref event = host::call_method(threading.view(), names::event);
  // An object with only `__index__` would pass the check and still fail Queue's comparisons.
  host::Ref capacity = host::index(output_buffer_size);
  host::Borrowed none = host::none();
  host::setattr(self, names::model_path, model_path);
  host::setattr(self, names::model_hash, none);
  host::setattr(self, names::stop_event, event.view());
  host::setattr(self, names::thread, none);
  frame_queue::create(self, capacity.view());
  host::setattr(self, names::running, host::boolean(false));
  host::setattr(self, names::loop, none);
  host::setattr(self, names::frame_wait, wait_mode.view());
  frame_queue::create_waiters(self);
  interruption::create(self);
  host::Ref gate = host::call_method(threading.view(), n_lock);
  host::setattr(self, names::start_gate, gate.view());

  // Blocks the calling thread while the base renderer opens the model; errors propagate as they
  // are.
  if (host::truthy(load_model)) base::set_model(self, model_path);
  return host::Ref::none();
}

}  // namespace

extern const Operation kInit{
    "__init__",
    Scope::instance,
    {host::MethodKind::function, nullptr, nullptr, init},
    8,
    R"(def __init__(self, *, model_path: str | os.PathLike[str] | None = None, input_buffer_size: int = 0,
             output_buffer_size: int = 6, load_model: bool = False, num_threads: int = 0,
             batch_workers: int = 1,
             frame_wait: Literal["executor", "loop"] = "executor") -> None:
    """Initialize the asynchronous runtime.

    Args:
        model_path: Path to the avatar model; opened now only if load_model is true.
        input_buffer_size: Size of the renderer's input buffer (0 means unbounded).
        output_buffer_size: Capacity of the frame queue (0 or less means unbounded).
        load_model: Open the model synchronously before returning.
        num_threads: Renderer threads: 0 single-threaded, >0 that many, <0 automatic.
        batch_workers: Parallel workers for offline batch processing (1 is sequential).
        frame_wait: How run() waits for frames. "executor" (default): each wait is a
            blocking take on a worker of the loop's default executor. "loop": the stream
            waits on the event loop and the producer thread wakes it, so no executor
            worker is ever held, however many runtimes there are.
    """
)"};

}  // namespace talvo
