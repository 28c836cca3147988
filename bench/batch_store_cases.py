"""The cases on an object store: cold reads through a slow proxy, beside to_dask on a cluster,
and coverage() against a loop of exists()."""

from __future__ import annotations

import os
import shutil
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pandas as pd

from batch_dask_cases import dask_row
from batch_setup import Row, day_numbers, log, loop_of_get, same, size, ticker
from object_store import ACCESS_KEY, PROXY, SECRET_KEY, SERVER, Process, configured, write_config
from timing import faster, medians

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
