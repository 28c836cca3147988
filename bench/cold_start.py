"""A worker's cold start against a distant object store, and Ctrl-C while the store stalls.

Cases (ratios from medians measured in the same run):

* cold start: 10 instruments x 60 days of 1,440-row klines on an S3-API server (moto) on
  127.0.0.1, behind a proxy that delays every request by 50 ms; read_range with an empty cache,
  in tables/s, against the floor of bare GETs of the same objects in 32 threads, each body
  read by pyarrow (no cache written), and against a loop of get() over a part of the tables;
  with the latency bound (tables x round trips / requests in flight);
* the same through a proxy without delay (the CPU cost of a cold table);
* interrupt: a read_range whose every GET stalls, in a child process, sent SIGINT; the time
  from the signal to the end of the process;
* a century of empty days: iter_range a day a chunk from 1926 to today over an instrument
  whose last 20 days are stored (local storage), every chunk consumed, against iter_range over
  those 20 days.

    .venv/bin/python bench/cold_start.py             # everything (about two and a half minutes)
    .venv/bin/python bench/cold_start.py --quick     # fewer tables and repeats

Prints one markdown table; the same text goes to bench/results/cold_start.md.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pandas as pd
import pyarrow as pa
import pyarrow.ipc as ipc

sys.path.insert(0, str(Path(__file__).resolve().parent))
from batch_setup import Row, day_numbers, klines, log, same  # noqa: E402
from object_store import ACCESS_KEY, PROXY, SECRET_KEY, SERVER, Process, configured, write_config  # noqa: E402
from timing import faster, fmt, medians  # noqa: E402

BUCKET = "cold"
DELAY = 0.05
FLOOR_THREADS = 32


def store_tables(server: str, work: Path, instruments: list, days: list[int]) -> None:
    import pyarrow.fs as pafs

    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData

    admin = pafs.S3FileSystem(access_key="admin", secret_key="admin", region="us-east-1", scheme="http",
                              endpoint_override=server, allow_bucket_creation=True)
    admin.create_dir(BUCKET)
    with configured(write_config(work / "direct.ini", work / "root", work / "unused-cache", server, BUCKET)):
        for instrument in instruments:
            for position, day in enumerate(days):
                CryptoMktData(day, instrument, DataType.Klines, data_sources=[DataSource.binance]).write(
                    klines(position))


def object_keys(instruments: list, days: list[int], work: Path) -> list[str]:
    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData

    root = str(work / "root")
    return [os.path.relpath(CryptoMktData(day, instrument, DataType.Klines, data_sources=[DataSource.binance])
                            .get_path(DataSource.binance), root) for instrument in instruments for day in days]


def bare_gets(endpoint: str, keys: list[str]) -> int:
    """Every object fetched by one GET in FLOOR_THREADS threads and read by pyarrow: the floor."""
    import botocore.session
    from botocore.config import Config

    client = botocore.session.get_session().create_client(
        "s3", endpoint_url=f"http://{endpoint}", region_name="us-east-1", aws_access_key_id=ACCESS_KEY,
        aws_secret_access_key=SECRET_KEY, config=Config(max_pool_connections=FLOOR_THREADS,
                                                        retries={"total_max_attempts": 1}))

    def one(key: str) -> int:
        body = client.get_object(Bucket=BUCKET, Key=key)["Body"].read()
        return ipc.open_file(pa.py_buffer(body)).read_all().num_rows

    with ThreadPoolExecutor(FLOOR_THREADS) as pool:
        return sum(pool.map(one, keys))


def cold_case(work: Path, server: str, instruments: list, days: list[int], loop_days: int,
              repeats: int) -> list[Row]:
    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_data.light_data_batch import read_range

    sources, tables = [DataSource.binance], len(instruments) * len(days)
    with configured(write_config(work / "direct.ini", work / "root", work / "unused-cache", server, BUCKET)):
        keys = object_keys(instruments, days, work)
    host, port = server.rsplit(":", 1)
    rows: list[Row] = []
    for delay in (DELAY, 0.0):
        proxy = Process(PROXY, host, port, str(delay))
        cache = work / f"cache-{delay}"
        try:
            with configured(write_config(work / f"proxy-{delay}.ini", work / "root", cache, proxy.address, BUCKET)):
                def drop_cache() -> None:
                    shutil.rmtree(cache, ignore_errors=True)

                def loop() -> pd.DataFrame:
                    return pd.concat([CryptoMktData(day, instruments[0], DataType.Klines, data_sources=sources).get()
                                      for day in days[:loop_days]])

                run = {
                    "read_range": lambda: read_range(instruments, DataType.Klines, days[0], days[-1],
                                                     data_sources=sources),
                    "bare GETs": lambda: bare_gets(proxy.address, keys),
                    "loop": loop,
                }
                drop_cache()
                got = run["read_range"]()
                same(read_range(instruments, DataType.Klines, days[0], days[-1], data_sources=sources), got)  # warm
                assert len(got) == tables * 1440
                del got
                what = f"cold start, {len(instruments)} instruments x {len(days)} days of 1,440-row klines, " + (
                    f"{delay * 1e3:.0f} ms per request" if delay else "no delay")
                log(f"{what}: timing")
                t = medians(run, repeats, before=drop_cache)
                rate, floor = tables / t["read_range"], tables / t["bare GETs"]
                ratio = rate / floor
                rows.append(Row(what, f"read_range, {rate:.0f} tables/s", t["read_range"],
                                f"bare GETs in {FLOOR_THREADS} threads + pyarrow, {floor:.0f} tables/s", t["bare GETs"],
                                "≥ 0.75x the floor's rate" if delay else "(info)",
                                f"{ratio:.2f}x" + ("" if not delay else " (met)" if ratio >= 0.75 else " (**not met**)")))
                loop_rate = loop_days / t["loop"]
                rows.append(Row(what, f"read_range, {rate:.0f} tables/s", t["read_range"],
                                f"loop of get(), {loop_rate:.1f} tables/s ({loop_days} tables)", t["loop"] * tables /
                                loop_days, "(info)", faster(t["read_range"], t["loop"] * tables / loop_days, 0)))
                if delay:
                    in_flight = 32  # the object store's default max_connections
                    bound = tables * 1 * delay / in_flight
                    rows.append(Row(what, "latency bound: tables x 1 round trip / 32 in flight", bound, "read_range",
                                    t["read_range"], "(info)", f"read_range at {bound / t['read_range']:.2f}x the bound's "
                                    "rate"))
        finally:
            proxy.stop()
    return rows


def century_case(work: Path, repeats: int) -> list[Row]:
    """iter_range a day a chunk from 1926 to today over one instrument whose last 20 days are
    stored (local storage, warm), every chunk consumed, against iter_range over those 20 days."""
    import warnings

    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_data.light_data_batch import iter_range
    from halvorn.orrery_utils.priceable.instrument import Instrument

    instrument, sources = Instrument("binance-futures", "CENTURYUSDT"), [DataSource.binance]
    today = pd.Timestamp.now(tz="UTC").normalize().tz_localize(None)
    stored = [int(day.strftime("%Y%m%d")) for day in pd.date_range(end=today - pd.Timedelta(days=1), periods=20)]
    last = int(today.strftime("%Y%m%d"))

    def consumed(start: int) -> int:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return sum(len(chunk) for chunk in iter_range(instrument, DataType.Klines, start, last,
                                                          data_sources=sources))

    with configured(write_config(work / "century.ini", work / "century-root", work / "century-cache")):
        for position, day in enumerate(stored):
            CryptoMktData(day, instrument, DataType.Klines, data_sources=sources).write(klines(position))
        assert consumed(19260101) == consumed(stored[0]) == 20 * 1440  # and warm
        log("iter_range over a century: timing")
        t = medians({"century": lambda: consumed(19260101), "stored": lambda: consumed(stored[0])}, repeats)
    chunks = len(pd.date_range("1926-01-01", today))
    return [Row(f"iter_range a day a chunk, 1926-01-01 to today ({chunks:,} chunks), 20 days stored",
                "all chunks consumed", t["century"], "iter_range over the 20 stored days", t["stored"], "≤ 3 s",
                "met" if t["century"] <= 3.0 else "**not met**")]


INTERRUPTED_CHILD = """
import signal
# Ctrl-C as an interactive program takes it, even when this benchmark runs in the background
# (where the shell starts it, and so this child, with SIGINT ignored).
signal.signal(signal.SIGINT, signal.default_int_handler)
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data_batch import read_range
from halvorn.orrery_utils.priceable.instrument import Instrument
print("reading", flush=True)
read_range([Instrument("binance-futures", s) for s in {symbols}], DataType.Klines, {first}, {last},
           data_sources=[DataSource.binance])
