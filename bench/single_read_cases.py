"""The single-read cases: warm and cold get() against their floors, the cost per row, and the
peak memory of a warm get() in a fresh interpreter."""

from __future__ import annotations

import gc
import json
import os
import resource
import statistics
import subprocess
import sys
from pathlib import Path

import pandas as pd

import halvorn.orrery_data.light_data as light_data
from halvorn.orrery_data.light_data import CryptoMktData

from peak_memory import peak_rss_kib, reset_peak_rss, rss_kib
from single_read_setup import (HERE, INSTRUMENT, KINDS, SOURCE, Bench, FixedPathManager, Row, check_same,
                               floor_cold, floor_plain, rebound, timed_row)
from timing import mib, size_label, verdict


def warm_get(bench: Bench, kind: str, rows: int) -> Row:
    t_r, t_f = bench.warm_times(kind, rows)
    limit = 1.5 if rows < 100_000 else 1.15
    return timed_row(KINDS[kind].warm_label, size_label(rows), t_r, t_f, f"≤ {limit}x",
                     verdict(t_r / t_f, limit))


def warm_get_fixed_path_manager(bench: Bench, rows: int) -> Row:
    """The warm klines read with a path builder that costs nothing, to tell the
    reader's own cost from the stand-in builder's."""
    stored = bench.warm("plain", rows)
    with rebound(light_data, PathManager=FixedPathManager(stored.storage_file)):
        t_r, t_f = bench.interleaved(stored.reader.get, lambda: floor_plain(stored.cache_file),
                                     max_reps=300, collect=False)
    return timed_row(KINDS["plain"].warm_label + ", fixed PathManager (info)", size_label(rows),
                     t_r, t_f, "(info)", "—")


def per_row(bench: Bench, sizes: list[int]) -> list[Row]:
    """ns/row of the warm derivative-ticker read; linear cost means a flat ns/row."""
    if not sizes:
        return []
    times = {n: bench.warm_times("ticker", n) for n in sizes}
    ns_r = {n: times[n][0] / n * 1e9 for n in sizes}
    ns_f = {n: times[n][1] / n * 1e9 for n in sizes}
    large = [n for n in sizes if n >= 100_000]
    if len(large) >= 2:
        # A falling ns/row is the fixed cost of a call spread over more rows.
        # Only a rising ns/row would be worse than linear.
        spread = ns_r[large[-1]] / min(ns_r[n] for n in large)
        met = ("yes" if spread <= 1.5 else "**no**") + (
            f"; ns/row at {size_label(large[-1])} is {spread:.2f}x the lowest over "
            f"{size_label(large[0])}–{size_label(large[-1])}")
    else:
        met = "n/a (needs two sizes from 100k up)"
    last = sizes[-1]
    return [Row("per row: warm get(), derivative ticker", size_label(n), f"{ns_r[n]:.1f} ns/row",
                f"{ns_f[n]:.1f} ns/row", ns_r[n] / ns_f[n], "linear" if n == last else "",
                met if n == last else "")
            for n in sizes]


def cold_get(bench: Bench, kind: str, rows: int) -> Row:
    """get() after remove_cache(): a storage read plus the cache write."""
    bench.log(f"cold {kind} {rows}")
    stored = bench.store(kind, rows)
    reader, finish = stored.reader, KINDS[kind].finish
    tmp = str(bench.work / "cache" / "floor-tmp.feather")
    os.makedirs(bench.work / "cache", exist_ok=True)

    def drop() -> None:
        reader.remove_cache()
        if os.path.exists(tmp):
            os.remove(tmp)

    def floor() -> pd.DataFrame:
        return floor_cold(stored.storage_file, tmp, finish)

    drop()
    got = reader.get()
    assert os.path.isfile(stored.cache_file)
    check_same(got, floor())
    check_same(pd.read_feather(stored.cache_file), pd.read_feather(tmp))
    del got
    t_r, t_f = bench.interleaved(reader.get, floor, max_reps=100, before=drop)
    drop()
    gc.collect()
    return timed_row(f"cold get(), {KINDS[kind].name}", size_label(rows), t_r, t_f, "≤ 1.1x",
                     verdict(t_r / t_f, 1.10))


def memory_child(side: str, kind: str, date: int, warm_date: int, cache_file: str,
                 warm_cache_file: str) -> None:
    """Runs in the child: prints the peak RSS growth of one warm read, as JSON."""
    if side == "reader":
        data_type = KINDS[kind].data_type
        reader = CryptoMktData(date, INSTRUMENT, data_type, data_sources=[SOURCE])
        warm = CryptoMktData(warm_date, INSTRUMENT, data_type, data_sources=[SOURCE])
        run, warm_up = reader.get, warm.get
    else:
        floor = KINDS[kind].floor
        run, warm_up = (lambda: floor(cache_file)), (lambda: floor(warm_cache_file))
    # Same code paths once on a small table, so that lazily loaded code and
    # allocator arenas do not count as the call's memory.
    warm_up()
    warm_up()
    gc.collect()
    base, reset = rss_kib(), reset_peak_rss()
    if not reset:
        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    df = run()
    peak = peak_rss_kib() if reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"growth": (peak - base) * 1024, "table": int(df.memory_usage(deep=True).sum()),
                      "rows": len(df), "reset": reset}))


def memory_growth(config: Path, *args: object) -> dict:
    code = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import single_read_cases; "
            f"single_read_cases.memory_child(*{args!r})")
    env = dict(os.environ, HALVORN_CONFIG=str(config))
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                         text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def peak_rss_growth(bench: Bench, kind: str, rows: int, small: int) -> Row:
    """A warm get() of `rows` rows after warming up on `small` rows."""
    bench.log(f"memory {kind} {rows}")
    big, warm = bench.warm(kind, rows), bench.warm(kind, small)
    args = (kind, big.reader.date, warm.reader.date, big.cache_file, warm.cache_file)
    growth_r, growth_f, table = [], [], 0
    for _ in range(1 if bench.quick else 3):
        r = memory_growth(bench.config, "reader", *args)
        f = memory_growth(bench.config, "floor", *args)
        growth_r.append(r["growth"])
        growth_f.append(f["growth"])
        table = r["table"]
    m_r, m_f = statistics.median(growth_r), statistics.median(growth_f)
    return Row(f"peak RSS growth, warm get(), {KINDS[kind].name}", size_label(rows), mib(m_r),
               mib(m_f), m_r / m_f, f"≤ floor + table ({mib(table)})",
               ("yes" if m_r - m_f <= table else "**no**")
               + f"; {(m_r - m_f) / 2**20:+.1f} MiB above the floor")
