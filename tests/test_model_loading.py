import asyncio
import os
import threading
import types
from unittest import mock

import pytest
import talvo.runtime_async as ra
from pipeline_harness import until
from talvo.runtime import Talvo

NO_PATH = "Model path must be provided either during initialization or when calling set_model"


@pytest.fixture
def executor_spy(monkeypatch):
    """Records run_in_executor calls on the running loop, then lets them run."""
    calls = []

    async def install():
        loop = asyncio.get_running_loop()
        real = loop.run_in_executor

        def spy(executor, fn, *args):
            calls.append((executor, fn, args))
            return real(executor, fn, *args)

        monkeypatch.setattr(loop, "run_in_executor", spy)
        return calls

    return install


class RecordingLoop:
    """A stand-in for a recorded loop: takes the job without running it."""

    def __init__(self):
        self.calls = []

    def run_in_executor(self, executor, fn, *args):
        self.calls.append((executor, fn, args))
        done = asyncio.get_running_loop().create_future()
        done.set_result(None)
        return done


class BaseCalls:
    """A patched base method that records where and how it ran."""

    def __init__(self, error=None):
        self.calls, self.threads, self.error = [], [], error

    def __call__(self, runtime, *args):
        self.calls.append((runtime, args, runtime._model_path))
        self.threads.append(threading.get_ident())
        if self.error is not None:
            raise self.error

    def __get__(self, runtime, owner=None):  # binds like a function
        return self if runtime is None else types.MethodType(self, runtime)

    @classmethod
    def on(cls, monkeypatch, name, error=None):
        """Talvo.<name> replaced by a new recorder, which is returned."""
        base = cls(error)
        monkeypatch.setattr(Talvo, name, base)
        return base


class TestSetModelPath:
    @pytest.mark.parametrize("initial, given", [(None, None), (None, ""), ("", None), ("", "")])
    @pytest.mark.asyncio
    async def test_no_usable_path_logs_and_raises_before_any_job(
        self, monkeypatch, logger, executor_spy, initial, given
    ):
        base = BaseCalls.on(monkeypatch, "set_model")
        jobs = await executor_spy()
        runtime = ra.AsyncTalvo(model_path=initial)
        with pytest.raises(ValueError) as caught:
            await runtime.set_model(given)
        assert str(caught.value) == NO_PATH
        assert logger.mock_calls == [mock.call.error("No model path provided for set_model")]
        assert jobs == [] and base.calls == []
        assert runtime._model_path == initial

    @pytest.mark.parametrize("given", [(), (None,), ("",)])
    @pytest.mark.asyncio
    async def test_without_an_argument_the_constructor_path_is_opened(self, model, given):
        runtime = ra.AsyncTalvo(model_path=model)
        assert await runtime.set_model(*given) is runtime
        assert runtime.video_graph.path == os.path.abspath(model)

    @pytest.mark.asyncio
    async def test_argument_wins_over_constructor_path(self, model, tmp_path):
        runtime = ra.AsyncTalvo(model_path=str(tmp_path / "other.imx"))
        assert await runtime.set_model(model_path=model) is runtime
        assert runtime._model_path == model and runtime.video_graph.path == os.path.abspath(model)

    @pytest.mark.asyncio
    async def test_path_is_stored_before_opening_and_kept_after_failure(self, monkeypatch, logger):
        boom = OSError("disk gone")
        base = BaseCalls.on(monkeypatch, "set_model", error=boom)
        runtime = ra.AsyncTalvo(model_path="old.imx")
        with pytest.raises(OSError) as caught:
            await runtime.set_model("new.imx")
        assert caught.value is boom
        assert [(args, seen) for _, args, seen in base.calls] == [(("new.imx",), "new.imx")]
        assert logger.mock_calls == [mock.call.error("Error in parent set_model: disk gone")]
        assert runtime._model_path == "new.imx"

    @pytest.mark.asyncio
    async def test_real_open_failure_reaches_the_caller(self, tmp_path, logger):
        runtime = ra.AsyncTalvo()
        missing = str(tmp_path / "absent.imx")
        with pytest.raises(FileNotFoundError):
            await runtime.set_model(missing)
        assert runtime._model_path == missing and runtime.video_graph is None
        (line,), _ = logger.error.call_args
        assert logger.error.call_count == 1 and line.startswith("Error in parent set_model: ")


class TestSetModelExecution:
    @pytest.mark.asyncio
    async def test_base_runs_on_an_executor_thread_and_the_instance_is_returned(self, monkeypatch, logger):
        base = BaseCalls.on(monkeypatch, "set_model")
        runtime = ra.AsyncTalvo()
        assert await runtime.set_model("m.imx") is runtime
        assert [(r, args) for r, args, _ in base.calls] == [(runtime, ("m.imx",))]
        assert base.threads[0] != threading.get_ident()
        assert logger.mock_calls == []

    @pytest.mark.asyncio
    async def test_overrides_are_bypassed_for_the_base_call(self, monkeypatch):
        base = BaseCalls.on(monkeypatch, "set_model")
        overrides = []

        class Custom(ra.AsyncTalvo):
            async def set_model(self, model_path=None):
                overrides.append(model_path)
                return await super().set_model(model_path)

        runtime = Custom()
        assert await runtime.set_model("m.imx") is runtime
        assert overrides == ["m.imx"]
        assert [(r, args) for r, args, _ in base.calls] == [(runtime, ("m.imx",))]


