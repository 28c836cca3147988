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

Each case is one function below: its setup (writing the table, filling the
cache, checking that the floor's frame equals the reader's) runs untimed, then
its timed bodies run interleaved.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import hashlib
import itertools
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
import types
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

import numpy as np
import pandas as pd
import pyarrow

import halvorn.orrery_data.light_data as light_data
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_utils.priceable.instrument import Instrument

HERE = Path(__file__).resolve().parent
DATE0 = 20240101
DAY_START_US = 1_704_067_200_000_000  # 2024-01-01 00:00:00 UTC
INSTRUMENT = Instrument(exchange="binance-futures", symbol="BTCUSDT")
SOURCE = DataSource.binance  # the one data source of every reader: it serves every read

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


def index_plain(df: pd.DataFrame) -> pd.DataFrame:
    return df.set_index("DateTime")


def normalise_us(df: pd.DataFrame) -> pd.DataFrame:
    """The microsecond counts as the UTC nanosecond index, in one pass.

    One integer multiply to nanoseconds, viewed as datetime64[ns] without a
    copy, then marked as UTC, which for UTC only sets the time zone.
    """
    nanoseconds = df.pop("timestamp").to_numpy() * 1000
    index = pd.DatetimeIndex(nanoseconds.view("datetime64[ns]"), name="DateTime")
    df.index = index.tz_localize("UTC")
    return df


def floor_plain(path: str) -> pd.DataFrame:
    return index_plain(pd.read_feather(path))


def floor_ticker(path: str) -> pd.DataFrame:
    return normalise_us(pd.read_feather(path))


def floor_cold(storage_file: str, tmp: str, finish: Callable[[pd.DataFrame], pd.DataFrame]) -> pd.DataFrame:
    """A storage read, the cache write, then the same indexing as the warm floor."""
    df = pd.read_feather(storage_file)
    df.to_feather(tmp)
    return finish(df)


@dataclass(frozen=True)
class Kind:
    data_type: DataType
    make: Callable[[int], pd.DataFrame]
    floor: Callable[[str], pd.DataFrame]  # warm floor: reads the cache file
    finish: Callable[[pd.DataFrame], pd.DataFrame]  # what both floors do after the read
    name: str
    warm_label: str


KINDS = {
    "plain": Kind(DataType.Klines, klines, floor_plain, index_plain, "klines",
                  "warm get(), klines (no normalisation)"),
    "ticker": Kind(DataType.DerivativeTicker, derivative_ticker, floor_ticker, normalise_us,
                   "derivative ticker", "warm get(), derivative ticker, µs \"timestamp\""),
}


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
    a, b = got.index, want.index
    assert type(a) is type(b) and a.dtype == b.dtype and a.name == b.name, (a, b)
    assert getattr(a, "freq", None) == getattr(b, "freq", None)
    assert a.equals(b)
    assert got.equals(want)


# ---------------------------------------------------------------------------
# Fakes and empty counterparts


class FixedPathManager:
    """A path builder that answers one given path and does nothing else."""

    def __init__(self, path: str) -> None:
        self.path = path

    def get_mktdata_path(self, *, date, instrument, data_type, data_source, data_destination):
        return self.path


class TrivialPathManager:
    """The cheapest path builder the reader can call: a constant."""

    @staticmethod
    def get_mktdata_path(*, date, instrument, data_type, data_source, data_destination):
        return "/data/path"


# The reader's rules for the timed calls, written as interpreter-level functions whose
# globals are the extension module's own: they read DataSource, DataType, PathManager and
# DataDestination from light_data's globals at each use, as the reader must (a substitute
# bound over a global is seen), test the result type, and bind their arguments. They are the
# floor of a call-overhead case: the leanest interpreter-level method that does the same work.
_RULES = compile(textwrap.dedent("""
    def exists(self):
        for data_source in self.data_sources:
            if self.io_obj.exists(self.get_path(data_source=data_source)):
                return True
        return False

    def get_path(self, data_source):
        date = self.date
        if data_source == DataSource.coin_market_cap:
            date = self.compute_cmc_historical_snapshot_date(self.date)
        data_type = self.data_type
        if (data_type == DataType.DerivativeTicker or data_type == DataType.Liquidations
                or data_type == DataType.Metrics):
            return self.get_raw_data_path(data_source)
        path = PathManager.get_mktdata_path(date=date, instrument=self.instrument, data_type=self.data_type,
                                            data_source=data_source,
                                            data_destination=DataDestination.processed_data)
        if path is not None and type(path) is not str:
            raise TypeError("Expected unicode, got " + type(path).__name__)
        return path

    def get_raw_data_path(self, data_source):
        path = PathManager.get_mktdata_path(date=self.date, instrument=self.instrument,
                                            data_type=self.data_type, data_source=data_source,
                                            data_destination=DataDestination.raw_mkt_data)
        if path is not None and type(path) is not str:
            raise TypeError("Expected unicode, got " + type(path).__name__)
        return path
"""), "<reader rules>", "exec")


