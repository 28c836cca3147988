"""How fast read_range and to_dask read many tables, against a loop of get() and a bare Arrow floor.

Cases (each ratio from medians measured in the same run, interleaved):

* warm klines, 365 days x 1,440 rows: read_range against the loop of get()
  plus pd.concat, and against the Arrow floor (the same cache files read with
  pyarrow in a thread pool, concatenated, converted once, indexed);
* warm derivative tickers, 30 days x 1M rows: the same, the floor including
  the nanosecond scaling; peak RSS growth of read_range in a fresh interpreter
  against the result's size;
* cold, 30 days x 100k rows from an S3-API server (moto) on 127.0.0.1, behind
  a proxy that delays every request by 50 ms, and without the delay: against
  the sequential loop, with a plain thread pool over get() for reference;
* to_dask(...).compute() on a LocalCluster of 2 worker processes against the
  same store, beside read_range;
* warm to_dask on a LocalCluster of 2 worker processes x 1 thread: a year of
  klines of one instrument (compute, and a column's mean) and 10 instruments x
  90 days, against read_range, by a client that fetches results from the workers
  (direct_to_workers=True), and by one that has the scheduler relay them;
* the graph of to_dask over 100 instruments x 365 days: its time, and the
  tables read to build it;
* iter_range over the warm 30 days of tickers, a day a chunk, each chunk
  consumed: against read_range, and its peak RSS growth in a fresh interpreter
  against one day's frame;
* one warm get() of a 1-row table against pd.read_feather(...).set_index(...),
  with the stand-in path builder's share;
* outputs: warm klines, 365 days x 1,440 rows, read with output="arrow" and
  output="polars" against the Arrow floor of the same cache files memory-mapped
  and concatenated, and against output="pandas"; again with the cache files
  rewritten uncompressed (whose columns the Arrow output maps, uncopied); peak
  RSS growth of read_range(columns=["mark_price"]) over the warm 1M-row tickers
  against the result's size.

    .venv/bin/python bench/batch_read.py            # everything (a few minutes)
    .venv/bin/python bench/batch_read.py --quick    # fewer repeats, smaller cold case
    .venv/bin/python bench/batch_read.py --cases warm-klines,cold
    .venv/bin/python bench/batch_read.py --cases outputs

Prints one markdown table; the same text goes to bench/results/batch_read.md.
All files live in a temporary folder configured through HALVORN_CONFIG.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import gc
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterator

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.ipc as ipc

HERE = Path(__file__).resolve().parent
START = 20240101
DAY_NS = 86_400 * 10**9
EPOCH_2024_NS = 1_704_067_200 * 10**9
ACCESS_KEY, SECRET_KEY = "AKIABENCHACCESS00001", "bench-secret-never-logged"

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
# Timing and output


@dataclass
class Row:
    case: str
    subject: str
    subject_time: float
    baseline: str
    baseline_time: float
    goal: str
    met: str


def medians(candidates: dict[str, Callable[[], object]], repeats: int,
            before: Callable[[], None] | None = None) -> dict[str, float]:
    """Median seconds of each callable, run in rotating order; `before` (untimed) ahead of every run."""
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
    return {name: statistics.median(values) for name, values in times.items()}


def fmt(seconds: float) -> str:
    return f"{seconds * 1e3:.1f} ms" if seconds < 10 else f"{seconds:.2f} s"


def faster(subject: float, baseline: float, at_least: float) -> str:
    ratio = baseline / subject
    return f"{'yes' if ratio >= at_least else '**no**'} ({ratio:.2f}x faster)"


def within(subject: float, baseline: float, at_most: float) -> str:
    ratio = subject / baseline
    return f"{'yes' if ratio <= at_most else '**no**'} ({ratio:.2f}x)"


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
# Environment


def write_config(path: Path, root: Path, cache: Path, endpoint: str | None = None, bucket: str = "") -> Path:
    text = f"[env]\nuse_minio_storage = {'true' if endpoint else 'false'}\n" \
           f"[data_related]\nLOCAL_DATA_ROOT = {root}\nLOCAL_DATA_CACHE_DIR = {cache}\n"
    if endpoint:
        text += f"[object_store]\nendpoint = http://{endpoint}\nbucket = {bucket}\nregion = us-east-1\n"
    path.write_text(text)
    return path


@contextlib.contextmanager
def configured(config: Path) -> Iterator[None]:
    saved = os.environ.get("HALVORN_CONFIG")
    os.environ["HALVORN_CONFIG"] = str(config)
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop("HALVORN_CONFIG", None)
        else:
            os.environ["HALVORN_CONFIG"] = saved


SERVER = """
import sys
from moto.server import ThreadedMotoServer
server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
server.start()
print("%s:%s" % server.get_host_and_port(), flush=True)
sys.stdin.read()
server.stop()
"""

# A TCP proxy that holds every request (a chunk from the client that starts
# with an HTTP method) for a fixed delay before passing it on, like a distant
# object store.
PROXY = """
import asyncio, sys
target_host, target_port, delay = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
METHODS = (b"GET ", b"HEAD ", b"PUT ", b"POST ", b"DELETE ")

