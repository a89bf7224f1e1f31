"""Plain misuses: each line marked `# error` must be flagged by both checkers, and no other."""

from talvo.runtime_async import AsyncTalvo


async def misuses(runtime: AsyncTalvo) -> None:
    await runtime.push_audio("text", 16000)  # error
    await runtime.push_audio(b"\0\0")  # error
    await runtime.start(None, 2.0)  # error
    await runtime.set_model(42)  # error
    await AsyncTalvo.create("model.imx")  # error
    AsyncTalvo(output_buffer_size="6")  # error
    runtime.stop()  # error
    runtime.interrupt().played_seconds  # error
    await runtime.run()  # error
    for _ in runtime.run():  # error
        pass
    async with runtime as entered:
        entered.push_audio(b"", 16000).flush()  # error
