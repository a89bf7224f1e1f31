"""Cost of awaiting host coroutines against the same code written as ``async def``.

Two cases, each measured for ours and the native twin side by side in one run: a coroutine that
returns at once, and one that awaits an already-done ``asyncio.Future``. Many awaits run inside
one task; the best of several repeats is kept. Time is the thread's CPU time, so a busy machine
preempting us inflates the figures less. Prints ns per await and the ratio ours/native.

    PYTHONPATH=python python bench/bench_coroutines.py [--awaits N] [--repeats R] [--uvloop]
"""

import argparse
import asyncio
import platform
import time

from talvo._host_testing import Probe as HostProbe


class NativeProbe:
    async def returns(self, value):
        return value

    async def awaits(self, awaitable):
        return await awaitable


async def returns_loop(probe, n):
    returns = probe.returns
    start = time.thread_time_ns()
    for _ in range(n):
        await returns(None)
    return time.thread_time_ns() - start


async def awaits_ready_loop(probe, n):
    ready = asyncio.get_running_loop().create_future()
    ready.set_result(None)
    awaits = probe.awaits
    start = time.thread_time_ns()
    for _ in range(n):
        await awaits(ready)
    return time.thread_time_ns() - start


CASES = {"returns at once": returns_loop, "awaits a ready future": awaits_ready_loop}


async def measure(n, repeats):
    impls = {"host": HostProbe(), "native": NativeProbe()}
    best = {(case, impl): float("inf") for case in CASES for impl in impls}
    for _ in range(repeats):
        for case, loop in CASES.items():
            for impl, probe in impls.items():  # interleaved, so drift hits both alike
                best[case, impl] = min(best[case, impl], await loop(probe, n) / n)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--awaits", type=int, default=200_000, help="awaits per repeat")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--uvloop", action="store_true", help="run under uvloop")
    args = parser.parse_args()
    factory = asyncio.new_event_loop
    if args.uvloop:
        import uvloop

        factory = uvloop.new_event_loop
    with asyncio.Runner(loop_factory=factory) as runner:
        best = runner.run(measure(args.awaits, args.repeats))
    print(
        f"{platform.python_implementation()} {platform.python_version()}, "
        f"{platform.machine()}, {'uvloop' if args.uvloop else 'asyncio'} loop, "
        f"best of {args.repeats} x {args.awaits} awaits"
    )
    print(f"{'case':<24}{'host ns':>10}{'native ns':>11}{'ratio':>8}")
    for case in CASES:
        ours, native = best[case, "host"], best[case, "native"]
        print(f"{case:<24}{ours:>10.1f}{native:>11.1f}{ours / native:>8.2f}")


if __name__ == "__main__":
    main()
