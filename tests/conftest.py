"""Fixtures shared by several test modules. Helpers that are not fixtures live in plain modules
next to this one (pipeline_harness, host_support, serve_support, ...), imported by name."""

from unittest import mock

import pytest
import talvo.runtime_async as ra
from loguru import logger as loguru_logger
from pipeline_harness import Pipeline
from talvo.engine.video_reader import pack_demo_model


@pytest.fixture(params=["executor", "loop"])
def pipeline(request):
    """Fake renderer, mocked logger and clean-up around runtimes built in the test's frame-wait
    mode: every test that takes it runs in both."""
    p = Pipeline(request.param)
    yield p
    p.close()


@pytest.fixture
def on_loop():
    """The pipeline in frame_wait="loop" mode only, for what only that mode promises."""
    p = Pipeline("loop")
    yield p
    p.close()


@pytest.fixture
def logger(monkeypatch):
    """The module's logger replaced by a mock, for tests that look at its calls."""
    fake = mock.Mock()
    monkeypatch.setattr(ra, "logger", fake)
    return fake


@pytest.fixture
def records():
    """Every record the real logger writes during the test, from DEBUG up."""
    seen = []
    sink = loguru_logger.add(lambda m: seen.append(m.record), level="DEBUG")
    yield seen
    loguru_logger.enable("talvo")
    loguru_logger.remove(sink)


@pytest.fixture
def model(tmp_path):
    """A small stand-in model on disk."""
    path = tmp_path / "orrin.imx"
    pack_demo_model(path, width=32, height=32)
    return str(path)


@pytest.fixture
def velda(tmp_path):
    path = tmp_path / "velda.imx"
    pack_demo_model(path, model_type="velda")
    return str(path)


# The host fixtures import host_support only when used: it needs the test-only module, which a
# plain build lacks (the host tests skip themselves then). Ids are the sorted table keys.
@pytest.fixture(params=["host", "native"])
def probe(request):
    """An instance of the native twin or of the C++ probe."""
    from host_support import IMPLEMENTATIONS

    return IMPLEMENTATIONS[request.param]()


@pytest.fixture(params=["asyncio", "uvloop"])
def loop_factory(request):
    """The standard asyncio loop, then uvloop."""
    from host_support import LOOP_FACTORIES

    return LOOP_FACTORIES[request.param]
