"""Timing and formatting shared by the benchmark scripts: interleaved medians of a subject and
its floor, per-call medians of call loops, and the figures as text."""

from __future__ import annotations

import gc
import os
import platform
import statistics
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow


def machine_header() -> str:
    cpu = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    mem = "unknown"
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                mem = f"{int(line.split()[1]) / 2**20:.1f} GiB"
                break
    except OSError:
        pass
    return (
        f"machine: {os.cpu_count()} CPUs ({cpu}), {mem} RAM, {platform.system()} {platform.release()}\n"
        f"python {platform.python_version()}, pandas {pd.__version__}, "
        f"pyarrow {pyarrow.__version__}, numpy {np.__version__}"
    )


def mib(n_bytes: float) -> str:
    return f"{n_bytes / 2**20:.1f} MiB"


def fmt_time(seconds: float) -> str:
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.3f} s"


def size_label(rows: int) -> str:
    for unit, div in (("M", 1_000_000), ("k", 1_000)):
        if rows >= div and rows % div == 0:
            return f"{rows // div}{unit}"
    return str(rows)


def verdict(ratio: float, limit: float) -> str:
    return "yes" if ratio <= limit else "**no**"


def interleaved(
    reader: Callable[[], object],
    floor: Callable[[], object],
    *,
    budget: float,
    min_reps: int,
    max_reps: int,
    before: Callable[[], None] | None = None,
    collect: bool = True,
) -> tuple[float, float]:
    """Median seconds of reader() and floor(), run alternately (ABBA order).

    `before` runs (untimed) ahead of every call, e.g. to drop a cache file.
    """
    def once(fn: Callable[[], object]) -> float:
        if before is not None:
            before()
        if collect:
            gc.collect()
        start = time.perf_counter()
        result = fn()
        elapsed = time.perf_counter() - start
        del result
        return elapsed

    # A warm-up pair, which also sizes the run: its wall time counts the
    # untimed work (collections, `before`) too, so the budget holds.
    start = time.perf_counter()
    once(reader)
    once(floor)
    first = time.perf_counter() - start
    reps = int(min(max_reps, max(min_reps, budget / max(first, 1e-9))))
    times_r: list[float] = []
    times_f: list[float] = []
    for i in range(reps):
        if i % 2 == 0:
            times_r.append(once(reader))
            times_f.append(once(floor))
        else:
            times_f.append(once(floor))
            times_r.append(once(reader))
    return statistics.median(times_r), statistics.median(times_f)


def per_call(
    reader: Callable[[], None], floor: Callable[[], None], *, samples: int, loops: int
) -> tuple[float, float]:
    """Median per-call seconds of two call loops (each running `loops` calls), collector off."""
    times_r: list[float] = []
    times_f: list[float] = []
    reader()
    floor()
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for i in range(samples):
            pair = ((reader, times_r), (floor, times_f))
            for fn, out in pair if i % 2 == 0 else pair[::-1]:
                start = time.perf_counter()
                fn()
                out.append((time.perf_counter() - start) / loops)
    finally:
        if was_enabled:
            gc.enable()
    return statistics.median(times_r), statistics.median(times_f)


def medians(candidates: dict[str, Callable[[], object]], repeats: int,
            before: Callable[[], None] | None = None, minima: dict[str, float] | None = None) -> dict[str, float]:
    """Median seconds of each callable, run in rotating order; `before` (untimed) ahead of every run.
    `minima`, when given, receives each callable's fastest run (on a shared machine, the nearest
    to its time on a quiet one)."""
    times: dict[str, list[float]] = {name: [] for name in candidates}
    names = list(candidates)
    for repeat in range(repeats):
        for name in names[repeat % len(names):] + names[:repeat % len(names)]:
            if before is not None:
                before()
            gc.collect()
            start = time.perf_counter()
            result = candidates[name]()
            times[name].append(time.perf_counter() - start)
            del result
    if minima is not None:
        minima.update({name: min(values) for name, values in times.items()})
    return {name: statistics.median(values) for name, values in times.items()}


def fmt(seconds: float) -> str:
    """Milliseconds, or seconds from 10 s up."""
    return f"{seconds * 1e3:.1f} ms" if seconds < 10 else f"{seconds:.2f} s"


def faster(subject: float, baseline: float, at_least: float) -> str:
    ratio = baseline / subject
    return f"{'yes' if ratio >= at_least else '**no**'} ({ratio:.2f}x faster)"


def within(subject: float, baseline: float, at_most: float) -> str:
    ratio = subject / baseline
    return f"{'yes' if ratio <= at_most else '**no**'} ({ratio:.2f}x)"
