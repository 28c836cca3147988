"""How each form of the cache (lz4, none, zstd) serves the warm range reads, against the bare pyarrow floor.

Case (every ratio from medians measured in the same run, interleaved):

* outputs by cache form: 365 warm days of 1,440-row one-minute klines, the cache
  written by read_range with each `cache_compression` in turn; output="arrow",
  "polars" and "pandas", against the floor (each cache file memory-mapped with
  pa.memory_map and read by pyarrow one after the other, without Arrow's threads,
  concatenated, pandas metadata dropped); the disk the 365 cache files take;
* large tables: 30 warm days of 1M-row derivative tickers, with float columns only
  and with the vendors' text columns too: read_range against the leaner of two
  floors (the cache files read by pyarrow side by side in a thread pool, or one
  after the other; concatenated, the time column scaled, converted once as
  pd.read_feather converts, indexed); peak RSS growth of read_range, whole and
  with columns=["mark_price"], in a fresh interpreter, against the result's size.

    .venv/bin/python bench/hot_paths.py            # everything (about a minute)
    .venv/bin/python bench/hot_paths.py --quick    # fewer repeats

Prints one markdown table; the same text goes to bench/results/hot_paths.md.
All files live in a temporary folder configured through HALVORN_CONFIG.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Callable

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from batch_setup import SERIAL, Row, arrow_floor, arrow_read, cache_files, day_numbers, klines, log, same, \
    ticker  # noqa: E402
from batch_warm_cases import peak_memory  # noqa: E402
from object_store import configured  # noqa: E402
from timing import faster, fmt, medians, within  # noqa: E402


def write_config(path: Path, root: Path, cache: Path, compression: str) -> Path:
    path.write_text(f"[env]\nuse_minio_storage = false\n[data_related]\nLOCAL_DATA_ROOT = {root}\n"
                    f"LOCAL_DATA_CACHE_DIR = {cache}\ncache_compression = {compression}\n")
    return path


def outputs_by_compression(work: Path, repeats: int) -> list[Row]:
    """The three outputs on a warm year of klines, for each form of the cache files."""
    import polars as pl

    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_data.light_data_batch import read_range
    from halvorn.orrery_utils.priceable.instrument import Instrument

    instrument = Instrument("binance-futures", "ETHUSDT")
    sources = [DataSource.binance]
    days = day_numbers(365)
    config = work / "hot.ini"
    write_config(config, work / "store", work / "cache", "lz4")
    rows: list[Row] = []
    with configured(config):
        log("outputs by cache form: writing 365 tables")
        readers = [CryptoMktData(day, instrument, DataType.Klines, data_sources=sources) for day in days]
        for position, reader in enumerate(readers):
            reader.write(klines(position))
        paths = cache_files(readers)

        def read(output: str) -> Callable[[], object]:
            return lambda: read_range(instrument, DataType.Klines, days[0], days[-1], data_sources=sources,
                                      output=output)

        for compression in ("lz4", "none", "zstd"):
            write_config(config, work / "store", work / "cache", compression)
            shutil.rmtree(work / "cache", ignore_errors=True)
            read("pandas")()  # fills the cache in this form
            disk = sum(os.path.getsize(path) for path in paths)
            run = {"arrow": read("arrow"), "polars": read("polars"), "pandas": read("pandas"),
                   "floor": lambda: arrow_floor(paths, None, SERIAL)}
            floor = run["floor"]()
            assert run["arrow"]().equals(floor) and run["polars"]().equals(pl.from_arrow(floor))
            same(run["pandas"](), floor.to_pandas().set_index("DateTime"))
            del floor
            label = f"warm 365 days x 1,440-row klines, cache_compression={compression}, {disk / 2**20:.1f} MiB on disk"
            log(f"{label}: timing")
            t = medians(run, repeats)
            floor_goal = 0.35 if compression == "lz4" else float("inf")
            pandas_goal = 2.5 if compression == "none" else 0
            rows += [
                Row(label, 'output="arrow"', t["arrow"], "Arrow floor, mapped, read one after the other", t["floor"],
                    f"≤ {floor_goal}x" if compression == "lz4" else "(info)", within(t["arrow"], t["floor"], floor_goal)),
                Row(label, 'output="arrow"', t["arrow"], 'output="pandas"', t["pandas"],
                    f"≥ {pandas_goal}x faster" if pandas_goal else "(info)", faster(t["arrow"], t["pandas"], pandas_goal)),
                Row(label, 'output="polars"', t["polars"], "Arrow floor, mapped, read one after the other", t["floor"],
                    "(info)", within(t["polars"], t["floor"], float("inf"))),
            ]
    return rows


def vendor_ticker(day: int, rows: int) -> pd.DataFrame:
    """A derivative ticker with the text columns vendors add: the symbol, and the side."""
    table = ticker(day, rows)
    table["symbol"] = "BTCUSDT"
    table["side"] = np.where(np.arange(rows) % 3 == 0, "buy", "sell")
    return table


def converted_floor(paths: list[str], pool: ThreadPoolExecutor | None) -> pd.DataFrame:
    """The cache files read by pyarrow (side by side in `pool`, or one after the other without
    Arrow's threads), concatenated, the microsecond "timestamp" scaled to UTC nanoseconds in its
    place, converted once as pd.read_feather converts, and indexed."""
    from halvorn.orrery_data._light_data_batch.arrow_frames import frame_of

    tables = pool.map(arrow_read, paths) if pool is not None else [arrow_read(path, SERIAL) for path in paths]
    table = pa.concat_tables(tables).replace_schema_metadata(None)
    stamps = pc.multiply_checked(table.column("timestamp"), 1000).cast(pa.timestamp("ns", tz="UTC"))
    table = table.set_column(table.column_names.index("timestamp"), "DateTime", stamps)
    return frame_of(table).set_index("DateTime")


def large_tables(work: Path, rows: int, repeats: int) -> tuple[list[Row], list[str]]:
    """read_range over 30 warm days of `rows`-row tickers, float columns only and with text
    columns, against the leaner floor; and its peak memory against the result."""
    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_data.light_data_batch import read_range
    from halvorn.orrery_utils.priceable.instrument import Instrument

    instrument = Instrument("binance-futures", "BTCUSDT")
    sources = [DataSource.binance]
    days = day_numbers(30)
    size = f"{rows // 1_000_000}M" if rows >= 1_000_000 else f"{rows // 1000}k"
    rows_out: list[Row] = []
    notes: list[str] = []
    pool = ThreadPoolExecutor()
    for shape, make in (("float columns", ticker), ("float and text columns", vendor_ticker)):
        config = write_config(work / "large.ini", work / "store", work / "cache", "lz4")
        shutil.rmtree(work / "store", ignore_errors=True)
        shutil.rmtree(work / "cache", ignore_errors=True)
        with configured(config):
            label = f"warm 30 days x {size}-row derivative tickers, {shape}"
            log(f"{label}: writing")
            readers = [CryptoMktData(day, instrument, DataType.DerivativeTicker, data_sources=sources) for day in days]
            for position, reader in enumerate(readers):
                reader.write(make(position, rows))
                reader.get()  # fills the cache
            paths = cache_files(readers)
            run = {"read_range": lambda: read_range(instrument, DataType.DerivativeTicker, days[0], days[-1],
                                                    data_sources=sources),
                   "floor": lambda: converted_floor(paths, pool),
                   "serial floor": lambda: converted_floor(paths, None)}
            want = run["read_range"]()
            same(run["floor"](), want)
            same(run["serial floor"](), want)
            del want
            log(f"{label}: timing")
            t = medians(run, repeats)
            lean = min(("floor", "serial floor"), key=t.__getitem__)
            name = {"floor": "floor, files read side by side", "serial floor": "floor, files read one after the other"}
            rows_out.append(Row(label, "read_range", t["read_range"], name[lean], t[lean], "≤ 1.1x",
                                within(t["read_range"], t[lean], 1.1)))
            for columns, goal in ((None, 1.5), (["mark_price"], 1.35)):
                peak = peak_memory(days, columns)
                ratio = peak["growth"] / peak["result"]
                call = "read_range" if columns is None else f"read_range(columns={columns})"
                notes.append(f"- {label}: peak RSS growth of {call} {peak['growth'] / 2**20:.0f} MiB for a "
                             f"{peak['result'] / 2**20:.0f} MiB result: {ratio:.2f}x "
                             f"({'met' if ratio <= goal else '**not met**'}: at most {goal}x)")
    pool.shutdown()
    return rows_out, notes


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, 200k-row tickers")
    parser.add_argument("--cases", default="outputs,large", help="comma-separated: outputs, large")
    parser.add_argument("--out", default=str(HERE / "results" / "hot_paths.md"), help="also write here ('' to skip)")
    options = parser.parse_args()
    repeats = 7 if options.quick else 21  # reads of 10-60 ms: many runs for steady medians
    warnings.simplefilter("ignore", FutureWarning)
    work = Path(tempfile.mkdtemp(prefix="light_data_hot_paths_"))
    started = time.perf_counter()
    cases = set(options.cases.split(","))
    rows: list[Row] = []
    notes: list[str] = []
    try:
        if "outputs" in cases:
            rows += outputs_by_compression(work, repeats)
        if "large" in cases:
            large_rows, notes = large_tables(work, 200_000 if options.quick else 1_000_000, 3 if options.quick else 5)
            rows += large_rows
    finally:
        shutil.rmtree(work, ignore_errors=True)
    lines = ["| case | measured | time | against | time | goal | met? |", "| --- | --- | ---: | --- | ---: | --- | --- |"]
    lines += [f"| {row.case} | {row.subject} | {fmt(row.subject_time)} | {row.baseline} | {fmt(row.baseline_time)} | "
              f"{row.goal} | {row.met} |" for row in rows]
    header = (f"{os.cpu_count()} CPUs, python {sys.version.split()[0]}, pandas {pd.__version__}, "
              f"pyarrow {pa.__version__}; {'quick' if options.quick else 'full'} run, "
              f"{time.perf_counter() - started:.0f} s")
    text = header + "\n\n" + "\n".join(lines) + "\n" + ("\n" + "\n".join(notes) + "\n" if notes else "")
    print(text)
    if options.out:
        Path(options.out).parent.mkdir(parents=True, exist_ok=True)
        Path(options.out).write_text(text)


if __name__ == "__main__":
    main()
