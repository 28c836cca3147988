"""A short tour of CryptoMktData on the local default configuration.

Stores three tables shaped like real vendor data, then reads each with get()
twice: cold (from storage, which fills the local cache) and warm (from the
cache). Prints each table's head and both read times. Last, stores a month of
one-minute klines, reads the whole range in one read_range call and asks which
days are stored (coverage).

Run with `make demo`; set HALVORN_CONFIG to use another configuration file.
"""

from __future__ import annotations

import time

import numpy as np
import pandas as pd

from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_data.light_data_batch import coverage, read_range
from halvorn.orrery_utils.priceable.instrument import Instrument

DATE = 20241206
MINUTE_MS = 60_000
DAY_START_MS = 1_733_443_200_000  # 2024-12-06 00:00:00 UTC


def one_minute_klines(rows: int = 1440, day: int = 0) -> pd.DataFrame:
    """Binance-style klines: open and close times in milliseconds."""
    rng = np.random.default_rng(7 + abs(day))
    open_ms = DAY_START_MS + day * 86_400_000 + MINUTE_MS * np.arange(rows, dtype=np.int64)
    close = 99_000 + rng.normal(0, 25, rows).cumsum()
    return pd.DataFrame(
        {
            # get() indexes the stored "DateTime" column as it is for klines
            "DateTime": pd.to_datetime(open_ms + MINUTE_MS, unit="ms", utc=True),
            "OpenTime": open_ms,
            "Open": np.round(close + rng.normal(0, 5, rows), 1),
            "Close": np.round(close, 1),
            "Volume": np.round(rng.gamma(2.0, 40.0, rows), 3),
            "CloseTime": open_ms + MINUTE_MS - 1,
        }
    )


def derivative_ticker(rows: int = 5000) -> pd.DataFrame:
    """Tardis-style derivative ticker: "timestamp" in microseconds since 1970."""
    rng = np.random.default_rng(11)
    start_us = DAY_START_MS * 1000
    stamps = start_us + np.sort(rng.integers(0, 86_400_000_000, rows))
    return pd.DataFrame(
        {
            "timestamp": stamps,
            "funding_rate": np.round(rng.normal(1e-4, 2e-5, rows), 8),
            "open_interest": np.round(80_000 + rng.normal(0, 300, rows).cumsum(), 3),
            "mark_price": np.round(99_000 + rng.normal(0, 20, rows).cumsum(), 2),
        }
    )


def daily_metrics(rows: int = 288) -> pd.DataFrame:
    """Binance-style metrics: "create_time" as date text, every five minutes."""
    times = pd.date_range("2024-12-06", periods=rows, freq="5min")
    rng = np.random.default_rng(3)
    return pd.DataFrame(
        {
            "create_time": times.strftime("%Y-%m-%d %H:%M:%S"),
            "symbol": "BTCUSDT",
            "sum_open_interest": np.round(80_000 + rng.normal(0, 100, rows).cumsum(), 4),
            "count_toptrader_long_short_ratio": np.round(rng.uniform(0.8, 1.4, rows), 4),
        }
    )


def timed_get(reader: CryptoMktData) -> tuple[pd.DataFrame, float]:
    start = time.perf_counter()
    table = reader.get()
    return table, (time.perf_counter() - start) * 1000


def main() -> None:
    instrument = Instrument(exchange="binance-futures", symbol="BTCUSDT")
    tables = [
        ("one-minute klines", DataType.Klines, one_minute_klines()),
        ("derivative ticker", DataType.DerivativeTicker, derivative_ticker()),
        ("daily metrics", DataType.Metrics, daily_metrics()),
    ]
    pd.set_option("display.width", 120)
    for title, data_type, table in tables:
        reader = CryptoMktData(DATE, instrument, data_type, data_sources=[DataSource.binance])
        reader.write(table)
        reader.remove_cache()  # so that the first read below is a cold one
        cold, cold_ms = timed_get(reader)
        warm, warm_ms = timed_get(reader)
        assert warm.equals(cold), "the warm read must return the cold read's table"
        print(f"== {title} ({data_type.name}): {len(cold)} rows")
        print(f"   stored at   {reader.get_path(DataSource.binance)}")
        print(f"   cold get()  {cold_ms:8.2f} ms   warm get() {warm_ms:8.2f} ms")
        print(cold.head(3).to_string())
        print()
    read_a_month(instrument)
    print(f"cache folder {reader.cache_dir}: `light-data-cache info` describes it; the README's")
    print("section \"Where `make demo` writes\" says how to remove what this demo wrote.")


def read_a_month(instrument: Instrument) -> None:
    """A month of klines in one call, against a loop of get() over the same days."""
    days = [int(day) for day in pd.date_range("2024-11-06", periods=30).strftime("%Y%m%d")]
    for offset, day in enumerate(days):
        reader = CryptoMktData(day, instrument, DataType.Klines, data_sources=[DataSource.binance])
        reader.write(one_minute_klines(day=offset - 30))
        reader.remove_cache()
    start = time.perf_counter()
    month = read_range(instrument, DataType.Klines, days[0], days[-1], data_sources=[DataSource.binance])
    cold_ms = (time.perf_counter() - start) * 1000
    start = time.perf_counter()
    month = read_range(instrument, DataType.Klines, days[0], days[-1], data_sources=[DataSource.binance])
    warm_ms = (time.perf_counter() - start) * 1000
    start = time.perf_counter()
    looped = pd.concat([CryptoMktData(day, instrument, DataType.Klines, data_sources=[DataSource.binance]).get()
                        for day in days])
    loop_ms = (time.perf_counter() - start) * 1000
    pd.testing.assert_frame_equal(month, looped)
    print(f"== read_range: one-minute klines, {days[0]} to {days[-1]}: {len(month)} rows")
    print(f"   cold {cold_ms:8.2f} ms   warm {warm_ms:8.2f} ms   warm loop of get() {loop_ms:8.2f} ms")
    print(month.iloc[[0, -1]].to_string())
    # Which days are stored, without reading them: up to the day after the tour's (none stored).
    held = coverage(instrument, DataType.Klines, days[0], 20241207, data_sources=[DataSource.binance])
    print(f"   coverage: {held['source'].notna().sum()} of {len(held)} days held by binance")


if __name__ == "__main__":
    main()