async def pipe(reader, writer, delayed):
    try:
        while data := await reader.read(1 << 16):
            if delayed and data.startswith(METHODS):
                await asyncio.sleep(delay)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        writer.close()

async def handle(client_reader, client_writer):
    server_reader, server_writer = await asyncio.open_connection(target_host, target_port)
    await asyncio.gather(pipe(client_reader, server_writer, True), pipe(server_reader, client_writer, False))

async def main():
    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    print("127.0.0.1:%d" % server.sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)

asyncio.run(main())
"""


class Process:
    """A helper process that prints its address, and stops when its stdin closes."""

    def __init__(self, code: str, *args: str) -> None:
        self.process = subprocess.Popen([sys.executable, "-c", code, *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.process.stdout.readline().strip()
        if not self.address:
            self.stop()
            raise RuntimeError("helper process did not start")

    def stop(self) -> None:
        if self.process.stdin and not self.process.stdin.closed:
            self.process.stdin.close()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


# ---------------------------------------------------------------------------
# Cases


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


def warm_case(work: Path, label: str, data_type, make: Callable[[int], pd.DataFrame], count: int, rows: int,
              floor: Callable, repeats: int, loop_goal: float) -> list[Row]:
    from halvorn.orrery_data.enums import DataSource
    from halvorn.orrery_data.light_data_batch import read_range
    from halvorn.orrery_utils.priceable.instrument import Instrument

    instrument = Instrument("binance-futures", "BTCUSDT")
    sources = [DataSource.binance]
    days = day_numbers(count)
    log(f"{label}: writing {count} tables")
    readers = write_warm("BTCUSDT", data_type, make, count, rows)
    paths = cache_files(readers)
    pool = ThreadPoolExecutor()
    run = {
        "read_range": lambda: read_range(instrument, data_type, days[0], days[-1], data_sources=sources),
        "loop": lambda: loop_of_get(instrument, data_type, days, sources),
        "floor": lambda: floor(paths, pool),
        "serial floor": lambda: floor(paths, pool, SERIAL),
    }
    want = run["loop"]()
    same(run["read_range"](), want)
    same(run["floor"](), want)
    same(run["serial floor"](), want)
    del want
    log(f"{label}: timing")
    t = medians(run, repeats)
    pool.shutdown()
    return [
        Row(label, "read_range", t["read_range"], "loop of get()", t["loop"], f"≥ {loop_goal}x faster",
            faster(t["read_range"], t["loop"], loop_goal)),
        # The goal is set against the leaner of the two floors in this run (pyarrow's own
        # threads inside each file read help large files and cost small ones); the other is info.
        *[Row(label, "read_range", t["read_range"], name, t[key], goal, within(t["read_range"], t[key], 1.3))
          for (key, name), goal in zip(sorted([("floor", "Arrow floor"),
                                               ("serial floor", "Arrow floor, files read with use_threads=False")],
                                              key=lambda pair: t[pair[0]]),
                                       ["≤ 1.3x", "(info)"])],
    ]


PEAK_CHILD = """
import gc, json, os, sys, warnings
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data_batch import read_range
from halvorn.orrery_utils.priceable.instrument import Instrument
start, end, columns = int(sys.argv[1]), int(sys.argv[2]), json.loads(sys.argv[3])
btc = Instrument("binance-futures", "BTCUSDT")
read_range(btc, DataType.DerivativeTicker, start, start, data_sources=[DataSource.binance], columns=columns)  # code paths loaded
gc.collect()
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024
with open("/proc/self/clear_refs", "w") as handle:
    handle.write("5")
