"""How close CryptoMktData comes to the cost of the bare I/O it wraps.

Every case times the reader and a floor, the bare pandas/pyarrow calls that do
the same I/O and produce the same frame, in the same run, interleaved, and
reports medians and their ratio. Memory cases run each side in a fresh
subprocess and compare the growth of peak resident memory.

    .venv/bin/python bench/run.py            # full run (10M-row tables, a few minutes)
    .venv/bin/python bench/run.py --quick    # smaller tables, fewer repeats
    .venv/bin/python bench/run.py --sizes 1,100000,1000000

Prints one markdown table (and a header naming the machine and the library
versions); the same text is kept in bench/results/latest.md.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np
import pandas as pd
import pyarrow

HERE = Path(__file__).resolve().parent
DATE0 = 20240101
DAY_START_US = 1_704_067_200_000_000  # 2024-01-01 00:00:00 UTC

# ---------------------------------------------------------------------------
# Tables


def klines(rows: int, seed: int = 7) -> pd.DataFrame:
    """A kind stored with its "DateTime" column (read back as stored)."""
    rng = np.random.default_rng(seed)
    open_ms = DAY_START_US // 1000 + 60_000 * np.arange(rows, dtype=np.int64)
    close = 42_000 + rng.normal(0, 25, rows).cumsum()
    return pd.DataFrame(
        {
            "DateTime": pd.to_datetime(open_ms + 60_000, unit="ms", utc=True).as_unit("ns"),
            "OpenTime": open_ms,
            "Open": close + rng.normal(0, 5, rows),
            "Close": close,
            "Volume": rng.gamma(2.0, 40.0, rows),
        }
    )


def derivative_ticker(rows: int, seed: int = 11) -> pd.DataFrame:
    """Derivative ticker: "timestamp" in microseconds since 1970 (16 digits)."""
    rng = np.random.default_rng(seed)
    stamps = DAY_START_US + np.sort(rng.integers(0, 86_400_000_000, rows))
    return pd.DataFrame(
        {
            "timestamp": stamps,
            "funding_rate": rng.normal(1e-4, 2e-5, rows),
            "open_interest": 80_000 + rng.normal(0, 300, rows).cumsum(),
            "mark_price": 42_000 + rng.normal(0, 20, rows).cumsum(),
        }
    )


# ---------------------------------------------------------------------------
# Floors: the bare calls producing the reader's result


def check_same(got: pd.DataFrame, want: pd.DataFrame) -> None:
    """Asserts that two frames are equal, dtypes and index included.

    assert_frame_equal takes about a minute on a 10M-row UTC index, so large
    frames are compared through DataFrame.equals (exact values, same dtypes)
    plus the index and column attributes that equals does not look at.
    """
    if len(got) <= 1_000_000:
        pd.testing.assert_frame_equal(got, want)
        return
    assert got.shape == want.shape, (got.shape, want.shape)
    assert list(got.columns) == list(want.columns), (list(got.columns), list(want.columns))
    assert got.columns.dtype == want.columns.dtype
    assert got.dtypes.equals(want.dtypes), (got.dtypes, want.dtypes)
    for a, b in ((got.index, want.index),):
        assert type(a) is type(b) and a.dtype == b.dtype and a.name == b.name, (a, b)
        assert getattr(a, "freq", None) == getattr(b, "freq", None)
        assert a.equals(b)
    assert got.equals(want)


def floor_plain(path: str) -> pd.DataFrame:
    return pd.read_feather(path).set_index("DateTime")


def normalise_us(df: pd.DataFrame) -> pd.DataFrame:
    # One conversion of the microsecond counts; the reader's index is in ns.
    stamps = df.pop("timestamp")
    index = pd.to_datetime(stamps, unit="us", utc=True).dt.as_unit("ns")
    df.index = pd.DatetimeIndex(index, name="DateTime")
    return df


def floor_ticker(path: str) -> pd.DataFrame:
    return normalise_us(pd.read_feather(path))


def floor_cold(storage_file: str, tmp: str, normalised: bool) -> pd.DataFrame:
    df = pd.read_feather(storage_file)
    df.to_feather(tmp)
    return normalise_us(df) if normalised else df.set_index("DateTime")


# ---------------------------------------------------------------------------
# Environment


def write_config(root: Path) -> Path:
    config = root / "platform.ini"
    config.write_text(
        textwrap.dedent(
            f"""\
            [env]
            use_minio_storage = false

            [data_related]
            LOCAL_DATA_ROOT = {root / "store"}
            LOCAL_DATA_CACHE_DIR = {root / "cache"}
            """
        )
    )
    return config


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


# ---------------------------------------------------------------------------
# Timing


@dataclass
class Row:
    case: str
    size: str
    reader: str
    floor: str
    ratio: float | None
    goal: str
    met: str


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
    """Median per-call seconds of two call loops (each a closure running `loops` calls)."""
    times_r: list[float] = []
    times_f: list[float] = []
    reader()
    floor()
    gc.collect()
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for i in range(samples):
            for fn, out in ((reader, times_r), (floor, times_f)) if i % 2 == 0 else (
                (floor, times_f),
                (reader, times_r),
            ):
                start = time.perf_counter()
                fn()
                out.append((time.perf_counter() - start) / loops)
    finally:
        if was_enabled:
            gc.enable()
    return statistics.median(times_r), statistics.median(times_f)


def verdict(ratio: float, limit: float) -> str:
    return "yes" if ratio <= limit else "**no**"


def size_label(rows: int) -> str:
    for unit, div in (("M", 1_000_000), ("k", 1_000)):
        if rows >= div and rows % div == 0:
            return f"{rows // div}{unit}"
    return str(rows)


# ---------------------------------------------------------------------------
# Memory: one fresh interpreter per measurement


CHILD_CODE = r"""
import gc, json, os, resource, sys
import pandas as pd
sys.path.insert(0, {bench_dir!r})
import run as bench
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_utils.priceable.instrument import Instrument

