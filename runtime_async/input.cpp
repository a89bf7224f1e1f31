// Input forwarding: each operation wraps its input in one message (or passes it through) and
// awaits the renderer's input buffer. Nothing here checks whether the runtime is started.
#include "host/frame.hpp"
#include "host/objects.hpp"
#include "runtime_async/contracts/base_renderer.hpp"
#include "runtime_async/operation.hpp"
#include "runtime_async/state.hpp"

namespace talvo {

namespace {

host::Name n_from_audio{"from_audio"};
host::KwNames kw_end_of_speech("end_of_speech");

// (self, data, sample_rate, last_chunk=True)
host::Task push_audio(host::Args a) {
  host::Ref video_control = host::global(names::g_video_control);
  host::Ref control = host::call_method(video_control.view(), n_from_audio, {a[1], a[2], a[3]});
  co_await base::input_aput(a[0], control.view());
  co_return host::Ref::none();
}

// (self, control)
host::Task push(host::Args a) {
  co_await base::input_aput(a[0], a[1]);
  co_return host::Ref::none();
}

// (self)
host::Task flush(host::Args a) {
  host::Ref video_control = host::global(names::g_video_control);
  host::Ref control = host::call_kw(video_control.view(), {host::boolean(true)}, kw_end_of_speech);
  co_await base::input_aput(a[0], control.view());
  co_return host::Ref::none();
}

// (self, identity)
host::Task set_identity(host::Args) {
  host::raise(host::exc::NotImplementedError(),
              "set_identity() is only supported for Velda models. Orrin models bake the "
              "reference face into the .imx at pack time \xe2\x80\x94 re-pack with a different "
              "--reference-face to change it.");
  co_return host::Ref::none();
}

}  // namespace

extern const Operation kPushAudio{
    "push_audio",
    Scope::instance,
    {host::MethodKind::coroutine, push_audio},
    4,
    R"(async def push_audio(self, data: bytes | bytearray | memoryview, sample_rate: int,
                     last_chunk: bool = True) -> None:
    """Push audio data to the runtime asynchronously.

    Args:
        data: Audio data in bytes.
        sample_rate: Sample rate of the audio.
        last_chunk: Whether this is the last chunk of the speech.
    """
)"};

extern const Operation kPush{"push",
                             Scope::instance,
                             {host::MethodKind::coroutine, push},
                             2,
                             R"(async def push(self, control: VideoControl) -> None:
    """Push a VideoControl to the runtime asynchronously.

    Args:
        control: The VideoControl to push.
    """
)"};

extern const Operation kFlush{"flush",
                              Scope::instance,
                              {host::MethodKind::coroutine, flush},
                              1,
                              R"(async def flush(self) -> None:
    """Flush the audio buffer, indicating end of speech."""
)"};

extern const Operation kSetIdentity{"set_identity",
                                    Scope::instance,
                                    {host::MethodKind::coroutine, set_identity},
                                    2,
                                    R"(async def set_identity(self, identity) -> None:
    """Placeholder for API compatibility with the Velda runtime.

    Face identity on Orrin models is baked into the .imx at pack time; there is no
    run-time swap. Rather than silently doing nothing, this raises a clear error.

    Raises:
        NotImplementedError: Always.
    """
)"};

}  // namespace talvo