base = status("VmRSS")
frame = read_range(btc, DataType.DerivativeTicker, start, end, data_sources=[DataSource.binance], columns=columns)
print(json.dumps({"growth": status("VmHWM") - base, "result": int(frame.memory_usage(deep=True).sum())}))
"""


def peak_memory(days: list[int], columns: list[str] | None = None) -> dict:
    out = subprocess.run([sys.executable, "-c", PEAK_CHILD, str(days[0]), str(days[-1]), json.dumps(columns)],
                         check=True, capture_output=True, text=True, env=dict(os.environ))
    return json.loads(out.stdout.strip().splitlines()[-1])


def cold_case(work: Path, count: int, rows: int, repeats: int, dask_too: bool) -> list[Row]:
    import pyarrow.fs as pafs

    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_data.light_data_batch import read_range, to_dask
    from halvorn.orrery_utils.priceable.instrument import Instrument

    instrument = Instrument("binance-futures", "BTCUSDT")
    sources = [DataSource.binance]
    days = day_numbers(count)
    data_type = DataType.DerivativeTicker
    os.environ["HALVORN_S3_ACCESS_KEY"], os.environ["HALVORN_S3_SECRET_KEY"] = ACCESS_KEY, SECRET_KEY
    server = Process(SERVER)
    proxies: list[Process] = []
    rows_out: list[Row] = []
    try:
        admin = pafs.S3FileSystem(access_key="admin", secret_key="admin", region="us-east-1", scheme="http",
                                  endpoint_override=server.address, allow_bucket_creation=True)
        admin.create_dir("bench")
        cache = work / "s3-cache"
        with configured(write_config(work / "s3-direct.ini", work / "s3-root", cache, server.address, "bench")):
            log(f"cold: writing {count} tables of {rows} rows to the object store")
            for position, day in enumerate(days):
                CryptoMktData(day, instrument, data_type, data_sources=sources).write_raw_data(ticker(position, rows))
        host, port = server.address.rsplit(":", 1)
        for delay in (0.05, 0.0):
            proxy = Process(PROXY, host, port, str(delay))
            proxies.append(proxy)
            config = write_config(work / f"s3-{delay}.ini", work / "s3-root", cache, proxy.address, "bench")
            with configured(config):
                def drop_cache() -> None:
                    shutil.rmtree(cache, ignore_errors=True)

                def pool_of_get() -> pd.DataFrame:
                    def one(day: int) -> pd.DataFrame:
                        return CryptoMktData(day, instrument, data_type, data_sources=sources).get()
                    with ThreadPoolExecutor() as pool:
                        return pd.concat(list(pool.map(one, days)))

                run = {
                    "read_range": lambda: read_range(instrument, data_type, days[0], days[-1], data_sources=sources),
                    "loop": lambda: loop_of_get(instrument, data_type, days, sources),
                    "pool": pool_of_get,
                }
                drop_cache()
                want = run["loop"]()
                drop_cache()
                same(run["read_range"](), want)
                del want
                what = f"cold {count} x {size(rows)} rows, object store" + (
                    f", {delay * 1e3:.0f} ms per request" if delay else ", no delay")
                log(f"{what}: timing")
                t = medians(run, repeats, before=drop_cache)
                goal = 4.0 if delay else 1.0
                rows_out.append(Row(what, "read_range", t["read_range"], "sequential loop", t["loop"],
                                    f"≥ {goal}x faster" if delay else "(info)", faster(t["read_range"], t["loop"], goal)))
                rows_out.append(Row(what, "thread pool over get()", t["pool"], "sequential loop", t["loop"], "(info)",
                                    faster(t["pool"], t["loop"], 0)))
                if dask_too and delay:
                    rows_out.append(dask_row(what, instrument, data_type, days, sources, drop_cache, repeats))
    finally:
        for proxy in proxies:
            proxy.stop()
        server.stop()
    return rows_out


def coverage_case(work: Path, instruments: int, count: int, loop_days: int, repeats: int) -> list[Row]:
    """coverage() of `instruments` x `count` days of klines, through the 50 ms proxy, with the
    sources [tardis, binance] and every table held by binance (tardis holds none), against a
    loop of exists(). The loop asks each source of each table in turn (two requests a table),
    so its full run would take minutes: it is timed on the first instrument's first
    `loop_days` days, and coverage() on the same tables beside it; the full coverage() is set
    against the loop's time per table for that many tables."""
    import pyarrow.fs as pafs

    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_data.light_data_batch import coverage
    from halvorn.orrery_utils.priceable.instrument import Instrument

    names = [Instrument("binance-futures", f"C{n:02d}USDT") for n in range(instruments)]
    days = day_numbers(count)
    data_type, sources = DataType.Klines, [DataSource.tardis, DataSource.binance]
    os.environ["HALVORN_S3_ACCESS_KEY"], os.environ["HALVORN_S3_SECRET_KEY"] = ACCESS_KEY, SECRET_KEY
    server = Process(SERVER)
    proxy = None
    rows_out: list[Row] = []
    try:
        admin = pafs.S3FileSystem(access_key="admin", secret_key="admin", region="us-east-1", scheme="http",
                                  endpoint_override=server.address, allow_bucket_creation=True)
        admin.create_dir("coverage")
        table = pd.DataFrame({"DateTime": [pd.Timestamp("2024-01-01", tz="UTC")], "Close": [1.0]})
        with configured(write_config(work / "cov-direct.ini", work / "cov-root", work / "cov-cache", server.address,
                                     "coverage")):
            log(f"coverage: writing {instruments * count} tables to the object store")
            with ThreadPoolExecutor(8) as pool:
                list(pool.map(lambda key: CryptoMktData(key[1], key[0], data_type,
                                                        data_sources=[DataSource.binance]).write(table),
                              [(name, day) for name in names for day in days]))
        host, port = server.address.rsplit(":", 1)
        proxy = Process(PROXY, host, port, "0.05")
        with configured(write_config(work / "cov.ini", work / "cov-root", work / "cov-cache", proxy.address,
                                     "coverage")):
            sample = days[:loop_days]

            def loop() -> list[bool]:
                return [CryptoMktData(day, names[0], data_type, data_sources=sources).exists() for day in sample]

            def few() -> pd.DataFrame:
                return coverage(names[0], data_type, sample[0], sample[-1], data_sources=sources)

            def everything() -> pd.DataFrame:
                return coverage(names, data_type, days[0], days[-1], data_sources=sources)

            assert loop() == [source is not None for source in few()["source"]] == [True] * loop_days
            assert everything()["source"].eq("binance").all()
            log("coverage: timing")
            t = medians({"loop": loop, "few": few}, 1)
            t.update(medians({"everything": everything}, repeats))
            what = "coverage, object store, 50 ms per request, sources tardis then binance"
            per_table = t["loop"] / loop_days
            rows_out.append(Row(f"{what}: 1 instrument x {loop_days} days", "coverage()", t["few"], "loop of exists()",
                                t["loop"], "(info)", faster(t["few"], t["loop"], 0)))
            rows_out.append(Row(f"{what}: {instruments} instruments x {count} days", "coverage()", t["everything"],
                                f"loop of exists(), {per_table * 1e3:.0f} ms a table x {instruments * count}",
                                per_table * instruments * count, "≥ 10x faster",
                                faster(t["everything"], per_table * instruments * count, 10.0)))
    finally:
        if proxy is not None:
            proxy.stop()
        server.stop()
    return rows_out


