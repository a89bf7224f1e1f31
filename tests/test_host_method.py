"""The host method type against native ``async def`` methods: binding, metadata, argument errors,
mocks; and through AsyncTalvo's operations."""

import asyncio
import functools
import inspect
import sys
from unittest import mock

import pytest

pytest.importorskip("talvo._host_testing")

from host_support import (  # noqa: E402
    Probe as NativeProbe,
)
from host_support import (
    both_loops,
    host,
    outcome,
    send,
)

CLASSES = {"native": NativeProbe, "host": host.Probe}
COROUTINES = ["returns", "awaits", "binds", "raises"]
STREAMS = ["items", "items_finally", "recovers_stream"]
# inspect's check is the one that lasts; asyncio's must agree with it until 3.14 deprecates it.
COROUTINE_FUNCTION_CHECKS = [inspect.iscoroutinefunction]
if sys.version_info < (3, 14):
    COROUTINE_FUNCTION_CHECKS.append(asyncio.iscoroutinefunction)


@pytest.fixture(params=sorted(CLASSES))
def cls(request):
    return CLASSES[request.param]


def finish(coro):
    return send(coro)[1]


class TestBinding:
    def test_instance_access_binds_the_instance(self, cls):
        obj = cls()
        bound = obj.returns
        assert isinstance(bound, type(NativeProbe().returns))  # a bound method
        assert bound.__self__ is obj and bound.__func__ is cls.__dict__["returns"]
        assert cls.returns is cls.__dict__["returns"]
        assert finish(bound(1)) == 1
        assert finish(cls.returns(obj, 2)) == 2  # through the class, with an explicit self

    def test_class_coroutine_binds_the_class_it_is_reached_through(self, cls):
        class Sub(cls):
            pass

        assert finish(cls.made(1)) == (cls, 1)
        assert finish(Sub.made(2)) == (Sub, 2)
        assert finish(Sub().made(3)) == (Sub, 3)
        assert Sub.made.__self__ is Sub

    def test_instance_method_through_a_subclass(self, cls):
        class Sub(cls):
            pass

        obj = Sub()
        assert finish(obj.returns(4)) == 4
        assert obj.returns.__self__ is obj

    def test_plain_function_runs_at_once(self, cls):
        assert cls().plain(5) == 5

    def test_descriptor_get_with_none(self, cls):
        method = cls.__dict__["returns"]
        assert method.__get__(None, cls) is method


class TestMetadata:
    @pytest.mark.parametrize("name", COROUTINES + STREAMS + ["plain", "made"])
    def test_names_doc_and_signature_match_native(self, name):
        native = getattr(NativeProbe, name)
        ours = getattr(host.Probe, name)
        assert (ours.__name__, ours.__qualname__) == (native.__name__, native.__qualname__)
        assert ours.__doc__ == native.__doc__
        assert str(inspect.signature(ours)) == str(inspect.signature(native))
        assert str(inspect.signature(getattr(host.Probe(), name))) == str(
            inspect.signature(getattr(NativeProbe(), name))
        )

    def test_module_doc_and_repr(self):
        method = host.Probe.returns
        assert method.__module__ == "talvo._host_testing"
        assert method.__doc__ == "Returns value."
        assert repr(method).startswith("<function Probe.returns at 0x")

    def test_keyword_only_parameters_and_defaults(self):
        signature = inspect.signature(host.Probe.binds)
        assert [(p.name, p.kind.name, p.default) for p in signature.parameters.values()] == [
            ("self", "POSITIONAL_ONLY", inspect.Parameter.empty),
            ("a", "POSITIONAL_ONLY", inspect.Parameter.empty),
            ("b", "POSITIONAL_OR_KEYWORD", 2),
            ("c", "KEYWORD_ONLY", inspect.Parameter.empty),
            ("d", "KEYWORD_ONLY", 4),
        ]
        assert signature.parameters["b"].annotation is int
        assert signature.return_annotation is tuple

    @pytest.mark.parametrize("name", COROUTINES + ["made"])
    def test_coroutine_functions(self, cls, name):
        for target in (getattr(cls, name), getattr(cls(), name)):
            assert all(check(target) for check in COROUTINE_FUNCTION_CHECKS)
            assert not inspect.isasyncgenfunction(target)

    @pytest.mark.parametrize("name", STREAMS)
    def test_async_generator_functions(self, cls, name):
        for target in (getattr(cls, name), getattr(cls(), name)):
            assert inspect.isasyncgenfunction(target)
            assert not any(check(target) for check in COROUTINE_FUNCTION_CHECKS)

    def test_plain_function_is_neither(self, cls):
        assert not any(check(cls.plain) for check in COROUTINE_FUNCTION_CHECKS)
        assert not inspect.isasyncgenfunction(cls.plain)


CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3), {"c": 0}),
    ((1, 2, 3, 4), {}),
    ((1, 2, 3), {"c": 0, "d": 1}),
    ((1,), {"c": 0, "e": 5}),
    ((1,), {"a": 2, "c": 0}),
    ((1, 2, 3), {"a": 2, "c": 0}),
    ((), {"b": 1}),
    ((), {"d": 1}),
    ((), {"a": 1, "b": 2, "c": 3, "d": 4}),
    ((1,), {"c": 3}),
    ((1,), {"c": 3, "b": 4, "d": 5}),
    ((), {"a": 1, "c": 0}),
    ((1,), {"a": 1, "c": 0}),
    ((1,), {"a": 1, "c": 0, "self": 2}),
]


