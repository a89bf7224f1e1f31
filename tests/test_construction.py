"""AsyncTalvo as a class: its place over Talvo, its namespace, and construction."""

import asyncio
import inspect
import queue
import sys
import threading
from unittest import mock

import pytest
import talvo.runtime_async as ra
from talvo.runtime import Talvo

AsyncTalvo = ra.AsyncTalvo


class TestModule:
    def test_class_sits_over_the_base_renderer(self):
        assert AsyncTalvo.__mro__[:2] == (AsyncTalvo, Talvo)
        assert AsyncTalvo.__module__ == "talvo.runtime_async"
        assert AsyncTalvo.__doc__ == "Asynchronous wrapper for Talvo Runtime."

    def test_namespace_holds_what_a_python_module_would(self):
        for name in (
            "logger",
            "Talvo",
            "VideoControl",
            "VideoFrame",
            "VeldaModelNotSupported",
            "asyncio",
            "threading",
            "queue",
            "time",
            "Path",
            "_STREAM_END",
        ):
            assert hasattr(ra, name), name
        assert ra.asyncio is asyncio and ra.queue is queue and ra.threading is threading

    def test_stream_end_is_a_plain_unique_object(self):
        assert type(ra._STREAM_END) is object
        assert ra._STREAM_END is sys.modules["talvo.runtime_async"]._STREAM_END

    def test_velda_modules_are_not_imported_at_load(self):
        assert "talvo.swift_velda" not in sys.modules

    def test_subclass_works_like_a_python_subclass(self):
        class Custom(AsyncTalvo):
            def extra(self):
                return self._frame_queue.maxsize

        c = Custom(output_buffer_size=3)
        assert isinstance(c, AsyncTalvo) and c.extra() == 3

    def test_annotations_resolve_against_the_module(self):
        import typing

        from talvo.api import VideoControl, VideoFrame

        assert typing.get_type_hints(AsyncTalvo.push)["control"] is VideoControl
        assert typing.get_type_hints(AsyncTalvo.create)["return"] is AsyncTalvo
        assert typing.get_type_hints(AsyncTalvo.run)["return"] == typing.AsyncGenerator[VideoFrame, None]

    def test_constructor_signature_is_keyword_only(self):
        params = inspect.signature(AsyncTalvo).parameters
        assert list(params) == [
            "model_path",
            "input_buffer_size",
            "output_buffer_size",
            "load_model",
            "num_threads",
            "batch_workers",
            "frame_wait",
        ]
        assert all(p.kind is p.KEYWORD_ONLY for p in params.values())
        assert [p.default for p in params.values()] == [None, 0, 6, False, 0, 1, "executor"]


class TestFrameWait:
    @pytest.mark.parametrize("given", [None, "executor", "loop"])
    def test_the_mode_is_stored(self, given):
        t = AsyncTalvo() if given is None else AsyncTalvo(frame_wait=given)
        assert t._frame_wait == (given or "executor")

    @pytest.mark.parametrize(
        "given, error, text",
        [
            ("Loop", ValueError, 'frame_wait must be "executor" or "loop", not \'Loop\''),
            ("", ValueError, "not ''"),
            (b"loop", TypeError, "frame_wait must be a str, not bytes"),
            (None, TypeError, "not NoneType"),
        ],
    )
    def test_anything_else_is_refused_before_the_base_is_built(self, given, error, text):
        with mock.patch.object(Talvo, "__init__") as base_init:
            with pytest.raises(error) as raised:
                AsyncTalvo(frame_wait=given)
        assert text in str(raised.value)
        base_init.assert_not_called()


