"""Timing for the benchmarks: methods run interleaved, reported as medians.

The machine is shared, so the methods of one case take turns, in a freshly
shuffled order every round (B, A, C, C, A, B, ...): load from outside the
benchmark then weighs on every method alike, no method always runs right
after the same other one (whose caches, frequency or spinning threads it
would inherit), and the median of each method's samples is compared with
the others'.
"""

from __future__ import annotations

import os
import random
import statistics
import time
from dataclasses import dataclass
from typing import Callable


@dataclass
class Measured:
    """What a method returns when its work ran elsewhere (another process,
    e.g. another build of the module) and was timed there: interleaved
    records these times instead of its own around the call."""

    wall: float
    cpu: float


@dataclass
class Stats:
    samples: list[float]  # wall seconds per call
    cpu: list[float]  # CPU seconds of the process (all its threads) per call

    @property
    def median(self) -> float:
        return statistics.median(self.samples)

    @property
    def min(self) -> float:
        return min(self.samples)

    @property
    def max(self) -> float:
        return max(self.samples)


def interleaved(methods: dict[str, Callable[[], object]], *, budget: float = 10.0, min_rounds: int = 7,
                max_rounds: int = 101, before: dict[str, Callable[[], object]] | None = None,
                settle: dict[str, float] | None = None) -> dict[str, Stats]:
    """Wall and process CPU time of every method over rounds that each run
    all methods once, in an order shuffled every round (seeded, so a run can
    be repeated).

    Each method runs once untimed first (warm-up); the number of rounds is then
    what fits in about `budget` seconds, within [min_rounds, max_rounds]
    (BENCH_ROUNDS in the environment fixes it). `before[name]`, when given,
    runs untimed right before each timed call of `name` (e.g. setting a
    library's thread count). `settle[name]` seconds are slept after each call
    of `name`: libraries whose worker threads keep spinning after a call would
    otherwise slow the method timed next. A method that returns a Measured
    has those times recorded instead of its own.
    """
    before, settle = before or {}, settle or {}
    warm = 0.0
    for name, fn in methods.items():
        before.get(name, lambda: None)()
        t0 = time.perf_counter()
        fn()
        warm += time.perf_counter() - t0 + settle.get(name, 0.0)
        time.sleep(settle.get(name, 0.0))
    rounds = int(os.environ.get("BENCH_ROUNDS", "0")) or max(min_rounds, min(max_rounds, int(budget / warm)))
    stats = {name: Stats([], []) for name in methods}
    order = list(methods.items())
    shuffle = random.Random(0).shuffle
    for _ in range(rounds):
        shuffle(order)
        for name, fn in order:
            before.get(name, lambda: None)()
            c0, t0 = time.process_time(), time.perf_counter()
            result = fn()
            t1, c1 = time.perf_counter(), time.process_time()
            if isinstance(result, Measured):
                t0, t1, c0, c1 = 0.0, result.wall, 0.0, result.cpu
            stats[name].samples.append(t1 - t0)
            stats[name].cpu.append(c1 - c0)
            if name in settle:
                time.sleep(settle[name])
    return stats


def print_table(title: str, stats: dict[str, Stats], baseline: str) -> None:
    """One row per method: median, min and max wall time in milliseconds,
    the median's ratio to the baseline method's median (above 1: slower), and
    the median CPU time of all the process's threads (less sensitive to other
    processes on the machine than wall time; it includes threads that spin
    while waiting)."""
    rounds = len(next(iter(stats.values())).samples)
    width = max(len(name) for name in stats)
    print(f"\n{title} ({rounds} interleaved rounds; ratio = median / median of {baseline!r})")
    print(f"  {'method':<{width}} {'median ms':>10} {'min ms':>9} {'max ms':>9} {'ratio':>7} {'cpu ms':>9}")
    base = stats[baseline].median
    for name, s in stats.items():
        print(f"  {name:<{width}} {s.median * 1e3:10.2f} {s.min * 1e3:9.2f} {s.max * 1e3:9.2f} "
              f"{s.median / base:7.2f} {statistics.median(s.cpu) * 1e3:9.2f}")


def ratio_line(label: str, numerator: Stats, denominator: Stats, *, goal: float | None = None) -> str:
    """'label: 1.23x' of two wall-time medians, with 'met'/'MISSED' when a
    goal (largest acceptable ratio) is given, and the ratio of the median CPU
    times beside it."""
    r = numerator.median / denominator.median
    verdict = "" if goal is None else f" (goal <= {goal:g}: {'met' if r <= goal else 'MISSED'})"
    cpu = statistics.median(numerator.cpu) / statistics.median(denominator.cpu)
    return f"  {label}: {r:.2f}x{verdict}; cpu {cpu:.2f}x"


def load_average() -> str:
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f} on {os.cpu_count()} cpus"