side, kind, date, warm_date, cache_file, warm_cache_file = {args!r}
data_type = DataType.DerivativeTicker if kind == "ticker" else DataType.Klines
instrument = Instrument(exchange="binance-futures", symbol="BTCUSDT")
floor = bench.floor_ticker if kind == "ticker" else bench.floor_plain
if side == "reader":
    reader = CryptoMktData(date, instrument, data_type, data_sources=[DataSource.binance])
    warm = CryptoMktData(warm_date, instrument, data_type, data_sources=[DataSource.binance])
    run, warm_up = reader.get, warm.get
else:
    run, warm_up = (lambda: floor(cache_file)), (lambda: floor(warm_cache_file))
# Same code paths once on a small table, so that lazily loaded code and
# allocator arenas do not count as the call's memory.
warm_up(); warm_up()
gc.collect()
base, reset = bench.rss_kib(), bench.reset_peak_rss()
if not reset:
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
df = run()
peak = bench.peak_rss_kib() if reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({{"growth": (peak - base) * 1024, "table": int(df.memory_usage(deep=True).sum()),
                   "rows": len(df), "reset": reset}}))
"""


def _status_kib(key: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    raise KeyError(key)


def rss_kib() -> int:
    return _status_kib("VmRSS")


def peak_rss_kib() -> int:
    return _status_kib("VmHWM")


def reset_peak_rss() -> bool:
    """Resets the peak-RSS mark to the current RSS (Linux); False where that is unsupported.

    A child started from this process may inherit this process's peak
    (ru_maxrss counts the image it was forked from), so the mark is reset
    rather than compared against an earlier reading.
    """
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")
        return True
    except OSError:
        return False


def memory_growth(side: str, kind: str, date: int, warm_date: int, cache_file: str, warm_cache: str,
                  config: Path) -> dict:
    code = CHILD_CODE.format(bench_dir=str(HERE),
                             args=(side, kind, date, warm_date, cache_file, warm_cache))
    env = dict(os.environ, HALVORN_CONFIG=str(config))
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True, capture_output=True,
                         text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# The run


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller tables, fewer repeats")
    parser.add_argument("--sizes", help="comma-separated row counts for the read cases "
                        "(default 1,100000,10000000; --quick: 1,100000,1000000)")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folder")
    parser.add_argument("--out", default=str(HERE / "results" / "latest.md"),
                        help="also write the output here ('' to skip)")
    options = parser.parse_args()

    if options.sizes:
        sizes = sorted({int(s.replace("_", "")) for s in options.sizes.split(",") if s})
    else:
        sizes = [1, 100_000, 1_000_000] if options.quick else [1, 100_000, 10_000_000]
    big = max(sizes)
    cold_sizes = [s for s in sizes if s >= 100_000] or [big]
    per_row_sizes = sorted({s for s in (1_000, 100_000, 1_000_000, 10_000_000) if s <= big} |
                           {s for s in sizes if s >= 1_000})
    budget = 1.0 if options.quick else 4.0
    min_reps = 3 if options.quick else 9
    call_samples, call_loops = (15, 2_000) if options.quick else (41, 10_000)

    work = Path(tempfile.mkdtemp(prefix="light_data_bench_"))
    config = write_config(work)
    os.environ["HALVORN_CONFIG"] = str(config)

    def measure() -> None:
        # The reader module is imported once the configuration is in place.
        import halvorn.orrery_data.light_data as light_data
        from halvorn.orrery_data.enums import DataSource, DataType
        from halvorn.orrery_data.light_data import CryptoMktData
        from halvorn.orrery_utils.priceable.instrument import Instrument

        instrument = Instrument(exchange="binance-futures", symbol="BTCUSDT")
        SOURCE = DataSource.binance  # one data source: every read is served by it
        header = machine_header()
        print(header, flush=True)
        rows: list[Row] = []
        notes: list[str] = []
        started = time.perf_counter()

        kinds = {
            "plain": (DataType.Klines, klines, floor_plain, "warm get(), klines (no normalisation)"),
            "ticker": (DataType.DerivativeTicker, derivative_ticker, floor_ticker,
                       "warm get(), derivative ticker, µs \"timestamp\""),
        }
        dates = iter(range(DATE0, DATE0 + 28))

        def stored(kind: str, n: int):
            """A reader on a freshly written table of n rows; its storage and cache files."""
            data_type, make, _, _ = kinds[kind]
            reader = CryptoMktData(next(dates), instrument, data_type, data_sources=[SOURCE])
            table = make(n)
            reader.write(table)
            del table
            storage_file = reader.get_path(SOURCE)
            cache_file = str(work / "cache" / (__import__("hashlib").sha256(
                storage_file.encode()).hexdigest() + ".feather"))
            return reader, storage_file, cache_file

        def log(msg: str) -> None:
            print(f"  [{time.perf_counter() - started:6.1f}s] {msg}", file=sys.stderr, flush=True)

        # --- warm reads (and per-row figures for the normalised kind) -----------
        per_row: dict[int, tuple[float, float]] = {}
        memory_targets: dict[str, tuple[int, str]] = {}
        small_targets: dict[str, tuple[int, str]] = {}
        for kind in ("plain", "ticker"):
            _, _, floor, label = kinds[kind]
            kind_sizes = sorted(set(sizes) | (set(per_row_sizes) if kind == "ticker" else set()))
            for n in kind_sizes:
                log(f"warm {kind} {n}")
                reader, _, cache_file = stored(kind, n)
                first = reader.get()  # cold: fills the cache
                assert os.path.isfile(cache_file), cache_file
                del first
                got = reader.get()
                check_same(got, floor(cache_file))
                del got
                t_r, t_f = interleaved(reader.get, lambda: floor(cache_file), budget=budget,
                                       min_reps=min_reps, max_reps=300, collect=n >= 100_000)
                if kind == "ticker":
                    per_row[n] = (t_r, t_f)
                if n in sizes:
                    limit = 1.5 if n < 100_000 else 1.15
                    rows.append(Row(label, size_label(n), fmt_time(t_r), fmt_time(t_f), t_r / t_f,
                                    f"≤ {limit}x", verdict(t_r / t_f, limit)))
                if n == big:
                    memory_targets[kind] = (reader.date, cache_file)
                if n == min(sizes):
                    small_targets[kind] = (reader.date, cache_file)
                if n == 1 and kind == "plain":
                    # The same 1-row read with a path builder that costs nothing,
                    # to tell the reader's own cost from the stand-in's.
                    saved = light_data.PathManager
                    path_text = reader.get_path(DataSource.binance)

                    class FixedPathManager:
                        @staticmethod
                        def get_mktdata_path(*, date, instrument, data_type, data_source,
                                             data_destination):
                            return path_text

                    light_data.PathManager = FixedPathManager
                    try:
                        t_r, t_f = interleaved(reader.get, lambda: floor(cache_file), budget=budget,
                                               min_reps=min_reps, max_reps=300, collect=False)
                    finally:
                        light_data.PathManager = saved
                    rows.append(Row(label + ", fixed PathManager (info)", size_label(n),
                                    fmt_time(t_r), fmt_time(t_f), t_r / t_f, "(info)", "—"))
                del reader
                gc.collect()

        # --- per-row cost of the warm normalised read -----------------------------
        ns_r = {n: per_row[n][0] / n * 1e9 for n in per_row_sizes}
        ns_f = {n: per_row[n][1] / n * 1e9 for n in per_row_sizes}
        large = [n for n in per_row_sizes if n >= 100_000]
        if len(large) >= 2:
            # Linear cost means a flat ns/row; a falling one is the fixed cost of a
            # call spread over more rows. Only a rising ns/row would be worse.
            spread = ns_r[large[-1]] / min(ns_r[n] for n in large)
            linear = (f"ns/row at {size_label(large[-1])} is {spread:.2f}x the lowest over "
                      f"{size_label(large[0])}–{size_label(large[-1])}")
        else:
            spread, linear = None, "n/a"
        for n in per_row_sizes:
            rows.append(Row("per row: warm get(), derivative ticker", size_label(n),
                            f"{ns_r[n]:.1f} ns/row", f"{ns_f[n]:.1f} ns/row", ns_r[n] / ns_f[n],
                            "linear" if n == per_row_sizes[-1] else "",
                            ("n/a (needs two sizes from 100k up)" if spread is None else
                             ("yes" if spread <= 1.5 else "**no**") + "; " + linear)
                            if n == per_row_sizes[-1] else ""))

        # --- cold reads: storage read plus cache write -------------------------------
        for kind in ("plain", "ticker"):
            data_type = kinds[kind][0]
            for n in cold_sizes:
                log(f"cold {kind} {n}")
                reader, storage_file, cache_file = stored(kind, n)
                tmp = str(work / "cache" / "floor-tmp.feather")
                os.makedirs(work / "cache", exist_ok=True)

                def drop() -> None:
                    reader.remove_cache()
                    if os.path.exists(tmp):
                        os.remove(tmp)

                drop()
                got = reader.get()
                assert os.path.isfile(cache_file)
                check_same(got, floor_cold(storage_file, tmp, kind == "ticker"))
                check_same(pd.read_feather(cache_file), pd.read_feather(tmp))
                del got
                t_r, t_f = interleaved(reader.get,
                                       lambda: floor_cold(storage_file, tmp, kind == "ticker"),
                                       budget=budget, min_reps=min_reps, max_reps=100, before=drop)
                label = "cold get(), " + ("derivative ticker" if kind == "ticker" else "klines")
                rows.append(Row(label, size_label(n), fmt_time(t_r), fmt_time(t_f), t_r / t_f,
                                "≤ 1.1x", verdict(t_r / t_f, 1.10)))
                drop()
                del reader
                gc.collect()

        # --- call overhead ----------------------------------------------------------
        log("call overhead")

        class PyReader:
            """Empty Python methods with the reader's signatures."""

            def exists(self):
                return False

            def get_path(self, data_source):
                pass

        py = PyReader()
        no_sources = CryptoMktData(DATE0, instrument, DataType.Klines, data_sources=[])
        assert no_sources.exists() is False
        loops = range(call_loops)

        def loop_exists(obj):
            def run() -> None:
                for _ in loops:
                    obj.exists()
            return run

        def loop_get_path(obj, source):
            def run() -> None:
                for _ in loops:
                    obj.get_path(source)
            return run

        def loop_bad_call(obj):
            def run() -> None:
                for _ in loops:
                    try:
                        obj.exists(1)
                    except TypeError:
                        pass
            return run

        t_r, t_f = per_call(loop_exists(no_sources), loop_exists(py), samples=call_samples,
                            loops=call_loops)
        rows.append(Row("exists(), no data sources", "call", fmt_time(t_r), fmt_time(t_f), t_r / t_f,
                        "≤ 1.0x", verdict(t_r / t_f, 1.0)))

        class TrivialPathManager:
            @staticmethod
            def get_mktdata_path(*, date, instrument, data_type, data_source, data_destination):
                return "/data/path"

        def builder_alone() -> None:
            build = TrivialPathManager.get_mktdata_path
            destination = light_data.DataDestination.processed_data
            for _ in loops:
                build(date=DATE0, instrument=instrument, data_type=DataType.Klines,
                      data_source=DataSource.binance, data_destination=destination)

        saved = light_data.PathManager
        for data_type, what in ((DataType.Klines, "klines"), (DataType.DerivativeTicker, "derivative ticker")):
            reader = CryptoMktData(DATE0, instrument, data_type, data_sources=[SOURCE])
            light_data.PathManager = TrivialPathManager
            try:
                assert reader.get_path(DataSource.binance) == "/data/path"
                t_r, t_f = per_call(loop_get_path(reader, DataSource.binance),
                                    loop_get_path(py, DataSource.binance),
                                    samples=call_samples, loops=call_loops)
                # What the reader cannot avoid: one keyword call of the path
                # builder, timed against the reader for its own share.
                t_r2, t_b = per_call(loop_get_path(reader, DataSource.binance), builder_alone,
                                     samples=call_samples, loops=call_loops)
            finally:
                light_data.PathManager = saved
            rows.append(Row(f"get_path(source), {what}, trivial PathManager", "call", fmt_time(t_r),
                            fmt_time(t_f), t_r / t_f, "≤ 1.0x",
                            f"{verdict(t_r / t_f, 1.0)}; builder call alone {fmt_time(t_b)}, "
                            f"reader minus builder {fmt_time(t_r2 - t_b)}"))
        # The same call on the stand-in PathManager, which rereads the configuration file.
        reader = CryptoMktData(DATE0, instrument, DataType.Klines, data_sources=[SOURCE])
        few = max(call_loops // 50, 20)

        def reader_calls() -> None:
            for _ in range(few):
                reader.get_path(DataSource.binance)

        def standin_only() -> None:
            for _ in range(few):
                saved.get_mktdata_path(date=DATE0, instrument=instrument, data_type=DataType.Klines,
                                       data_source=DataSource.binance,
                                       data_destination=light_data.DataDestination.processed_data)

        t_r, t_s = per_call(reader_calls, standin_only, samples=call_samples, loops=few)
        t_f, _ = per_call(loop_get_path(py, DataSource.binance), lambda: None, samples=call_samples,
                          loops=call_loops)
        rows.append(Row("get_path(source), klines, stand-in PathManager (info)", "call", fmt_time(t_r),
                        fmt_time(t_f), t_r / t_f, "(info)",
                        f"stand-in alone {fmt_time(t_s)}; reader minus stand-in {fmt_time(t_r - t_s)}"))

        t_r, t_f = per_call(loop_bad_call(no_sources), loop_bad_call(py), samples=call_samples,
                            loops=call_loops)
        rows.append(Row("binding error: exists(1), TypeError caught", "call", fmt_time(t_r),
                        fmt_time(t_f), t_r / t_f, "≤ 1.0x", verdict(t_r / t_f, 1.0)))

        # --- memory -------------------------------------------------------------------
        for kind in ("plain", "ticker"):
            log(f"memory {kind} {big}")
            date, cache_file = memory_targets[kind]
            warm_date, warm_cache = small_targets[kind]
            growth_r, growth_f, table = [], [], 0
            for _ in range(1 if options.quick else 3):
                r = memory_growth("reader", kind, date, warm_date, cache_file, warm_cache, config)
                f = memory_growth("floor", kind, date, warm_date, cache_file, warm_cache, config)
                growth_r.append(r["growth"])
                growth_f.append(f["growth"])
                table = r["table"]
            m_r, m_f = statistics.median(growth_r), statistics.median(growth_f)
            label = "peak RSS growth, warm get(), " + (
                "derivative ticker" if kind == "ticker" else "klines")
            rows.append(Row(label, size_label(big), mib(m_r), mib(m_f), m_r / m_f,
                            f"≤ floor + table ({mib(table)})",
                            ("yes" if m_r - m_f <= table else "**no**") +
                            f"; {(m_r - m_f) / 2**20:+.1f} MiB above the floor"))

        # --- output ---------------------------------------------------------------------
        lines = [
            "| case | size | reader median | floor median | ratio | goal | met? |",
            "| --- | --- | ---: | ---: | ---: | --- | --- |",
        ]
        for row in rows:
            ratio = f"{row.ratio:.2f}x" if row.ratio is not None else "—"
            lines.append(f"| {row.case} | {row.size} | {row.reader} | {row.floor} | {ratio} | "
                         f"{row.goal} | {row.met} |")
        mode = "quick" if options.quick else "full"
        text = (f"{header}\nmode: {mode}; sizes {', '.join(size_label(s) for s in sizes)}; "
                f"took {time.perf_counter() - started:.0f} s\n\n" + "\n".join(lines) + "\n")
        for note in notes:
            text += f"\n{note}"
        print()
        print("\n".join(text.splitlines()[2:]))
        if options.out:
            Path(options.out).parent.mkdir(parents=True, exist_ok=True)
            Path(options.out).write_text(text)

    try:
        measure()
    finally:
        if options.keep:
            print(f"kept {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
