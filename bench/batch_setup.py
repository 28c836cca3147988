"""The set-up of the many-table benchmarks: the tables, the Arrow floors (the bare pyarrow calls
that give the same frame), the warm tables written once a run, and the rows of the results."""

from __future__ import annotations

import hashlib
import os
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.ipc as ipc

HERE = Path(__file__).resolve().parent
START = 20240101
DAY_NS = 86_400 * 10**9
EPOCH_2024_NS = 1_704_067_200 * 10**9

# ---------------------------------------------------------------------------
# Tables


def klines(day: int, rows: int = 1440) -> pd.DataFrame:
    """One-minute klines of day `day` (0-based), stored with their "DateTime" column."""
    rng = np.random.default_rng(day)
    close_ns = EPOCH_2024_NS + day * DAY_NS + 60 * 10**9 * np.arange(1, rows + 1, dtype=np.int64)
    close = 42_000 + rng.normal(0, 25, rows).cumsum()
    return pd.DataFrame({
        "DateTime": pd.DatetimeIndex(close_ns.view("datetime64[ns]")).tz_localize("UTC"),
        "OpenTime": close_ns // 10**6 - 60_000,
        "Open": close + rng.normal(0, 5, rows),
        "Close": close,
        "Volume": rng.gamma(2.0, 40.0, rows),
    })


def ticker(day: int, rows: int) -> pd.DataFrame:
    """Derivative ticker of day `day`: "timestamp" in microseconds (16 digits)."""
    rng = np.random.default_rng(1000 + day)
    start_us = (EPOCH_2024_NS + day * DAY_NS) // 1000
    return pd.DataFrame({
        "timestamp": start_us + np.sort(rng.integers(0, 86_400 * 10**6, rows)),
        "funding_rate": rng.normal(1e-4, 2e-5, rows),
        "open_interest": 80_000 + rng.normal(0, 300, rows).cumsum(),
        "mark_price": 42_000 + rng.normal(0, 20, rows).cumsum(),
    })


def day_numbers(count: int) -> list[int]:
    return [int(d) for d in pd.date_range(str(START), periods=count).strftime("%Y%m%d")]


# ---------------------------------------------------------------------------
# Floors: the bare pyarrow/pandas calls that give the same frame


SERIAL = ipc.IpcReadOptions(use_threads=False)


def arrow_read(path: str, options: ipc.IpcReadOptions | None = None) -> pa.Table:
    """pyarrow's own read of a Feather (Arrow IPC) file."""
    return ipc.open_file(path, options=options).read_all()


def floor_plain(paths: list[str], pool: ThreadPoolExecutor, options: ipc.IpcReadOptions | None = None) -> pd.DataFrame:
    return pa.concat_tables(pool.map(lambda path: arrow_read(path, options), paths)).to_pandas().set_index("DateTime")


def floor_scaled(paths: list[str], pool: ThreadPoolExecutor, options: ipc.IpcReadOptions | None = None) -> pd.DataFrame:
    """Microsecond "timestamp" scaled to UTC nanoseconds in Arrow, in its place, then indexed."""
    table = pa.concat_tables(pool.map(lambda path: arrow_read(path, options), paths)).replace_schema_metadata(None)
    stamps = pc.multiply_checked(table.column("timestamp"), 1000).cast(pa.timestamp("ns", tz="UTC"))
    table = table.set_column(table.column_names.index("timestamp"), "DateTime", stamps)
    return table.to_pandas().set_index("DateTime")


def arrow_floor(paths: list[str], pool: ThreadPoolExecutor | None, options: ipc.IpcReadOptions | None = None) -> pa.Table:
    """The table output="arrow" gives for one instrument of klines: each cache file memory-mapped
    and read by pyarrow (in `pool`, or one after the other), concatenated, without pandas metadata."""
    def one(path: str) -> pa.Table:
        with pa.memory_map(path) as source:
            return ipc.open_file(source, options=options).read_all()

    tables = pool.map(one, paths) if pool is not None else [one(path) for path in paths]
    return pa.concat_tables(tables).replace_schema_metadata(None)


# ---------------------------------------------------------------------------
# Results and checks


@dataclass
class Row:
    case: str
    subject: str
    subject_time: float
    baseline: str
    baseline_time: float
    goal: str
    met: str


def same(got: pd.DataFrame, want: pd.DataFrame) -> None:
    if len(got) <= 1_000_000:
        pd.testing.assert_frame_equal(got, want)
    else:  # assert_frame_equal is slow on tens of millions of rows
        assert got.index.equals(want.index) and got.index.dtype == want.index.dtype
        assert got.index.name == want.index.name and got.dtypes.equals(want.dtypes)
        assert got.equals(want)


def log(message: str) -> None:
    print(f"  {time.strftime('%H:%M:%S')} {message}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Warm tables, written and cached once a run


def cache_files(readers: list) -> list[str]:
    from halvorn.orrery_data.enums import DataSource

    return [os.path.join(r.cache_dir, hashlib.sha256(r.get_path(DataSource.binance).encode()).hexdigest() + ".feather")
            for r in readers]


def loop_of_get(instrument, data_type, days: list[int], sources) -> pd.DataFrame:
    from halvorn.orrery_data.light_data import CryptoMktData

    return pd.concat([CryptoMktData(day, instrument, data_type, data_sources=list(sources)).get() for day in days])


# What write_warm has written in this run: (symbol, data type, days, rows).
WRITTEN: set[tuple] = set()


def write_warm(symbol: str, data_type, make: Callable[[int], pd.DataFrame], count: int, rows: int) -> list:
    """The readers of `count` days of `symbol`, their tables written and cached (once a run)."""
    from halvorn.orrery_data.enums import DataSource
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_utils.priceable.instrument import Instrument

    instrument = Instrument("binance-futures", symbol)
    readers = [CryptoMktData(day, instrument, data_type, data_sources=[DataSource.binance])
               for day in day_numbers(count)]
    if (symbol, data_type, count, rows) not in WRITTEN:
        for position, reader in enumerate(readers):
            reader.write(make(position))
            reader.get()  # fills the cache
        WRITTEN.add((symbol, data_type, count, rows))
    return readers


def size(rows: int) -> str:
    return f"{rows // 1_000_000}M" if rows >= 1_000_000 else f"{rows // 1000}k"