@pytest.fixture(params=["set_model", "load_data_async"])
def operation(request):
    """(base method name, call) for each loading operation, on a runtime ready for it."""
    runtime = ra.AsyncTalvo(model_path="m.imx")
    if request.param == "set_model":
        return runtime, "set_model", lambda: runtime.set_model("m.imx")
    runtime.video_graph = object()
    return runtime, "load_data", runtime.load_data_async


class TestLoopChoice:
    @pytest.mark.asyncio
    async def test_running_loop_when_none_is_recorded(self, monkeypatch, executor_spy, operation):
        runtime, base_name, call = operation
        BaseCalls.on(monkeypatch, base_name)
        jobs = await executor_spy()
        await call()
        assert len(jobs) == 1 and jobs[0][0] is None

    @pytest.mark.asyncio
    async def test_recorded_loop_takes_the_job(self, monkeypatch, executor_spy, operation):
        runtime, base_name, call = operation
        base = BaseCalls.on(monkeypatch, base_name)
        jobs = await executor_spy()
        runtime._loop = recorded = RecordingLoop()
        await call()
        assert jobs == [] and base.calls == []
        ((executor, fn, args),) = recorded.calls
        assert executor is None and fn.__func__ is base and fn.__self__ is runtime
        assert args == (("m.imx",) if base_name == "set_model" else ())


class TestLoadDataAsync:
    @pytest.mark.asyncio
    async def test_loaded_runtime_returns_at_once(self, monkeypatch, logger, executor_spy):
        base = BaseCalls.on(monkeypatch, "load_data")
        jobs = await executor_spy()
        runtime = ra.AsyncTalvo()
        runtime._video_loaded = True  # even with no graph: loaded wins
        assert await runtime.load_data_async() is None
        assert jobs == [] and base.calls == [] and logger.mock_calls == []

    @pytest.mark.asyncio
    async def test_missing_graph_logs_and_raises(self, monkeypatch, logger, executor_spy):
        base = BaseCalls.on(monkeypatch, "load_data")
        jobs = await executor_spy()
        runtime = ra.AsyncTalvo()
        with pytest.raises(ValueError) as caught:
            await runtime.load_data_async()
        assert str(caught.value) == "Video graph is not set. Call set_avatar_model() first."
        assert logger.mock_calls == [mock.call.error("Video graph is None. Model may not be set properly.")]
        assert jobs == [] and base.calls == [] and runtime._video_loaded is False

    @pytest.mark.asyncio
    async def test_success_marks_loaded_after_an_executor_job(self, monkeypatch, logger):
        base = BaseCalls.on(monkeypatch, "load_data")  # does not mark anything itself
        runtime = ra.AsyncTalvo()
        runtime.video_graph = object()
        assert await runtime.load_data_async() is None
        assert runtime._video_loaded is True
        assert [(r, args) for r, args, _ in base.calls] == [(runtime, ())]
        assert base.threads[0] != threading.get_ident() and logger.mock_calls == []

    @pytest.mark.asyncio
    async def test_failed_load_stays_unloaded_and_is_retried(self, monkeypatch, logger):
        boom = RuntimeError("frames unreadable")
        base = BaseCalls.on(monkeypatch, "load_data", error=boom)
        runtime = ra.AsyncTalvo()
        runtime.video_graph = object()
        with pytest.raises(RuntimeError) as caught:
            await runtime.load_data_async()
        assert caught.value is boom and runtime._video_loaded is False
        assert logger.mock_calls == [mock.call.error("Error in load_data: frames unreadable")]
        base.error = None
        await runtime.load_data_async()
        assert len(base.calls) == 2 and runtime._video_loaded is True

    @pytest.mark.asyncio
    async def test_real_model_end_to_end(self, model):
        runtime = ra.AsyncTalvo(model_path=model)
        await runtime.set_model()
        await runtime.load_data_async()
        assert runtime._video_loaded is True
        frames = Talvo.run(runtime, lambda: True)  # the base renderer's own iteration
        assert next(frames).width == 32


class TestCancellation:
    @pytest.mark.asyncio
    async def test_cancelling_the_waiting_task_logs_nothing(self, monkeypatch, logger, operation):
        runtime, base_name, call = operation
        entered, release, finished = threading.Event(), threading.Event(), threading.Event()

        def blocking(self, *args):
            entered.set()
            try:
                release.wait(10)
            finally:
                finished.set()

        monkeypatch.setattr(Talvo, base_name, blocking)
        task = asyncio.create_task(call())
        try:
            await until(entered.is_set, "the base method to be entered")
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        finally:
            release.set()
        await until(finished.is_set, "the base method to finish")
        assert logger.mock_calls == []
        assert runtime._video_loaded is False and runtime._model_path == "m.imx"
