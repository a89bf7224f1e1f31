"""The benchmark's own arithmetic and bookkeeping: a wrong percentile or a misfiled slow
callback would print a plausible but false table."""

import math

import pytest

from bench import report
from bench.measures.stall import classify
from bench.stats import percentile, ratio, summary_ms


class TestPercentile:
    @pytest.mark.parametrize("q, expected", [(0, 1), (50, 50), (99, 99), (99.5, 100), (100, 100)])
    def test_nearest_rank(self, q, expected):
        assert percentile(list(range(100, 0, -1)), q) == expected

    def test_single_sample_is_every_percentile(self):
        assert percentile([0.25], 1) == percentile([0.25], 99) == 0.25

    def test_empty_is_nan(self):
        assert math.isnan(percentile([], 50))
        assert summary_ms([])["samples"] == 0

    @pytest.mark.parametrize("q", [-1, 101])
    def test_out_of_range_is_refused(self, q):
        with pytest.raises(ValueError, match="percentile"):
            percentile([1.0], q)

    def test_summary_is_in_milliseconds(self):
        figures = summary_ms([0.001, 0.002, 0.010])
        assert figures["p50_ms"] == pytest.approx(2.0)
        assert figures["max_ms"] == pytest.approx(10.0)

    @pytest.mark.parametrize("peer", [0, math.nan])
    def test_ratio_without_a_peer_is_nan(self, peer):
        assert math.isnan(ratio(1.0, peer))


class TestClassify:
    @pytest.mark.parametrize(
        "message, kind",
        [
            (
                (
                    "Executing <Task pending name='stream:talvo' coro=<_consume() running at x.py:1>> "
                    "took 0.002 seconds"
                ),
                "stream",
            ),
            (
                (
                    "Executing <Handle _chain_future.<locals>._set_state(<Future finis...>) at "
                    "futures.py:381> took 0.003 seconds"
                ),
                "wakeup",
            ),
            ("Executing <Handle BaseSelectorEventLoop._read_from_self()> took 0.003 seconds", "wakeup"),
            (
                (
                    "Executing <Handle Queue._setup_async_notifier(...) created at "
                    "site-packages/janus/__init__.py:261> took 0.004 seconds"
                ),
                "wakeup",
            ),
            ("Executing <Task pending name='ticker' coro=<_ticker()>> took 0.002 seconds", "ticker"),
            (
                (
                    "Executing <TimerHandle when=1.0 _set_result_unless_cancelled(<Future>, None)> "
                    "took 0.002 seconds"
                ),
                "ticker",
            ),
            ("Executing <Task pending name='Task-7' coro=<_one()>> took 0.002 seconds", "other"),
        ],
    )
    def test_kind(self, message, kind):
        assert classify(message) == kind

    def test_stream_task_wins_over_the_future_it_waits_for(self):
        message = (
            "Executing <Task pending name='stream:plain' coro=<_consume()> wait_for=<Future "
            "pending cb=[_chain_future.<locals>._call_check_cancel()]>> took 0.002 seconds"
        )
        assert classify(message) == "stream"


class TestTable:
    RESULTS = {
        "throughput": {
            "talvo": {
                "fps": 4000.0,
                "cpu_us_per_frame": 250.0,
                "rss_bytes": {"before": 10 << 20, "half": 11 << 20, "after": 11 << 20},
            },
            "plain": {"fps": 5000.0, "cpu_us_per_frame": 200.0},
            "janus": {"fps": 16000.0, "cpu_us_per_frame": 50.0},
        },
        "scale": {
            "default": {
                "talvo": {8: {"fps_mean": 25.0, "fps_min": 24.0, "p99_ms": 1.0, "probe_p99_ms": 2.0}},
                "plain": {8: {"fps_mean": 25.0, "fps_min": 25.0, "p99_ms": 2.0, "probe_p99_ms": 2.0}},
            }
        },
    }

    def rows(self):
        return {figure: (better, values) for figure, better, values in report.rows(self.RESULTS)}

    def test_ratios_are_talvo_over_each_peer(self):
        lines = report.table(self.RESULTS).splitlines()
        line = next(x for x in lines if x.startswith("throughput"))
        assert line.split()[-4:] == ["0.8", "0.25", "-", "-"]  # no loop mode in these results

    def test_a_peer_missing_from_a_figure_shows_no_ratio(self):
        lines = report.table(self.RESULTS).splitlines()
        line = next(x for x in lines if x.startswith("8 streams, default executor: p99"))
        assert line.split()[-3] == "-"
        assert line.split()[-4] == "0.5"

    def test_memory_growth_is_per_half(self):
        rows = self.rows()
        first = rows["RSS growth, talvo's first half of frames (MiB)"][1]["talvo"]
        second = rows["RSS growth, talvo's second half (MiB)"][1]["talvo"]
        assert (first, second) == (pytest.approx(1.0), pytest.approx(0.0))

    def test_direction_is_stated(self):
        rows = self.rows()
        assert rows["throughput (frames/s)"][0] == "higher"
        assert rows["CPU per frame (us)"][0] == "lower"
