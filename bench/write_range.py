"""How close write_range comes to the bare durable writes it wraps.

    .venv/bin/python bench/write_range.py            # a year of klines, 30 days of 1M-row tickers
    .venv/bin/python bench/write_range.py --quick    # smaller tables, fewer repeats

The floor writes the same day tables the way the storage module does, bare: each day's frame to
Arrow, Feather (LZ4) to a temporary file, fsync, rename, in a thread pool of as many threads as
write_range uses. The loop is ``CryptoMktData(day, ...).write(day_frame)`` a day at a time.
write_range starts from the whole frame: it splits it, checks it and, for "replace" and "update",
reads the stored days first. Each timed body runs in a new store folder (or over the days the
previous body stored), interleaved with the others; medians are reported.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.feather as feather

from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_data.light_data_batch import write_range
from halvorn.orrery_utils.priceable.instrument import Instrument

INSTRUMENT = Instrument(exchange="binance-futures", symbol="BTCUSDT")
SOURCES = [DataSource.binance]
WORKERS = min(32, (os.cpu_count() or 1) + 4)


def klines(days: int) -> pd.DataFrame:
    """A year (or `days`) of one-minute bars, "DateTime" the bar's open."""
    times = pd.date_range("2024-01-01", periods=days * 1440, freq="1min", tz="UTC")
    values = np.random.default_rng(7).random((len(times), 5))
    frame = pd.DataFrame(values, columns=["open", "high", "low", "close", "volume"])
    frame.insert(0, "DateTime", times)
    return frame


def tickers(days: int, rows_a_day: int) -> pd.DataFrame:
    """Vendor ticker files: microsecond exchange and receive times, the receive time cutting days."""
    step = 86_400_000_000 // rows_a_day
    received = 1_704_067_200_000_000 + np.arange(days * rows_a_day, dtype=np.int64) * step
    values = np.random.default_rng(11).random((len(received), 3))
    return pd.DataFrame({"timestamp": received - 3_000, "local_timestamp": received, "mark_price": values[:, 0],
                         "index_price": values[:, 1], "funding_rate": values[:, 2]})


def day_frames(frame: pd.DataFrame, data_type: DataType) -> dict[int, pd.DataFrame]:
    if data_type == DataType.Klines:
        times = frame["DateTime"]
    else:
        times = pd.to_datetime(frame["local_timestamp"], unit="us", utc=True)
    days = (times.dt.year * 10_000 + times.dt.month * 100 + times.dt.day).to_numpy()
    edges = np.concatenate(([0], np.flatnonzero(np.diff(days)) + 1, [len(days)]))
    return {int(days[a]): frame.iloc[a:b].reset_index(drop=True) for a, b in zip(edges[:-1], edges[1:])}


def floor(parts: dict[int, pd.DataFrame], paths: dict[int, str]) -> None:
    def one(day: int) -> None:
        path = paths[day]
        folder, name = os.path.split(path)
        os.makedirs(folder, exist_ok=True)
        temp = os.path.join(folder, f".{name}.tmp")
        table = pa.Table.from_pandas(parts[day], preserve_index=False)
        with open(temp, "xb") as handle:
            feather.write_feather(table, handle)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temp, path)

    with ThreadPoolExecutor(WORKERS) as pool:
        list(pool.map(one, parts))


def loop(parts: dict[int, pd.DataFrame], data_type: DataType) -> None:
    for day, part in parts.items():
        CryptoMktData(day, INSTRUMENT, data_type, data_sources=list(SOURCES)).write(part)


def fresh_store(root: Path) -> None:
    shutil.rmtree(root / "store", ignore_errors=True)


def timed(bodies: dict[str, Callable[[], None]], setups: dict[str, Callable[[], None]], repeats: int) -> dict:
    times: dict[str, list[float]] = {name: [] for name in bodies}
    for _ in range(repeats):
        for name, body in bodies.items():
            setups[name]()
            start = time.perf_counter()
            body()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def case(label: str, frame: pd.DataFrame, data_type: DataType, root: Path, repeats: int) -> list[str]:
    parts = day_frames(frame, data_type)
    paths = {day: CryptoMktData(day, INSTRUMENT, data_type, data_sources=list(SOURCES)).get_path(SOURCES[0])
             for day in parts}
    kwargs = dict(data_sources=SOURCES, max_workers=WORKERS)

    def stored_already() -> None:
        if not all(os.path.exists(path) for path in paths.values()):
            fresh_store(root)
            floor(parts, paths)

    bodies = {
        "floor": lambda: floor(parts, paths),
        "loop of write()": lambda: loop(parts, data_type),
        'write_range "error"': lambda: write_range(frame, INSTRUMENT, data_type, **kwargs),
        'write_range "replace"': lambda: write_range(frame, INSTRUMENT, data_type, if_exists="replace", **kwargs),
        'write_range "update"': lambda: write_range(frame, INSTRUMENT, data_type, if_exists="update", **kwargs),
    }
    empty = lambda: fresh_store(root)  # noqa: E731
    setups = {"floor": empty, "loop of write()": empty, 'write_range "error"': empty,
              'write_range "replace"': stored_already, 'write_range "update"': stored_already}
    medians = timed(bodies, setups, repeats)
    goals = {'write_range "error"': 1.2, 'write_range "replace"': 2.0, 'write_range "update"': 2.0}
    rows = []
    for name, seconds in medians.items():
        ratio = seconds / medians["floor"]
        goal = goals.get(name)
        verdict = "" if goal is None else ("yes" if ratio <= goal else "**no**")
        rows.append(f"| {label} | {name} | {seconds * 1000:,.0f} ms | {ratio:.2f}x | "
                    f"{'' if goal is None else f'<= {goal}x'} | {verdict} |")
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller tables, fewer repeats")
    args, _ = parser.parse_known_args()
    repeats = 3 if args.quick else 5
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        config = root / "platform.ini"
        config.write_text(f"[env]\nuse_minio_storage = false\n[data_related]\nLOCAL_DATA_ROOT = {root / 'store'}\n"
                          f"LOCAL_DATA_CACHE_DIR = {root / 'cache'}\n")
        os.environ["HALVORN_CONFIG"] = str(config)
        year = 30 if args.quick else 365
        ticks = (5, 100_000) if args.quick else (30, 1_000_000)
        rows = ["| table | writer | median | vs floor | goal | met |", "| --- | --- | --- | --- | --- | --- |"]
        rows += case(f"{year} days of 1-minute klines", klines(year), DataType.Klines, root, repeats)
        rows += case(f"{ticks[0]} days x {ticks[1]:,}-row tickers", tickers(*ticks), DataType.DerivativeTicker,
                     root, repeats)
    print(f"write_range against the bare durable writes ({WORKERS} threads, {os.cpu_count()} cores)\n")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
