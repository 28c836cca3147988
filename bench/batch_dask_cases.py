"""The Dask cases: to_dask on a LocalCluster of worker processes against read_range, and the
cost of to_dask's task graph."""

from __future__ import annotations

import os

from batch_setup import Row, day_numbers, klines, log, same, write_warm
from timing import fmt, medians, within


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


def dask_warm_case(repeats: int) -> tuple[list[Row], list[str]]:
    """to_dask on a LocalCluster of 2 worker processes x 1 thread, every table cached: the
    workers inherit this process's configuration, hence its cache folder. The mean is also set
    against Dask's own floor: the same computation on an empty collection of one partition."""
    import dask.dataframe as dd
    import pandas as pd
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

    def lazy_list():
        return to_dask(listed, DataType.Klines, quarter[0], quarter[-1], data_sources=sources)

    run = {
        "year": lambda: lazy_year().compute(),
        "year read_range": lambda: read_range(btc, DataType.Klines, year[0], year[-1], data_sources=sources),
        "mean": lambda: lazy_year()["Close"].mean().compute(),
        "mean read_range": lambda: read_range(btc, DataType.Klines, year[0], year[-1],
                                              data_sources=sources)["Close"].mean(),
        "empty mean": lambda: dd.from_pandas(pd.DataFrame({"Close": pd.Series([], dtype="float64")}),
                                             npartitions=1)["Close"].mean().compute(),
        "list": lambda: lazy_list().compute(),
        # Dask's own compute of the same collection: every partition concatenated on one worker first.
        "list on a worker": lambda: dd.DataFrame.compute(lazy_list()),
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
            same(run["list on a worker"]().astype(want.dtypes), want)
            del want
            assert run["mean"]() == run["mean read_range"]()
            load, best = os.getloadavg()[0], {}
            t = medians(run, 2 * repeats, minima=best)  # the cluster's four processes make these runs noisy
            load = (load + os.getloadavg()[0]) / 2
        with relayed.as_current():
            r = medians({"year": run["year"], "list": run["list"], "year read_range": run["year read_range"],
                         "list read_range": run["list read_range"]}, repeats)
    what = "warm, LocalCluster 2 processes x 1 thread"
    year, listed_ = f"{what}: 365 days x 1,440-row klines", f"{what}: 10 instruments x 90 days x 1,440-row klines"
    floor = t["mean read_range"] + t["empty mean"]
    rows = [
        Row(year, "to_dask().compute()", t["year"], "read_range", t["year read_range"], "≤ 1.5x",
            within(t["year"], t["year read_range"], 1.5)),
        Row(year, 'to_dask()["Close"].mean().compute()', t["mean"],
            f'read_range()["Close"].mean() + the same on an empty one-partition collection '
            f'({fmt(t["mean read_range"])} + {fmt(t["empty mean"])})', floor, "≤ 1.2x", within(t["mean"], floor, 1.2)),
        Row(listed_, "to_dask().compute()", t["list"], "read_range", t["list read_range"], "≤ 1.5x",
            within(t["list"], t["list read_range"], 1.5)),
        Row(listed_, "Dask's own compute: the partitions concatenated on one worker, then sent", t["list on a worker"],
            "read_range", t["list read_range"], "(info)", within(t["list on a worker"], t["list read_range"], 1.5)),
        Row(year, "to_dask().compute(), results relayed by the scheduler", r["year"], "read_range",
            r["year read_range"], "(info)", within(r["year"], r["year read_range"], 1.5)),
        Row(listed_, "to_dask().compute(), results relayed by the scheduler", r["list"], "read_range",
            r["list read_range"], "(info)", within(r["list"], r["list read_range"], 1.5)),
    ]
    fastest = (f"year {best['year'] / best['year read_range']:.2f}x read_range, "
               f"mean {best['mean'] / (best['mean read_range'] + best['empty mean']):.2f}x its floor, "
               f"10 instruments {best['list'] / best['list read_range']:.2f}x read_range "
               f"({best['list on a worker'] / best['list read_range']:.2f}x with Dask's own compute)")
    return rows, [f"- dask, warm: load average over the timed runs {load:.1f} on {os.cpu_count()} CPUs; "
                  f"the fastest runs of each: {fastest}"]


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