def _rule(name: str) -> types.FunctionType:
    code = next(c for c in _RULES.co_consts if isinstance(c, types.CodeType) and c.co_name == name)
    return types.FunctionType(code, vars(light_data), name)


class PyReader:
    """A reader whose timed methods are the interpreter-level floor (_RULES)."""

    exists = _rule("exists")
    get_path = _rule("get_path")
    get_raw_data_path = _rule("get_raw_data_path")

    def __init__(self, reader: CryptoMktData) -> None:
        vars(self).update(vars(reader))


@contextmanager
def rebound(module: ModuleType, **values: object) -> Iterator[None]:
    """Binds module globals to other values for the block, then restores them."""
    saved = {name: getattr(module, name) for name in values}
    for name, value in values.items():
        setattr(module, name, value)
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(module, name, value)


# ---------------------------------------------------------------------------
# Environment and formatting


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


def size_label(rows: int) -> str:
    for unit, div in (("M", 1_000_000), ("k", 1_000)):
        if rows >= div and rows % div == 0:
            return f"{rows // div}{unit}"
    return str(rows)


def verdict(ratio: float, limit: float) -> str:
    return "yes" if ratio <= limit else "**no**"


@dataclass
class Row:
    case: str
    size: str
    reader: str
    floor: str
    ratio: float | None
    goal: str
    met: str


def timed_row(case: str, size: str, t_r: float, t_f: float, goal: str, met: str) -> Row:
    return Row(case, size, fmt_time(t_r), fmt_time(t_f), t_r / t_f, goal, met)


def markdown_table(rows: list[Row]) -> str:
    lines = [
        "| case | size | reader median | floor median | ratio | goal | met? |",
        "| --- | --- | ---: | ---: | ---: | --- | --- |",
    ]
    for row in rows:
        ratio = f"{row.ratio:.2f}x" if row.ratio is not None else "—"
        lines.append(f"| {row.case} | {row.size} | {row.reader} | {row.floor} | {ratio} | "
                     f"{row.goal} | {row.met} |")
    return "\n".join(lines)


# ---------------------------------------------------------------------------
# Timing


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


# Call loops for the call-overhead cases: each runs one call `len(loops)` times.


def exists_calls(obj, loops: range) -> Callable[[], None]:
    def run() -> None:
        for _ in loops:
            obj.exists()
    return run


def get_path_calls(obj, source: DataSource, loops: range) -> Callable[[], None]:
    def run() -> None:
        for _ in loops:
            obj.get_path(source)
    return run


def bad_calls(obj, loops: range) -> Callable[[], None]:
    def run() -> None:
        for _ in loops:
            try:
                obj.exists(1)
            except TypeError:
                pass
    return run


def builder_calls(builder, loops: range) -> Callable[[], None]:
    """The keyword call of the path builder that get_path makes, alone: its
    arguments are read before the loop, so only the call itself is timed."""
    def run() -> None:
        build, date, instrument, data_type = builder.get_mktdata_path, DATE0, INSTRUMENT, DataType.Klines
        source, destination = SOURCE, light_data.DataDestination.processed_data
        for _ in loops:
            build(date=date, instrument=instrument, data_type=data_type, data_source=source,
                  data_destination=destination)
    return run


# ---------------------------------------------------------------------------
# The run's set-up: stored tables and the timing settings


@dataclass
class Stored:
    """A reader on a freshly written table; its storage and cache files."""

    reader: CryptoMktData
    storage_file: str
    cache_file: str


