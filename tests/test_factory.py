import asyncio
import sys
import threading
import types
from unittest import mock

import pytest
import talvo.runtime_async as ra
from talvo.exceptions import VeldaModelNotSupported
from talvo.runtime import Talvo

UNAVAILABLE = "Velda model dispatch is unavailable: "


@pytest.fixture
def built(monkeypatch):
    """Every AsyncTalvo (or subclass) constructed during the test."""
    instances = []
    real_init = Talvo.__init__

    def recording_init(self, *args, **kwargs):
        instances.append(self)
        real_init(self, *args, **kwargs)

    monkeypatch.setattr(Talvo, "__init__", recording_init)
    return instances


def velda_modules(*, supported=True, daemon="/opt/velda/daemon", result=None):
    """Fake Swift runtime modules for sys.modules, and the mock standing for its create."""
    package = types.ModuleType("talvo.swift_velda")
    binary = types.ModuleType("talvo.swift_velda._binary")
    create = mock.AsyncMock(return_value=result)
    package.SwiftVeldaRuntime = type("SwiftVeldaRuntime", (), {"create": create})
    package.is_supported_platform = lambda: supported
    binary.find_daemon_binary = lambda: daemon
    modules = {"talvo.swift_velda": package, "talvo.swift_velda._binary": binary}
    return modules, create


def installed(modules):
    return mock.patch.dict(sys.modules, modules)


def rejection(path):
    return f"Model at {path!r} is an Velda"


class TestOrrinPath:
    @pytest.mark.parametrize("model_path", [None, ""])
    @pytest.mark.asyncio
    async def test_no_path_returns_an_instance_without_probing(self, monkeypatch, model_path):
        peek, opened = mock.Mock(), mock.Mock()
        monkeypatch.setattr(ra, "_peek_model_type", peek)
        monkeypatch.setattr(Talvo, "set_model", opened)
        runtime = await ra.AsyncTalvo.create(
            model_path=model_path, input_buffer_size=3, output_buffer_size=2, num_threads=4, batch_workers=2
        )
        assert type(runtime) is ra.AsyncTalvo
        peek.assert_not_called()
        opened.assert_not_called()
        assert runtime._model_path is None and runtime.video_graph is None
        assert runtime.input_buffer_size == 3 and runtime._frame_queue.maxsize == 2
        assert runtime.batch_workers == 2
        assert runtime.num_threads == 0  # accepted, deliberately not forwarded

    @pytest.mark.asyncio
    async def test_model_is_opened_through_set_model_on_the_executor(self, monkeypatch, model):
        threads = []
        real = Talvo.set_model

        def recording(self, path):
            threads.append(threading.get_ident())
            return real(self, path)

        monkeypatch.setattr(Talvo, "set_model", recording)
        runtime = await ra.AsyncTalvo.create(model_path=model)
        assert runtime._model_path == model and runtime.video_graph.width == 32
        assert len(threads) == 1 and threads[0] != threading.get_ident()
        assert runtime._video_loaded is False  # loading the data stays a separate step

    @pytest.mark.asyncio
    async def test_subclass_is_built_and_its_set_model_runs(self, model):
        opened = []

        class Custom(ra.AsyncTalvo):
            async def set_model(self, model_path=None):
                opened.append((self._model_path, model_path))
                return await super().set_model(model_path)

        runtime = await Custom.create(model_path=model, quality="high", identity="face.png")
        assert type(runtime) is Custom
        assert opened == [(model, model)]  # quality and identity go nowhere for Orrin
        assert type(await runtime.create()) is Custom

    @pytest.mark.parametrize("declared", [None, "orrin", "Velda"])
    @pytest.mark.asyncio
    async def test_anything_but_velda_takes_the_orrin_path(self, monkeypatch, declared):
        monkeypatch.setattr(ra, "_peek_model_type", mock.Mock(return_value=declared))
        opened = mock.Mock()
        monkeypatch.setattr(Talvo, "set_model", opened)
        runtime = await ra.AsyncTalvo.create(model_path="m.imx")
        assert isinstance(runtime, ra.AsyncTalvo)
        opened.assert_called_once_with("m.imx")
        ra._peek_model_type.assert_called_once_with("m.imx")

    @pytest.mark.asyncio
    async def test_open_failure_propagates(self, tmp_path, monkeypatch):
        monkeypatch.setattr(ra, "logger", mock.Mock())
        with pytest.raises(FileNotFoundError):
            await ra.AsyncTalvo.create(model_path=str(tmp_path / "absent.imx"))
        assert ra.logger.error.call_count == 1  # from set_model; the factory adds nothing

    @pytest.mark.asyncio
    async def test_frame_wait_is_passed_to_the_constructor(self, monkeypatch, model):
        runtime = await ra.AsyncTalvo.create(model_path=model, frame_wait="loop")
        assert runtime._frame_wait == "loop"
        assert (await ra.AsyncTalvo.create())._frame_wait == "executor"

    @pytest.mark.asyncio
    async def test_a_wrong_frame_wait_fails_before_the_probe(self, monkeypatch):
        peek = mock.Mock(return_value="velda")
        monkeypatch.setattr(ra, "_peek_model_type", peek)
        with pytest.raises(ValueError, match='"executor" or "loop"'):
            await ra.AsyncTalvo.create(model_path="m.imx", frame_wait="lop")
        peek.assert_not_called()

    def test_positional_or_unknown_arguments_fail_at_call_time(self):
        with pytest.raises(TypeError, match="positional"):
            ra.AsyncTalvo.create("m.imx")
        with pytest.raises(TypeError, match="unexpected keyword argument 'path'"):
            ra.AsyncTalvo.create(path="m.imx")


