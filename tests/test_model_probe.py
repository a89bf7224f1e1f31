import builtins
import os
import struct
import sys
from unittest import mock

import pytest
import talvo.runtime_async as ra
from talvo.engine import video_reader
from talvo.engine.video_reader import pack_demo_model, write_imx
from talvo.exceptions import VeldaModelNotSupported

REJECTION_TAIL = (
    " is an Velda (.imx with model_type='velda') model. The in-process Python runtime serves "
    "Orrin models only. Velda models run on macOS with Apple Silicon (M3 or later) via the "
    "Talvo Swift SDK: https://github.com/talvo-ai/talvo-swift"
)


def container(tmp_path, manifest, name="m.imx"):
    path = tmp_path / name
    write_imx(path, {"frames.bin": b"\x01\x02\x03"}, manifest)
    return str(path)


class TestPeekModelType:
    @pytest.mark.parametrize(
        "manifest, expected",
        [
            (None, None),
            ({}, None),
            ({"model_type": "velda"}, "velda"),
            ({"model_type": "Velda"}, "Velda"),
            ({"model_type": "orrin", "width": 96}, "orrin"),
            ({"model_type": 3}, None),
            ({"model_type": None}, None),
            ({"width": 96}, None),
        ],
    )
    def test_reads_the_declared_type(self, tmp_path, manifest, expected):
        assert ra._peek_model_type(container(tmp_path, manifest)) == expected

    def test_accepts_a_keyword_and_a_path_object_and_follows_links(self, tmp_path):
        real = container(tmp_path, {"model_type": "velda"})
        link = tmp_path / "link.imx"
        link.symlink_to(real)
        assert ra._peek_model_type(model_path=link) == "velda"

    @pytest.mark.parametrize("cut", [8, 20, -10])
    def test_truncated_container_is_no_model(self, tmp_path, cut):
        path = tmp_path / "m.imx"
        pack_demo_model(path, model_type="velda")
        blob = path.read_bytes()
        path.write_bytes(blob[:cut])
        assert ra._peek_model_type(str(path)) is None

    @pytest.mark.parametrize("kind", ["directory", "missing", "broken link"])
    def test_non_files_are_refused_before_the_reader_is_asked(self, tmp_path, kind):
        target = {"directory": tmp_path, "missing": tmp_path / "absent.imx"}.get(kind)
        if target is None:
            target = tmp_path / "dangling.imx"
            target.symlink_to(tmp_path / "gone.imx")
        with (
            mock.patch.object(video_reader, "is_imx_file") as is_imx,
            mock.patch.object(video_reader, "ImxContainer") as opened,
        ):
            assert ra._peek_model_type(str(target)) is None
        is_imx.assert_not_called()
        opened.assert_not_called()

    @pytest.mark.parametrize("blob", [b"NOTIMX" + bytes(64), b"hello", b""])
    def test_non_container_file_is_never_opened(self, tmp_path, blob):
        path = tmp_path / "notes.imx"
        path.write_bytes(blob)
        with mock.patch.object(video_reader, "ImxContainer") as opened:
            assert ra._peek_model_type(str(path)) is None
        opened.assert_not_called()

    def test_reader_is_looked_up_on_every_call(self, tmp_path):
        path = container(tmp_path, {"model_type": "orrin"})
        fake = mock.Mock(metadata={"model_type": "velda"})
        with mock.patch.object(video_reader, "ImxContainer", return_value=fake) as opened:
            assert ra._peek_model_type(path) == "velda"
        opened.assert_called_once_with(path)
        assert ra._peek_model_type(path) == "orrin"

    @pytest.mark.parametrize("blocked", [None, "missing names"])
    def test_unavailable_reader_means_no_answer(self, tmp_path, blocked):
        path = container(tmp_path, {"model_type": "velda"})
        stand_in = None if blocked is None else type(sys)("talvo.engine.video_reader")
        with mock.patch.dict(sys.modules, {"talvo.engine.video_reader": stand_in}):
            assert ra._peek_model_type(path) is None

    def test_other_errors_loading_the_reader_propagate(self, tmp_path):
        path = container(tmp_path, {"model_type": "velda"})
        broken = type(sys)("talvo.engine.video_reader")
        broken.__getattr__ = mock.Mock(side_effect=RuntimeError("reader half-initialised"))
        with mock.patch.dict(sys.modules, {"talvo.engine.video_reader": broken}):
            with pytest.raises(RuntimeError, match="half-initialised"):
                ra._peek_model_type(path)

    @pytest.mark.parametrize("error", [OSError("device gone"), MemoryError(), ValueError("bad")])
    def test_container_that_fails_to_open_is_no_model(self, tmp_path, error):
        path = container(tmp_path, {"model_type": "velda"})
        with mock.patch.object(video_reader, "ImxContainer", side_effect=error):
            assert ra._peek_model_type(path) is None

    def test_interrupt_while_opening_is_not_swallowed(self, tmp_path):
        path = container(tmp_path, {"model_type": "velda"})
        with mock.patch.object(video_reader, "ImxContainer", side_effect=KeyboardInterrupt):
            with pytest.raises(KeyboardInterrupt):
                ra._peek_model_type(path)

    def test_error_from_is_imx_file_propagates(self, tmp_path):
        path = container(tmp_path, {"model_type": "velda"})
        boom = PermissionError("denied")
        with mock.patch.object(video_reader, "is_imx_file", side_effect=boom):
            with pytest.raises(PermissionError) as caught:
                ra._peek_model_type(path)
        assert caught.value is boom

    @pytest.mark.parametrize("where", ["metadata", "get"])
    def test_error_reading_the_manifest_propagates(self, tmp_path, where):
        path = container(tmp_path, {"model_type": "velda"})
        boom = RuntimeError("manifest unreadable")

        class Meta(dict):
            def get(self, key, default=None):
                raise boom

        class Box:
            def __init__(self, path):
                pass

            @property
            def metadata(self):
                if where == "metadata":
                    raise boom
                return Meta(model_type="velda")

        with mock.patch.object(video_reader, "ImxContainer", Box):
            with pytest.raises(RuntimeError) as caught:
                ra._peek_model_type(path)
        assert caught.value is boom

    def test_corrupt_manifest_is_reported_not_hidden(self, tmp_path):
        name, body = b"manifest.json", b"{x]"
        start = 8 + 2 + len(name) + 16
        path = tmp_path / "m.imx"
        path.write_bytes(
            struct.pack("<4sI", b"IMX1", 1)
            + struct.pack("<H", len(name))
            + name
            + struct.pack("<QQ", start, len(body))
            + body
        )
        with pytest.raises(video_reader.ImxFormatError, match="manifest"):
            ra._peek_model_type(str(path))

    @pytest.mark.parametrize("args", [(None,), (), ("a", "b")])
    def test_bad_arguments_are_type_errors(self, args):
        with pytest.raises(TypeError):
            ra._peek_model_type(*args)