def trading_dates(start: int = DATE0) -> Iterator[int]:
    """Consecutive calendar dates as YYYYMMDD, one fresh date per stored table."""
    day = datetime.datetime.strptime(str(start), "%Y%m%d").date()
    for offset in itertools.count():
        yield int((day + datetime.timedelta(days=offset)).strftime("%Y%m%d"))


class Bench:
    def __init__(self, work: Path, config: Path, quick: bool) -> None:
        self.work = work
        self.config = config
        self.quick = quick
        self.budget = 1.0 if quick else 4.0
        self.min_reps = 3 if quick else 9
        self.call_samples, self.call_loops = (15, 2_000) if quick else (41, 10_000)
        self.dates = trading_dates()
        self.started = time.perf_counter()
        self._warm: dict[tuple[str, int], Stored] = {}
        self._warm_times: dict[tuple[str, int], tuple[float, float]] = {}

    def log(self, msg: str) -> None:
        print(f"  [{time.perf_counter() - self.started:6.1f}s] {msg}", file=sys.stderr, flush=True)

    def store(self, kind: str, rows: int) -> Stored:
        """Writes a fresh table of this kind under a new date."""
        reader = CryptoMktData(next(self.dates), INSTRUMENT, KINDS[kind].data_type, data_sources=[SOURCE])
        reader.write(KINDS[kind].make(rows))
        storage_file = reader.get_path(SOURCE)
        digest = hashlib.sha256(storage_file.encode()).hexdigest()
        return Stored(reader, storage_file, str(self.work / "cache" / (digest + ".feather")))

    def warm(self, kind: str, rows: int) -> Stored:
        """A stored table whose cache file is filled; written once per kind and size."""
        key = (kind, rows)
        if key not in self._warm:
            stored = self.store(kind, rows)
            stored.reader.get()  # cold: fills the cache
            assert os.path.isfile(stored.cache_file), stored.cache_file
            check_same(stored.reader.get(), KINDS[kind].floor(stored.cache_file))
            self._warm[key] = stored
        return self._warm[key]

    def warm_times(self, kind: str, rows: int) -> tuple[float, float]:
        """Median seconds of the warm get() and its floor; measured once per kind and size,
        for the warm rows and the per-row rows alike."""
        key = (kind, rows)
        if key not in self._warm_times:
            self.log(f"warm {kind} {rows}")
            stored = self.warm(kind, rows)
            floor = KINDS[kind].floor
            self._warm_times[key] = self.interleaved(stored.reader.get, lambda: floor(stored.cache_file),
                                                     max_reps=300, collect=rows >= 100_000)
            gc.collect()
        return self._warm_times[key]

    def interleaved(self, reader: Callable[[], object], floor: Callable[[], object],
                    **how) -> tuple[float, float]:
        return interleaved(reader, floor, budget=self.budget, min_reps=self.min_reps, **how)

    def call_overhead(self, reader: Callable[[], None], floor: Callable[[], None],
                      loops: int | None = None) -> tuple[float, float]:
        return per_call(reader, floor, samples=self.call_samples, loops=loops or self.call_loops)


# ---------------------------------------------------------------------------
# Cases: warm and cold reads


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


# ---------------------------------------------------------------------------
# Cases: call overhead


def exists_without_sources(bench: Bench) -> Row:
    reader = CryptoMktData(DATE0, INSTRUMENT, DataType.Klines, data_sources=[])
    assert reader.exists() is False
    loops = range(bench.call_loops)
    t_r, t_f = bench.call_overhead(exists_calls(reader, loops), exists_calls(PyReader(reader), loops))
    return timed_row("exists(), no data sources", "call", t_r, t_f, "≤ 1.0x", verdict(t_r / t_f, 1.0))


def get_path_trivial_path_manager(bench: Bench, data_type: DataType, what: str) -> Row:
    reader = CryptoMktData(DATE0, INSTRUMENT, data_type, data_sources=[SOURCE])
    loops = range(bench.call_loops)
    with rebound(light_data, PathManager=TrivialPathManager):
        assert reader.get_path(SOURCE) == PyReader(reader).get_path(SOURCE) == "/data/path"
        t_r, t_f = bench.call_overhead(get_path_calls(reader, SOURCE, loops),
                                       get_path_calls(PyReader(reader), SOURCE, loops))
        # What the reader cannot avoid: one keyword call of the path builder,
        # timed against the reader for its own share.
        t_r2, t_b = bench.call_overhead(get_path_calls(reader, SOURCE, loops),
                                        builder_calls(TrivialPathManager, loops))
    return timed_row(f"get_path(source), {what}, trivial PathManager", "call", t_r, t_f, "≤ 1.0x",
                     f"{verdict(t_r / t_f, 1.0)}; builder call alone {fmt_time(t_b)}, "
                     f"reader minus builder {fmt_time(t_r2 - t_b)}")