"""


def interrupt_case(work: Path, server: str, instruments: list, days: list[int], repeats: int) -> list[Row]:
    """read_range in a child process whose every request the proxy holds for an hour; SIGINT
    one second in; the time until the child is gone."""
    host, port = server.rsplit(":", 1)
    proxy = Process(PROXY, host, port, "3600")
    config = write_config(work / "stalled.ini", work / "root", work / "stalled-cache", proxy.address, BUCKET)
    config.write_text(config.read_text() + "request_timeout = 30\n")
    code = INTERRUPTED_CHILD.format(symbols=[i.symbol for i in instruments], first=days[0], last=days[-1])
    took = []
    try:
        for _ in range(repeats):
            child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                                     env={**os.environ, "HALVORN_CONFIG": str(config)},
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            child.stdout.readline()
            time.sleep(1.0)  # the requests are out and held
            sent = time.perf_counter()
            child.send_signal(signal.SIGINT)
            try:
                child.wait(timeout=120)
            finally:
                child.kill()
                child.wait()
            took.append(time.perf_counter() - sent)
    finally:
        proxy.stop()
    took.sort()
    median = took[len(took) // 2]
    return [Row("Ctrl-C while every request stalls (request_timeout 30 s, 4 attempts)", "SIGINT to process exit",
                median, "the goal", 3.0, "≤ 3 s", "met" if median <= 3.0 else "**not met**")]


def main() -> None:
    from halvorn.orrery_utils.priceable.instrument import Instrument

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer tables and repeats")
    parser.add_argument("--out", default=str(Path(__file__).resolve().parent / "results" / "cold_start.md"))
    options = parser.parse_args()
    started = time.perf_counter()
    count, days = (3, 20) if options.quick else (10, 60)
    repeats = 3 if options.quick else 5
    instruments = [Instrument("binance-futures", f"SYM{i:02d}USDT") for i in range(count)]
    day_list = day_numbers(days)
    os.environ["HALVORN_S3_ACCESS_KEY"], os.environ["HALVORN_S3_SECRET_KEY"] = ACCESS_KEY, SECRET_KEY
    work = Path(tempfile.mkdtemp(prefix="light-data-cold-"))
    server = Process(SERVER)
    try:
        log(f"writing {count} x {days} tables")
        store_tables(server.address, work, instruments, day_list)
        rows = cold_case(work, server.address, instruments, day_list, min(20, days), repeats)
        rows += interrupt_case(work, server.address, instruments, day_list, 3)
        rows += century_case(work, 3)
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    lines = ["| case | measured | time | against | time | goal | met? |", "| --- | --- | ---: | --- | ---: | --- | --- |"]
    lines += [f"| {r.case} | {r.subject} | {fmt(r.subject_time)} | {r.baseline} | {fmt(r.baseline_time)} | {r.goal} | "
              f"{r.met} |" for r in rows]
    text = (f"{os.cpu_count()} CPUs, python {sys.version.split()[0]}, pandas {pd.__version__}, pyarrow {pa.__version__}; "
            f"{'quick' if options.quick else 'full'} run, {time.perf_counter() - started:.0f} s\n\n" + "\n".join(lines) + "\n")
    print(text)
    Path(options.out).parent.mkdir(parents=True, exist_ok=True)
    Path(options.out).write_text(text)


if __name__ == "__main__":
    main()