class TestVeldaUnavailable:
    @pytest.mark.parametrize(
        "kind", ["absent", "blocked", "names missing", "binary blocked", "binary absent"]
    )
    @pytest.mark.asyncio
    async def test_unavailability_carries_the_import_error(self, velda, built, kind):
        modules, _ = velda_modules()
        if kind == "absent":
            modules = {}
        elif kind == "blocked":
            modules = {"talvo.swift_velda": None}
        elif kind == "names missing":
            modules = {"talvo.swift_velda": types.ModuleType("talvo.swift_velda")}
        elif kind == "binary blocked":
            modules["talvo.swift_velda._binary"] = None
        else:  # the fake package is no package: its submodule cannot be found
            del modules["talvo.swift_velda._binary"]
        with installed(modules):
            with pytest.raises(VeldaModelNotSupported) as caught:
                await ra.AsyncTalvo.create(model_path=velda)
        error = caught.value
        assert isinstance(error.__cause__, ImportError)
        assert str(error) == UNAVAILABLE + str(error.__cause__)
        assert error.__context__ is error.__cause__ and error.__suppress_context__
        assert built == []

    @pytest.mark.asyncio
    async def test_other_import_errors_propagate_unchanged(self, velda, built):
        boom = RuntimeError("half-initialised")
        broken = types.ModuleType("talvo.swift_velda")
        broken.__getattr__ = mock.Mock(side_effect=boom)
        with mock.patch.dict(sys.modules, {"talvo.swift_velda": broken}):
            with pytest.raises(RuntimeError) as caught:
                await ra.AsyncTalvo.create(model_path=velda)
        assert caught.value is boom and built == []


class TestVeldaDispatch:
    @pytest.mark.parametrize("supported, daemon", [(False, "/opt/velda/daemon"), (True, None)])
    @pytest.mark.asyncio
    async def test_unusable_swift_runtime_rejects_the_model(self, velda, built, supported, daemon):
        modules, create = velda_modules(supported=supported, daemon=daemon)
        with installed(modules), pytest.raises(VeldaModelNotSupported) as caught:
            await ra.AsyncTalvo.create(model_path=velda)
        assert str(caught.value).startswith(rejection(velda))
        assert caught.value.__cause__ is None
        create.assert_not_awaited()
        assert built == []

    @pytest.mark.parametrize(
        "daemon, options",
        [
            ("/opt/velda/daemon", {"quality": "high", "identity": "face.png"}),
            ("", {}),
        ],
    )
    @pytest.mark.asyncio
    async def test_usable_swift_runtime_creates_the_model(self, velda, built, daemon, options):
        result = object()
        modules, create = velda_modules(daemon=daemon, result=result)
        with installed(modules):
            runtime = await ra.AsyncTalvo.create(model_path=velda, num_threads=3, **options)
        assert runtime is result and built == []
        expected = {"quality": "medium", "identity": None, **options}
        create.assert_awaited_once_with(model_path=velda, **expected)

    @pytest.mark.asyncio
    async def test_probe_and_rejection_are_looked_up_when_used(self, monkeypatch):
        monkeypatch.setattr(ra, "_peek_model_type", mock.Mock(return_value="velda"))
        reject = mock.Mock(return_value=None)
        monkeypatch.setattr(ra, "_reject_if_velda_model", reject)
        modules, create = velda_modules(supported=False, daemon=None, result="swift")
        with installed(modules):
            assert await ra.AsyncTalvo.create(model_path="not-on-disk") == "swift"
        assert reject.call_args_list == [mock.call("not-on-disk")] * 2
        create.assert_awaited_once()

    @pytest.mark.asyncio
    async def test_swift_runtime_errors_propagate(self, velda):
        boom = OSError("daemon crashed")
        modules, create = velda_modules()
        create.side_effect = boom
        with installed(modules), pytest.raises(OSError) as caught:
            await ra.AsyncTalvo.create(model_path=velda)
        assert caught.value is boom

    @pytest.mark.asyncio
    async def test_cancellation_reaches_the_swift_runtime(self, velda):
        started, cancelled = asyncio.Event(), []

        async def slow_create(**kwargs):
            started.set()
            try:
                await asyncio.Event().wait()
            except asyncio.CancelledError:
                cancelled.append(kwargs["model_path"])
                raise

        modules, create = velda_modules()
        create.side_effect = slow_create
        with installed(modules):
            task = asyncio.create_task(ra.AsyncTalvo.create(model_path=velda))
            await asyncio.wait_for(started.wait(), 5)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
        assert cancelled == [velda]