class TestConstruction:
    def test_fields_in_their_initial_state(self):
        t = AsyncTalvo(model_path="models/a.imx")
        assert t._model_path == "models/a.imx"
        assert t._model_hash is None
        assert isinstance(t._stop_event, threading.Event) and not t._stop_event.is_set()
        assert t._thread is None and t._loop is None and t._running is False
        assert isinstance(t._frame_queue, queue.Queue) and t._frame_queue.empty()
        assert not hasattr(t, "_producer_frame_count")
        assert not hasattr(t, "_producer_gen_time")
        assert t.video_graph is None and not t._video_loaded

    def test_fields_are_created_in_order_after_the_base_constructor(self):
        seen = []
        real_init = Talvo.__init__

        def recording_init(self, **kwargs):
            seen.append(dict(self.__dict__))
            real_init(self, **kwargs)

        with mock.patch.object(Talvo, "__init__", recording_init):
            t = AsyncTalvo()
        assert "_frame_queue" not in seen[0]
        fields = [
            k
            for k in t.__dict__
            if k
            in {"_model_path", "_model_hash", "_stop_event", "_thread", "_frame_queue", "_running", "_loop"}
        ]
        # _model_path belongs to the base too, so only the relative order of the rest matters
        assert fields[-6:] == ["_model_hash", "_stop_event", "_thread", "_frame_queue", "_running", "_loop"]

    def test_base_constructor_never_sees_the_model_path(self):
        with mock.patch.object(Talvo, "__init__", return_value=None) as init:
            AsyncTalvo(model_path="m.imx", input_buffer_size=3, num_threads=-1, batch_workers=2)
        init.assert_called_once_with(model_path=None, input_buffer_size=3, num_threads=-1, batch_workers=2)

    def test_model_path_alone_opens_nothing(self):
        with mock.patch.object(Talvo, "set_model") as set_model:
            t = AsyncTalvo(model_path="m.imx")
        set_model.assert_not_called()
        assert t._model_path == "m.imx"

    def test_positional_argument_constructs_nothing(self):
        with mock.patch.object(Talvo, "__init__", return_value=None) as init:
            with pytest.raises(TypeError, match="positional argument"):
                AsyncTalvo("m.imx")
            with pytest.raises(TypeError, match="unexpected keyword argument 'model'"):
                AsyncTalvo(model="m.imx")
        init.assert_not_called()

    @pytest.mark.parametrize("size,maxsize", [(6, 6), (1, 1), (0, 0), (-3, -3)])
    def test_queue_capacity(self, size, maxsize):
        q = AsyncTalvo(output_buffer_size=size)._frame_queue
        assert q.maxsize == maxsize
        if size > 0:
            for i in range(size):
                q.put_nowait(i)
            with pytest.raises(queue.Full):
                q.put_nowait("one too many")
        else:
            for i in range(100):
                q.put_nowait(i)  # unbounded

    def test_default_capacity_is_six(self):
        assert AsyncTalvo()._frame_queue.maxsize == 6

    def test_instances_share_nothing(self):
        a, b = AsyncTalvo(), AsyncTalvo()
        assert a._frame_queue is not b._frame_queue
        assert a._stop_event is not b._stop_event
        a._stop_event.set()
        assert not b._stop_event.is_set()


class TestLoadModel:
    def test_calls_the_base_set_model_past_the_override(self):
        # AsyncTalvo.set_model is asynchronous; the constructor must reach Talvo's own.
        with mock.patch.object(Talvo, "set_model") as base_set_model:
            t = AsyncTalvo(model_path="m.imx", load_model=True)
        base_set_model.assert_called_once_with("m.imx")
        assert t._model_path == "m.imx"

    def test_any_true_value_counts_and_none_path_is_passed_on(self):
        with mock.patch.object(Talvo, "set_model") as base_set_model:
            AsyncTalvo(load_model=1)
        base_set_model.assert_called_once_with(None)

    def test_error_propagates_unchanged_and_unlogged(self):
        error = OSError("cannot open")
        with (
            mock.patch.object(Talvo, "set_model", side_effect=error),
            mock.patch("talvo.runtime_async.logger") as logger,
        ):
            with pytest.raises(OSError) as raised:
                AsyncTalvo(model_path="m.imx", load_model=True)
        assert raised.value is error
        assert not logger.method_calls

    def test_real_model_opens(self, tmp_path):
        from talvo.engine.video_reader import pack_demo_model

        path = str(tmp_path / "m.imx")
        pack_demo_model(path)
        t = AsyncTalvo(model_path=path, load_model=True)
        assert t.video_graph is not None


class TestLateBinding:
    def test_patched_logger_is_used(self):
        async def main():
            t = AsyncTalvo()
            t._running = True
            await t.start()

        with mock.patch("talvo.runtime_async.logger") as logger:
            asyncio.run(main())
        logger.debug.assert_called_once_with("Runtime already running, skipping start")

    def test_log_records_carry_the_module_name(self):
        from loguru import logger

        records = []
        sink = logger.add(lambda m: records.append(m.record["name"]), level="DEBUG")
        try:
            t = AsyncTalvo()
            t._running = True
            asyncio.run(t.start())
            logger.disable("talvo")
            asyncio.run(t.start())
        finally:
            logger.enable("talvo")
            logger.remove(sink)
        assert records == ["talvo.runtime_async"]

    def test_patched_queue_module_is_used(self):
        with mock.patch("talvo.runtime_async.queue") as fake_queue:
            t = AsyncTalvo(output_buffer_size=4)
        fake_queue.Queue.assert_called_once_with(4)
        assert t._frame_queue is fake_queue.Queue.return_value