def get_path_standin_path_manager(bench: Bench) -> Row:
    """The same call on the stand-in PathManager, which validates its arguments and
    stats the configuration file on every call (it parses the file again only when
    the file changed)."""
    reader = CryptoMktData(DATE0, INSTRUMENT, DataType.Klines, data_sources=[SOURCE])
    few = range(max(bench.call_loops // 50, 20))
    t_r, t_s = bench.call_overhead(get_path_calls(reader, SOURCE, few),
                                   builder_calls(light_data.PathManager, few), loops=len(few))
    t_f, _ = bench.call_overhead(get_path_calls(PyReader(reader), SOURCE, few), lambda: None, loops=len(few))
    return timed_row("get_path(source), klines, stand-in PathManager (info)", "call", t_r, t_f, "(info)",
                     f"stand-in alone {fmt_time(t_s)}; reader minus stand-in {fmt_time(t_r - t_s)}")


def binding_error(bench: Bench) -> Row:
    """A call with a surplus argument, against the interpreter's own refusal of it. The
    reader's refusal also adds the traceback entry that names the method; the goal bounds
    what that entry may cost."""
    reader = CryptoMktData(DATE0, INSTRUMENT, DataType.Klines, data_sources=[])
    loops = range(bench.call_loops)
    t_r, t_f = bench.call_overhead(bad_calls(reader, loops), bad_calls(PyReader(reader), loops))
    return timed_row("binding error: exists(1), TypeError caught", "call", t_r, t_f, "≤ 1.3x",
                     verdict(t_r / t_f, 1.3))


# ---------------------------------------------------------------------------
# Cases: memory, one fresh interpreter per measurement


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
    code = f"import sys; sys.path.insert(0, {str(HERE)!r}); import run; run.memory_child(*{args!r})"
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


# ---------------------------------------------------------------------------
# The run


def run_cases(bench: Bench, sizes: list[int]) -> list[Row]:
    big = max(sizes)
    cold_sizes = [s for s in sizes if s >= 100_000] or [big]
    per_row_sizes = sorted({s for s in (1_000, 100_000, 1_000_000, 10_000_000) if s <= big} |
                           {s for s in sizes if s >= 1_000})
    rows: list[Row] = []
    for kind in KINDS:
        for n in sizes:
            rows.append(warm_get(bench, kind, n))
            if kind == "plain" and n == 1:
                rows.append(warm_get_fixed_path_manager(bench, n))
    rows += per_row(bench, per_row_sizes)
    for kind in KINDS:
        for n in cold_sizes:
            rows.append(cold_get(bench, kind, n))
    bench.log("call overhead")
    rows.append(exists_without_sources(bench))
    rows.append(get_path_trivial_path_manager(bench, DataType.Klines, "klines"))
    rows.append(get_path_trivial_path_manager(bench, DataType.DerivativeTicker, "derivative ticker"))
    rows.append(get_path_standin_path_manager(bench))
    rows.append(binding_error(bench))
    for kind in KINDS:
        rows.append(peak_rss_growth(bench, kind, big, min(sizes)))
    return rows


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

    work = Path(tempfile.mkdtemp(prefix="light_data_bench_"))
    try:
        config = write_config(work)
        os.environ["HALVORN_CONFIG"] = str(config)
        header = machine_header()
        print(header, flush=True)
        bench = Bench(work, config, options.quick)
        table = markdown_table(run_cases(bench, sizes))
        mode = "quick" if options.quick else "full"
        summary = (f"mode: {mode}; sizes {', '.join(size_label(s) for s in sizes)}; "
                   f"took {time.perf_counter() - bench.started:.0f} s")
        print(f"\n{summary}\n\n{table}")
        if options.out:
            Path(options.out).parent.mkdir(parents=True, exist_ok=True)
            Path(options.out).write_text(f"{header}\n{summary}\n\n{table}\n")
    finally:
        if options.keep:
            print(f"kept {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
