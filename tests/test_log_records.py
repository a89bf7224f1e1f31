"""Log records of the extension name the operation that wrote them, under the module's name, and
`logger.disable("talvo")` silences them."""

import asyncio
from unittest import mock

import pytest
from loguru import logger
from talvo.runtime import Talvo
from talvo.runtime_async import AsyncTalvo


async def session():
    runtime = AsyncTalvo()
    with pytest.raises(ValueError):
        await runtime.set_model()
    with pytest.raises(ValueError):
        await runtime.load_data_async()
    # A producer that ends without a word: the stream notices and says so itself.
    with mock.patch.object(AsyncTalvo, "_frame_producer", lambda self, **kwargs: None):
        assert [f async for f in runtime.run()] == []
    await runtime.shutdown()  # its record is stop's: stop writes it
    with mock.patch.object(Talvo, "run", lambda self, out_buffer_empty, idle_timeout=None: iter(())):
        assert [f async for f in runtime.run()] == []
        await runtime.stop()


def test_each_record_names_the_operation_that_wrote_it(records):
    asyncio.run(session())
    ours = [r for r in records if r["name"].startswith("talvo.runtime_async")]
    located = {(r["function"], r["message"]) for r in ours}
    assert located == {
        ("set_model", "No model path provided for set_model"),
        ("load_data_async", "Video graph is None. Model may not be set properly."),
        ("start", "Frame producer thread started"),
        ("run", "Frame producer thread is no longer alive, ending stream"),
        ("stop", "Stop event set, waiting for frame producer thread to finish"),
        ("_frame_producer", "Frame iterator completed"),
    }
    assert {r["name"] for r in ours} == {"talvo.runtime_async"}

    records.clear()
    logger.disable("talvo")
    asyncio.run(session())
    assert records == []


def test_a_run_without_loaded_data_says_so_in_asyncio_terms_after_the_start(records, model):
    """The renderer fails on the thread's first step, usually before `start` has logged."""

    async def main():
        with pytest.raises(RuntimeError, match=r"and load_data_async\(\) first"):
            [f async for f in (await AsyncTalvo.create(model_path=model)).run()]

    for _ in range(3):
        records.clear()
        asyncio.run(main())
        said = [r["message"][:29] for r in records if r["name"] == "talvo.runtime_async"]
        assert said.index("Frame producer thread started") < said.index("Exception in frame producer: ")
