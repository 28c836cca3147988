"""The set-up of the single-read benchmarks: the tables, their floors (the bare calls that give
the reader's result), the fakes, and the run's stored tables and timing settings."""

from __future__ import annotations

import datetime
import gc
import hashlib
import itertools
import os
import sys
import textwrap
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

import numpy as np
import pandas as pd

from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_utils.priceable.instrument import Instrument

from timing import fmt_time, interleaved, per_call

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
# Environment and the table of results


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