class TestArgumentErrors:
    @pytest.mark.parametrize("args, kwargs", CALLS)
    def test_same_outcome_as_native(self, args, kwargs):
        def call(impl):
            coro = impl().binds(*args, **kwargs)
            return finish(coro)

        assert outcome(lambda: call(host.Probe)) == outcome(lambda: call(NativeProbe))

    @pytest.mark.parametrize("args", [(), (1, 2)])
    def test_through_the_class(self, args):
        expected = outcome(lambda: finish(NativeProbe.returns(*args)))
        assert outcome(lambda: finish(host.Probe.returns(*args))) == expected

    def test_stream_and_class_coroutine(self):
        for name, args in [("items", (1,)), ("made", ()), ("made", (1, 2)), ("plain", ())]:
            native, ours = getattr(NativeProbe(), name), getattr(host.Probe(), name)
            expected = outcome(functools.partial(native, *args))
            assert outcome(functools.partial(ours, *args)) == expected, name

    def test_errors_raise_at_the_call_not_the_await(self, cls):
        with pytest.raises(TypeError):
            cls().binds(1)


class TestMock:
    def test_autospec_instance_gives_async_mocks(self, cls):
        double = mock.create_autospec(cls, instance=True)
        assert all(check(double.returns) for check in COROUTINE_FUNCTION_CHECKS)
        coro = double.returns(1)
        assert asyncio.iscoroutine(coro)
        asyncio.run(coro)
        double.returns.assert_awaited_once_with(1)
        with pytest.raises(TypeError):
            double.returns()  # the signature is enforced
        assert not isinstance(double.items, mock.AsyncMock)  # an async generator function

    def test_patch_object_autospec_records_self(self, cls):
        obj = cls()
        with mock.patch.object(cls, "returns", autospec=True) as patched:
            patched.return_value = "mocked"
            assert asyncio.run(obj.returns(1)) == "mocked"
            fails_to_bind(lambda: obj.returns(1, 2))
        patched.assert_awaited_once_with(obj, 1)

    def test_autospec_of_the_method_itself(self, cls):
        double = mock.create_autospec(cls.binds)
        asyncio.run(double("self", 1, c=3))
        double.assert_awaited_once_with("self", 1, c=3)
        fails_to_bind(lambda: double("self"))


def fails_to_bind(call):
    """A wrong argument list to the autospec of a coroutine function is a TypeError: at the call
    up to 3.12; from 3.13, where that autospec is itself an `async def`, when it is awaited."""
    with pytest.raises(TypeError):
        result = call()
        if asyncio.iscoroutine(result):
            asyncio.run(result)


@pytest.fixture(scope="module")
def talvo_cls():
    return pytest.importorskip("talvo.runtime_async").AsyncTalvo


class TestAsyncTalvo:
    """The same method type as installed on the real class."""

    def test_signatures(self, talvo_cls):
        assert str(inspect.signature(talvo_cls.push_audio)) == (
            "(self, data: 'bytes | bytearray | memoryview', sample_rate: 'int', "
            "last_chunk: 'bool' = True) -> 'None'"
        )
        assert str(inspect.signature(talvo_cls.push)) == ("(self, control: 'VideoControl') -> 'None'")
        assert str(inspect.signature(talvo_cls.flush)) == "(self) -> 'None'"
        assert str(inspect.signature(talvo_cls.set_identity)) == "(self, identity) -> 'None'"
        for name in ("push_audio", "push", "flush", "set_identity"):
            method = getattr(talvo_cls, name)
            assert all(check(method) for check in COROUTINE_FUNCTION_CHECKS)
            assert method.__qualname__ == f"AsyncTalvo.{name}"
            assert method.__module__ == "talvo.runtime_async"

    def test_argument_errors(self, talvo_cls):
        talvo = talvo_cls()
        assert outcome(lambda: talvo.push()) == (
            TypeError,
            "AsyncTalvo.push() missing 1 required positional argument: 'control'",
        )
        assert outcome(lambda: talvo.push_audio(b"", 1, True, 4)) == (
            TypeError,
            "AsyncTalvo.push_audio() takes from 3 to 4 positional arguments but 5 were given",
        )
        assert outcome(lambda: talvo.flush(now=True)) == (
            TypeError,
            "AsyncTalvo.flush() got an unexpected keyword argument 'now'",
        )

    @both_loops
    async def test_set_identity_fails_only_when_awaited(self, talvo_cls):
        coro = talvo_cls().set_identity(object())
        assert asyncio.iscoroutine(coro)
        with pytest.raises(NotImplementedError, match="only supported for Velda models"):
            await coro

    @both_loops
    async def test_push_into_a_full_buffer_can_be_cancelled(self, talvo_cls):
        from talvo.api import VideoControl

        talvo = talvo_cls(input_buffer_size=1)
        first, second = VideoControl(end_of_speech=True), VideoControl(end_of_speech=True)
        await talvo.push(first)
        task = asyncio.create_task(talvo.push(second))
        await asyncio.sleep(0)
        assert not task.done()  # parked: the buffer is full
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert talvo._input_buffer.drain() == [first]  # the cancelled one left nothing behind
        await talvo.flush()
        assert [m.end_of_speech for m in talvo._input_buffer.drain()] == [True]