class TestRejectIfVeldaModel:
    def test_relative_path_message(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        os.mkdir("models")
        pack_demo_model("models/a.imx", model_type="velda")
        with pytest.raises(VeldaModelNotSupported) as caught:
            ra._reject_if_velda_model("models/a.imx")
        assert str(caught.value) == "Model at 'models/a.imx'" + REJECTION_TAIL
        assert caught.value.message == str(caught.value)
        assert caught.value.__cause__ is None and caught.value.__context__ is None

    def test_quote_in_path_is_shown_as_repr(self, tmp_path):
        path = str(tmp_path / "it's.imx")
        pack_demo_model(path, model_type="velda")
        with pytest.raises(VeldaModelNotSupported) as caught:
            ra._reject_if_velda_model(model_path=path)
        assert str(caught.value) == f'Model at "{path}"' + REJECTION_TAIL

    @pytest.mark.parametrize("model_type", ["orrin", "Velda", " velda", None])
    def test_other_models_pass(self, tmp_path, model_type):
        manifest = None if model_type is None else {"model_type": model_type}
        assert ra._reject_if_velda_model(container(tmp_path, manifest)) is None

    def test_missing_and_non_container_paths_pass(self, tmp_path):
        (tmp_path / "notes.txt").write_text("hello")
        assert ra._reject_if_velda_model(str(tmp_path / "absent.imx")) is None
        assert ra._reject_if_velda_model(str(tmp_path / "notes.txt")) is None

    def test_uses_the_probe_as_patched(self, tmp_path):
        with mock.patch.object(ra, "_peek_model_type", return_value="velda") as peek:
            with pytest.raises(VeldaModelNotSupported, match="absent"):
                ra._reject_if_velda_model("absent")
        peek.assert_called_once_with("absent")

    def test_probe_and_rejection_log_nothing(self, tmp_path):
        path = container(tmp_path, {"model_type": "velda"})
        with mock.patch.object(ra, "logger") as logger:
            assert ra._peek_model_type(path) == "velda"
            with pytest.raises(VeldaModelNotSupported):
                ra._reject_if_velda_model(path)
        assert logger.mock_calls == []


class CountingFile:
    """Passes every call to the real file and adds up the bytes its reads return."""

    def __init__(self, file, tally):
        self._file, self._tally = file, tally

    def __enter__(self):
        self._file.__enter__()
        return self

    def __exit__(self, *exc):
        return self._file.__exit__(*exc)

    def __getattr__(self, name):
        return getattr(self._file, name)

    def read(self, *args):
        data = self._file.read(*args)
        self._tally.append(len(data))
        return data


def test_probe_of_a_large_model_reads_only_its_index(tmp_path, monkeypatch):
    path = tmp_path / "big.imx"
    pack_demo_model(path, model_type="velda", extra_bytes=100 * 1024 * 1024)
    assert os.path.getsize(path) > 100 * 1024 * 1024
    reads = []

    def counting_open(*args, **kwargs):
        return CountingFile(builtins.open(*args, **kwargs), reads)

    monkeypatch.setattr(video_reader, "open", counting_open, raising=False)
    assert ra._peek_model_type(str(path)) == "velda"
    # The tally must have seen the reads at all, or the bound below proves nothing.
    assert reads and 0 < sum(reads) < 4096