def dask_row(what: str, instrument, data_type, days: list[int], sources, drop_cache, repeats: int) -> Row:
    from distributed import Client, LocalCluster

    from halvorn.orrery_data.light_data_batch import read_range, to_dask

    log(f"{what}: to_dask on a LocalCluster of 2 processes")
    # The worker processes inherit the environment, configuration included.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        run = {
            "to_dask": lambda: to_dask(instrument, data_type, days[0], days[-1], data_sources=sources).compute(),
            "read_range": lambda: read_range(instrument, data_type, days[0], days[-1], data_sources=sources),
        }
        drop_cache()
        run["to_dask"]()  # workers import and connect once
        t = medians(run, max(3, repeats // 2), before=drop_cache)
    return Row(what, "to_dask().compute(), 2 worker processes", t["to_dask"], "read_range", t["read_range"], "(info)",
               f"{t['to_dask'] / t['read_range']:.2f}x read_range's time")


STREAM_PEAK_CHILD = """
import json, sys
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data_batch import iter_range
from halvorn.orrery_utils.priceable.instrument import Instrument
start, end = int(sys.argv[1]), int(sys.argv[2])
btc = Instrument("binance-futures", "BTCUSDT")
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024
for chunk in iter_range(btc, DataType.DerivativeTicker, start, start, data_sources=[DataSource.binance]):
    del chunk  # code paths and the thread pool's code loaded
with open("/proc/self/clear_refs", "w") as handle:
    handle.write("5")
base, day, total = status("VmRSS"), 0, 0.0
for chunk in iter_range(btc, DataType.DerivativeTicker, start, end, data_sources=[DataSource.binance]):
    total += float(chunk["mark_price"].sum())  # the caller's work on each chunk
    day = max(day, int(chunk.memory_usage(deep=True).sum()))
print(json.dumps({"growth": status("VmHWM") - base, "day": day}))
"""


def stream_case(rows: int, repeats: int) -> tuple[list[Row], list[str]]:
    """iter_range over the warm tickers, a day a chunk, each chunk consumed, against read_range
    and the same work on its whole frame; and iter_range's peak RSS growth."""
    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data_batch import iter_range, read_range
    from halvorn.orrery_utils.priceable.instrument import Instrument

    label = f"warm 30 days x {size(rows)}-row derivative tickers, a day a chunk"
    log(f"{label}: writing")
    write_warm("BTCUSDT", DataType.DerivativeTicker, lambda day: ticker(day, rows), 30, rows)
    instrument, days, sources = Instrument("binance-futures", "BTCUSDT"), day_numbers(30), [DataSource.binance]

    def streamed() -> float:
        total = 0.0
        for chunk in iter_range(instrument, DataType.DerivativeTicker, days[0], days[-1], data_sources=sources):
            total += float(chunk["mark_price"].sum())
        return total

    def whole() -> float:
        frame = read_range(instrument, DataType.DerivativeTicker, days[0], days[-1], data_sources=sources)
        return float(frame["mark_price"].sum())

    chunks = list(iter_range(instrument, DataType.DerivativeTicker, days[0], days[-1], data_sources=sources))
    same(pd.concat(chunks), read_range(instrument, DataType.DerivativeTicker, days[0], days[-1], data_sources=sources))
    del chunks
    log(f"{label}: timing")
    t = medians({"iter_range": streamed, "read_range": whole}, repeats)
    out = subprocess.run([sys.executable, "-c", STREAM_PEAK_CHILD, str(days[0]), str(days[-1])], check=True,
                         capture_output=True, text=True, env=dict(os.environ))
    peak = json.loads(out.stdout.strip().splitlines()[-1])
    ratio = peak["growth"] / peak["day"]
    return ([Row(label, "iter_range, each chunk summed", t["iter_range"], "read_range, its frame summed",
                 t["read_range"], "≤ 1.2x", within(t["iter_range"], t["read_range"], 1.2))],
            [f"- {label}: peak RSS growth of iter_range {peak['growth'] / 2**20:.0f} MiB for a "
             f"{peak['day'] / 2**20:.0f} MiB day: {ratio:.2f}x "
             f"({'met' if ratio <= 3.0 else '**not met**'}: at most 3x)"])


def dask_warm_case(repeats: int) -> list[Row]:
    """to_dask on a LocalCluster of 2 worker processes x 1 thread, every table cached: the
    workers inherit this process's configuration, hence its cache folder."""
    from distributed import Client, LocalCluster

    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data_batch import read_range, to_dask
    from halvorn.orrery_utils.priceable.instrument import Instrument

    log("dask, warm: writing a year of klines, and 90 days of 10 instruments")
    write_warm("BTCUSDT", DataType.Klines, klines, 365, 1440)
    symbols = [f"C{n}USDT" for n in range(10)]
    for symbol in symbols:
        write_warm(symbol, DataType.Klines, klines, 90, 1440)
    sources = [DataSource.binance]
    year, quarter = day_numbers(365), day_numbers(90)
    btc = Instrument("binance-futures", "BTCUSDT")
    listed = [Instrument("binance-futures", symbol) for symbol in symbols]

    def lazy_year():
        return to_dask(btc, DataType.Klines, year[0], year[-1], data_sources=sources)

    run = {
        "year": lambda: lazy_year().compute(),
        "year read_range": lambda: read_range(btc, DataType.Klines, year[0], year[-1], data_sources=sources),
        "mean": lambda: lazy_year()["Close"].mean().compute(),
        "mean read_range": lambda: read_range(btc, DataType.Klines, year[0], year[-1],
                                              data_sources=sources)["Close"].mean(),
        "list": lambda: to_dask(listed, DataType.Klines, quarter[0], quarter[-1], data_sources=sources).compute(),
        "list read_range": lambda: read_range(listed, DataType.Klines, quarter[0], quarter[-1],
                                              data_sources=sources),
    }
    log("dask, warm: LocalCluster of 2 processes x 1 thread")
    # Two clients of one cluster: one that fetches results from the workers directly, one with
    # distributed's default, which has the scheduler relay them.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as relayed, Client(cluster, direct_to_workers=True) as direct:
        with direct.as_current():
            same(run["year"](), run["year read_range"]())
            want = run["list read_range"]().reset_index(level="instrument")
            # Dask turns the text column into its own string dtype; the values are the same.
            same(run["list"]().astype(want.dtypes), want)
            del want
            assert run["mean"]() == run["mean read_range"]()
            t = medians(run, repeats)
        with relayed.as_current():
            r = medians({"year": run["year"], "list": run["list"], "year read_range": run["year read_range"],
                         "list read_range": run["list read_range"]}, repeats)
    what = "warm, LocalCluster 2 processes x 1 thread"
    year, listed_ = f"{what}: 365 days x 1,440-row klines", f"{what}: 10 instruments x 90 days x 1,440-row klines"
    return [
        Row(year, "to_dask().compute()", t["year"], "read_range", t["year read_range"], "≤ 2.5x",
            within(t["year"], t["year read_range"], 2.5)),
        Row(year, 'to_dask()["Close"].mean().compute()', t["mean"], 'read_range()["Close"].mean()',
            t["mean read_range"], "≤ 1.5x", within(t["mean"], t["mean read_range"], 1.5)),
        Row(listed_, "to_dask().compute()", t["list"], "read_range", t["list read_range"], "≤ 2.5x",
            within(t["list"], t["list read_range"], 2.5)),
        Row(year, "to_dask().compute(), results relayed by the scheduler", r["year"], "read_range",
            r["year read_range"], "(info)", within(r["year"], r["year read_range"], 2.5)),
        Row(listed_, "to_dask().compute(), results relayed by the scheduler", r["list"], "read_range",
            r["list read_range"], "(info)", within(r["list"], r["list read_range"], 2.5)),
    ]


def graph_case(repeats: int) -> list[Row]:
    """to_dask over 100 instruments x 365 days and its task graph, with only the first table stored:
    the time to build both and the tables read to build them (by the default partition size, and
    with one day a partition for reference)."""
    from halvorn.orrery_data._light_data_batch import dask_frames
    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data_batch import to_dask
    from halvorn.orrery_utils.priceable.instrument import Instrument

    write_warm("G0USDT", DataType.Klines, klines, 1, 1440)
    listed = [Instrument("binance-futures", f"G{n}USDT") for n in range(100)]
    days = day_numbers(365)
    read_day = dask_frames.read_day
    reads: list[int] = []
    dask_frames.read_day = lambda reader, day: reads.append(day) or read_day(reader, day)
    rows_out = []
    try:
        for partition_size, goal in (("128MiB", "< 1 s"), (1, "(info)")):
            built = []

            def build() -> None:
                lazy = to_dask(listed, DataType.Klines, days[0], days[-1], data_sources=[DataSource.binance],
                               partition_size=partition_size)
                lazy.__dask_graph__()  # the task graph the scheduler is given
                built.append(lazy.npartitions)

            reads.clear()
            build()
            tables = len(reads)
            t = medians({"build": build}, repeats)["build"]
            subject = f"to_dask() and its graph, {built[-1]} partitions, {tables} table(s) read"
            rows_out.append(Row("graph of 100 instruments x 365 days", subject, t, "1 s", 1.0, goal,
                                f"{'yes' if t < 1.0 and tables == 1 else '**no**'} ({t:.2f} s)"
                                if goal != "(info)" else f"{t:.2f} s"))
    finally:
        dask_frames.read_day = read_day
    return rows_out


def single_get_row(work: Path, repeats: int) -> list[Row]:
    """One warm get() of a 1-row table against its floor, and the stand-in path builder's share of it."""
    import timeit

    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_utils.priceable.instrument import Instrument

    instrument = Instrument("binance-futures", "BTCUSDT")
    reader = CryptoMktData(20230101, instrument, DataType.Klines, data_sources=[DataSource.binance])
    reader.write(klines(0, rows=1))
    reader.get()
    path = cache_files([reader])[0]
    samples: dict[str, list[float]] = {"get": [], "floor": [], "path": []}
    for _ in range(max(repeats, 5) * 3):
        samples["get"].append(timeit.timeit(reader.get, number=200) / 200)
        samples["floor"].append(timeit.timeit(lambda: pd.read_feather(path).set_index("DateTime"), number=200) / 200)
        samples["path"].append(timeit.timeit(lambda: reader.get_path(DataSource.binance), number=200) / 200)
    t = {name: statistics.median(values) for name, values in samples.items()}
    return [Row("warm get(), 1-row klines", "get()", t["get"], "read_feather + set_index", t["floor"], "≤ 1.15x",
                within(t["get"], t["floor"], 1.15) + f"; stand-in get_path alone {t['path'] * 1e6:.0f} µs")]


def outputs_case(work: Path, repeats: int) -> list[Row]:
    """output="arrow" and "polars" against the Arrow floor and output="pandas", on 365 warm
    1,440-row klines; then with the cache files rewritten uncompressed."""
    import polars as pl
    import pyarrow.feather as feather

    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_data.light_data_batch import read_range
    from halvorn.orrery_utils.priceable.instrument import Instrument

    instrument = Instrument("binance-futures", "ETHUSDT")
    sources = [DataSource.binance]
    days = day_numbers(365)
    log("outputs: writing 365 tables")
    readers = [CryptoMktData(day, instrument, DataType.Klines, data_sources=sources) for day in days]
    for position, reader in enumerate(readers):
        reader.write(klines(position))
        reader.get()  # fills the cache
    paths = cache_files(readers)
    pool = ThreadPoolExecutor()
    rows: list[Row] = []
    for files in ("LZ4 cache files", "uncompressed cache files"):
        if files.startswith("uncompressed"):
            for path in paths:  # rewritten beside, then renamed into place, as the cache is written
                feather.write_feather(feather.read_table(path), path + ".new", compression="uncompressed")
                os.replace(path + ".new", path)

        def read(output: str) -> Callable[[], object]:
            return lambda: read_range(instrument, DataType.Klines, days[0], days[-1], data_sources=sources, output=output)

        run = {
            "arrow": read("arrow"),
            "polars": read("polars"),
            "pandas": read("pandas"),
            "floor": lambda: arrow_floor(paths, pool),
            "serial floor": lambda: arrow_floor(paths, None, SERIAL),
        }
        floor = run["serial floor"]()
        assert run["arrow"]().equals(floor) and run["floor"]().equals(floor)
        assert run["polars"]().equals(pl.from_arrow(floor))
        same(run["pandas"](), floor.to_pandas().set_index("DateTime"))
        del floor
        label = f"warm 365 days x 1,440-row klines, {files}"
        log(f"{label}: timing")
        # Reads of ~50 ms: more runs than the other cases for steady medians.
        t = medians(run, repeats * 3)
        lean, other = sorted([("floor", "Arrow floor, mapped, read in a thread pool"),
                              ("serial floor", "Arrow floor, mapped, read one after the other")],
                             key=lambda pair: t[pair[0]])
        # The goals are set on the files as the cache writes them; the uncompressed run is info.
        goals = files.startswith("LZ4")
        info = float("inf")
        rows += [
            Row(label, 'output="arrow"', t["arrow"], lean[1], t[lean[0]], "≤ 1.15x" if goals else "(info)",
                within(t["arrow"], t[lean[0]], 1.15 if goals else info)),
            Row(label, 'output="arrow"', t["arrow"], other[1], t[other[0]], "(info)", within(t["arrow"], t[other[0]], info)),
            Row(label, 'output="polars"', t["polars"], lean[1], t[lean[0]], "≤ 1.2x" if goals else "(info)",
                within(t["polars"], t[lean[0]], 1.2 if goals else info)),
            Row(label, 'output="arrow"', t["arrow"], 'output="pandas"', t["pandas"], "≥ 2x faster" if goals else "(info)",
                faster(t["arrow"], t["pandas"], 2.0 if goals else 0)),
        ]
    pool.shutdown()
    return rows


def size(rows: int) -> str:
    return f"{rows // 1_000_000}M" if rows >= 1_000_000 else f"{rows // 1000}k"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats and a smaller ticker case")
    parser.add_argument("--cases", default="warm-klines,warm-ticker,stream,dask-warm,graph,cold,dask,single,outputs,"
                                           "coverage",
                        help="comma-separated: warm-klines, warm-ticker, stream, dask-warm, graph, cold, dask, "
                             "single, outputs, coverage")
    parser.add_argument("--out", default=str(HERE / "results" / "batch_read.md"), help="also write here ('' to skip)")
    options = parser.parse_args()
    cases = set(options.cases.split(","))
    repeats = 3 if options.quick else 7
    warnings.simplefilter("ignore", FutureWarning)

    work = Path(tempfile.mkdtemp(prefix="light_data_batch_bench_"))
    started = time.perf_counter()
    rows: list[Row] = []
    notes: list[str] = []
    try:
        with configured(write_config(work / "local.ini", work / "store", work / "cache")):
            from halvorn.orrery_data.enums import DataType

            ticker_rows = 200_000 if options.quick else 1_000_000
            if "warm-klines" in cases:
                rows += warm_case(work, "warm 365 days x 1,440-row klines", DataType.Klines, klines, 365, 1440,
                                  floor_plain, repeats, 5.0)
            if "warm-ticker" in cases:
                label = f"warm 30 days x {size(ticker_rows)}-row derivative tickers"
                rows += warm_case(work, label, DataType.DerivativeTicker,
                                  lambda day: ticker(day, ticker_rows), 30, ticker_rows, floor_scaled, repeats, 1.5)
                for columns, goal in ((None, 1.5), (["mark_price"], 1.35)):
                    peak = peak_memory(day_numbers(30), columns)
                    ratio = peak["growth"] / peak["result"]
                    call = "read_range" if columns is None else f"read_range(columns={columns})"
                    notes.append(f"- {label}: peak RSS growth of {call} {peak['growth'] / 2**20:.0f} MiB for a "
                                 f"{peak['result'] / 2**20:.0f} MiB result: {ratio:.2f}x "
                                 f"({'met' if ratio <= goal else '**not met**'}: at most {goal}x)")
            if "stream" in cases:
                stream_rows, stream_notes = stream_case(ticker_rows, repeats)
                rows += stream_rows
                notes += stream_notes
            if "dask-warm" in cases:
                rows += dask_warm_case(repeats)
            if "graph" in cases:
                rows += graph_case(repeats)
            if "single" in cases:
                rows += single_get_row(work, repeats)
            if "outputs" in cases:
                rows += outputs_case(work, repeats)
        if "cold" in cases or "dask" in cases:
            rows += cold_case(work, 30, 20_000 if options.quick else 100_000, repeats, "dask" in cases)
        if "coverage" in cases:
            rows += coverage_case(work, *((3, 60, 20) if options.quick else (10, 365, 60)), repeats)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    lines = ["| case | measured | time | against | time | goal | met? |", "| --- | --- | ---: | --- | ---: | --- | --- |"]
    for row in rows:
        lines.append(f"| {row.case} | {row.subject} | {fmt(row.subject_time)} | {row.baseline} | "
                     f"{fmt(row.baseline_time)} | {row.goal} | {row.met} |")
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
