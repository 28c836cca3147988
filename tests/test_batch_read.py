"""read_range and to_dask: many tables in one call, equal to the loop of get() they replace."""

from __future__ import annotations

import logging
import os
import textwrap

import distributed
import numpy as np
import pandas as pd
import pytest

from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_data.light_data_batch import MissingDataWarning, read_range, to_dask
from halvorn.orrery_utils.priceable.instrument import Instrument
from support import S3Server, cache_files, cache_path, create_bucket

BTC = Instrument("binance-futures", "BTCUSDT")
ETH = Instrument("binance-futures", "ETHUSDT")
DAYS = [20240227, 20240228, 20240229, 20240301]  # across a leap day and a month end
BINANCE = [DataSource.binance]


def ticker(day: int, rows: int = 5) -> pd.DataFrame:
    start_us = int(pd.Timestamp(str(day), tz="UTC").value // 1000)
    return pd.DataFrame({"timestamp": start_us + 3_600_000_000 * np.arange(rows, dtype=np.int64) + rows,
                         "mark_price": np.linspace(1.0, 2.0, rows) + day % 100, "side": ["b", "s"] * (rows // 2) + ["b"]})


def klines(day: int, rows: int = 4) -> pd.DataFrame:
    start = pd.Timestamp(str(day), tz="UTC")
    return pd.DataFrame({"DateTime": pd.date_range(start, periods=rows, freq="min", unit="ns"),
                         "Close": np.arange(rows, dtype=float) + day % 100, "Trades": np.arange(rows) * (day % 5)})


def store(instrument: Instrument, data_type: DataType, day: int, table: pd.DataFrame, warm: bool = True) -> None:
    reader = CryptoMktData(day, instrument, data_type, data_sources=BINANCE)
    reader.write(table)
    if warm:
        reader.get()  # fills the cache


def loop(instrument: Instrument, data_type: DataType, days, **options) -> pd.DataFrame:
    found = []
    for day in days:
        try:
            found.append(CryptoMktData(day, instrument, data_type, **options).get())
        except FileNotFoundError:
            pass
    return pd.concat(found)


# Time columns as vendors store them, one day each: get() picks the column and the unit per table.
TIME_COLUMNS = {
    20240227: lambda: pd.DataFrame({"timestamp": [1709000000123456, 1709000001000000], "v": [1.0, 2.0]}),
    20240228: lambda: pd.DataFrame({"v": [3.0, 4.0], "Time": [1709078400123, 1709078401000]}),
    20240229: lambda: pd.DataFrame({"CloseTime": [1709164859999, 1709164919999], "v": [5.0, 6.0]}),
    20240301: lambda: pd.DataFrame({"create_time": ["2024-03-01 00:05:00", "2024-03-01 00:10:00"], "v": [7.0, 8.0]}),
    20240302: lambda: pd.DataFrame({"timestamp": [1709337600, 1709337660], "v": [9.0, 10.0]}),
    20240303: lambda: pd.DataFrame({"timestamp": [1709424000000000001, 1709424000000000002], "v": [1.5, 2.5]}),
    20240304: lambda: pd.DataFrame({"timestamp": np.array([1709510400, 1709510401], dtype=np.int32), "v": [3.5, 4.5]}),
    20240305: lambda: pd.DataFrame({"DateTime": pd.to_datetime([1709596800, 1709596801], unit="s", utc=True),
                                    "v": [5.5, 6.5]}),
}


@pytest.mark.parametrize("case", ["one instrument", "default sources", "columns", "instrument list",
                                  "time columns by day"])
def test_read_range_equals_the_loop_of_get(storage, case, recwarn, capsys):
    if case == "time columns by day":
        for day, make in TIME_COLUMNS.items():
            store(BTC, DataType.Metrics, day, make(), warm=day % 2 == 0)
        days = list(TIME_COLUMNS)
        got = read_range(BTC, DataType.Metrics, days[0], days[-1], data_sources=BINANCE)
        pd.testing.assert_frame_equal(got, loop(BTC, DataType.Metrics, days, data_sources=BINANCE))
        assert got.attrs["missing"] == [] and not recwarn.list
        return
    for day in DAYS[:-1]:  # the last day has no data
        store(BTC, DataType.DerivativeTicker, day, ticker(day), warm=case != "one instrument" or day != DAYS[1])
        store(ETH, DataType.DerivativeTicker, day, ticker(day, rows=3))
    if case == "default sources":  # tardis comes first: its stored table wins over binance's cached one
        CryptoMktData(DAYS[0], BTC, DataType.DerivativeTicker).write(ticker(DAYS[0], rows=7))
    options = {} if case == "default sources" else {"data_sources": BINANCE}
    columns = ["side", "mark_price"] if case == "columns" else None
    instruments = [ETH, BTC] if case == "instrument list" else BTC
    with pytest.warns(MissingDataWarning, match="1 of 4|2 of 8"):
        got = read_range(instruments, DataType.DerivativeTicker, DAYS[0], DAYS[-1], columns=columns,
                         progress=case == "instrument list", **options)
    if case == "instrument list":
        assert "8/8" in capsys.readouterr().err  # the progress bar counted every table
        want = pd.concat({str(i): loop(i, DataType.DerivativeTicker, DAYS, **options) for i in instruments},
                         names=["instrument"])
        assert got.attrs["missing"] == [(str(ETH), DAYS[-1]), (str(BTC), DAYS[-1])]
    else:
        want = loop(BTC, DataType.DerivativeTicker, DAYS, **options)
        want = want if columns is None else want[columns]
        assert got.attrs["missing"] == [(str(BTC), DAYS[-1])]
    pd.testing.assert_frame_equal(got, want)
    assert "__slotnames__" not in vars(CryptoMktData)  # the reader class is left as it was


def test_cold_days_fill_the_cache_as_get_does(storage):
    for day in DAYS:
        store(BTC, DataType.Klines, day, klines(day), warm=False)
    got = read_range(BTC, DataType.Klines, DAYS[0], DAYS[-1], data_sources=BINANCE)
    assert len(cache_files(storage.cache_dir)) == len(DAYS)
    pd.testing.assert_frame_equal(got, read_range(BTC, DataType.Klines, DAYS[0], DAYS[-1], data_sources=BINANCE))
    pd.testing.assert_frame_equal(got, loop(BTC, DataType.Klines, DAYS, data_sources=BINANCE))


def plant_truncated(cache_file: str, other: str) -> None:
    os.truncate(cache_file, os.path.getsize(cache_file) // 2)


def plant_symlink(cache_file: str, other: str) -> None:
    os.remove(cache_file)
    os.symlink(other, cache_file)


@pytest.mark.parametrize("plant", [plant_truncated, plant_symlink], ids=["truncated", "symlink"])
def test_a_damaged_cache_entry_is_left_to_the_reader(storage, caplog, plant):
    for day in DAYS:
        store(BTC, DataType.Klines, day, klines(day))
    readers = {day: CryptoMktData(day, BTC, DataType.Klines, data_sources=BINANCE) for day in DAYS}
    paths = {day: reader.get_path(DataSource.binance) for day, reader in readers.items()}
    entries = {day: cache_path(storage.cache_dir, path) for day, path in paths.items()}
    plant(entries[DAYS[2]], entries[DAYS[0]])
    caplog.set_level(logging.DEBUG)
    got = read_range(BTC, DataType.Klines, DAYS[0], DAYS[-1], data_sources=BINANCE)
    handed_over = {day for day in DAYS if ("root", logging.DEBUG, f"reading {paths[day]}") in caplog.record_tuples}
    assert handed_over == {DAYS[2]}  # only the damaged entry went through get()
    pd.testing.assert_frame_equal(got, loop(BTC, DataType.Klines, DAYS, data_sources=BINANCE))
    if plant is plant_truncated:  # healed: the entry holds the stored table again
        pd.testing.assert_frame_equal(pd.read_feather(entries[DAYS[2]]), klines(DAYS[2]))


def overflowing(day: int) -> None:
    # Seconds on the first row, then a count that overflows once scaled to nanoseconds.
    store(BTC, DataType.Liquidations, day, pd.DataFrame({"timestamp": [1709000000, 2**62], "qty": [1.0, 2.0]}), warm=False)


@pytest.mark.parametrize("kind, call, error, match", [
    ("missing", dict(missing="raise"), FileNotFoundError, r"binance-futures:BTCUSDT on 20240229: Missing data: /"),
    ("overflow", {}, OverflowError, r"does not fit"),
    ("invalid", dict(end=20240230), ValueError, r"end 20240230 is not a calendar date"),
    ("invalid", dict(start=20240302), ValueError, r"start 20240302 is after end 20240301"),
    ("invalid", dict(start="20240227"), ValueError, r"start must be an int"),
    ("invalid", dict(missing="ignore"), ValueError, r"missing must be 'skip' or 'raise'"),
    ("invalid", dict(max_workers=0), ValueError, r"max_workers must be a positive int"),
    ("invalid", dict(instruments=[]), ValueError, r"empty"),
    ("invalid", dict(instruments=[BTC, BTC]), ValueError, r"listed twice"),
])
def test_failures(storage, kind, call, error, match):
    for day in DAYS:
        if kind == "overflow" and day == DAYS[2]:
            overflowing(day)
        elif not (kind == "missing" and day == DAYS[2]):
            store(BTC, DataType.Liquidations, day, ticker(day))
    before = cache_files(storage.cache_dir)
    arguments = dict(instruments=BTC, data_type=DataType.Liquidations, start=DAYS[0], end=DAYS[-1], data_sources=BINANCE)
    with pytest.raises(error, match=match) as raised:
        read_range(**{**arguments, **call})
    if kind == "overflow":
        assert raised.value.__notes__ == [f"reading Liquidations of {BTC} on {DAYS[2]}"]
    if kind == "invalid":
        assert cache_files(storage.cache_dir) == before  # refused before any read


# ---------------------------------------------------------------------------
# Dask: a real cluster of worker processes against a real S3-API server

def use_own_config(configs: dict[str, str], dask_worker) -> None:
    """Run on each worker: its own configuration, hence its own cache folder."""
    os.environ["HALVORN_CONFIG"] = configs[str(dask_worker.name)]


def object_store_config(path, root, cache, address) -> str:
    path.write_text(textwrap.dedent(f"""\
        [env]
        use_minio_storage = true
        [data_related]
        LOCAL_DATA_ROOT = {root}
        LOCAL_DATA_CACHE_DIR = {cache}
        [object_store]
        endpoint = http://{address}
        bucket = batch
        region = us-east-1
        """))
    return str(path)


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dask")
    server = S3Server()
    try:
        create_bucket(server.address, "batch")
        with pytest.MonkeyPatch.context() as patch:
            # Set before the workers start: their processes inherit the credentials.
            patch.setenv("HALVORN_S3_ACCESS_KEY", "AKIABATCHTEST0001")
            patch.setenv("HALVORN_S3_SECRET_KEY", "batch-test-secret")
            patch.setenv("HALVORN_CONFIG", object_store_config(folder / "client.ini", folder / "client",
                                                               folder / "client-cache", server.address))
            configs = {str(n): object_store_config(folder / f"w{n}.ini", folder / f"w{n}", folder / f"cache-{n}",
                                                   server.address) for n in range(2)}
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                          dashboard_address=None) as local, distributed.Client(local) as client:
                client.run(use_own_config, configs)
                yield folder, client
    finally:
        server.stop()


def test_to_dask_computes_what_read_range_reads(cluster):
    folder, client = cluster
    for day in DAYS[:-1]:
        store(BTC, DataType.DerivativeTicker, day, ticker(day), warm=False)
        store(ETH, DataType.DerivativeTicker, day, ticker(day, rows=3), warm=False)
    store(ETH, DataType.DerivativeTicker, DAYS[-1], ticker(DAYS[-1], rows=3), warm=False)
    options = dict(data_sources=BINANCE, columns=["mark_price", "side"])

    one = to_dask(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1], **options)
    assert one.npartitions == len(DAYS)
    assert list(one.divisions) == [pd.Timestamp(str(d), tz="UTC") for d in DAYS] + [pd.Timestamp("20240302", tz="UTC")]
    with pytest.warns(MissingDataWarning):
        want = read_range(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1], **options)
    pd.testing.assert_frame_equal(one.compute(), want, check_dtype=False)
    assert one.compute().dtypes["mark_price"] == want.dtypes["mark_price"]

    both = to_dask([ETH, BTC], DataType.DerivativeTicker, DAYS[0], DAYS[-1], **options).compute()
    with pytest.warns(MissingDataWarning):
        want = read_range([ETH, BTC], DataType.DerivativeTicker, DAYS[0], DAYS[-1], **options)
    pd.testing.assert_frame_equal(both, want.reset_index(level="instrument"), check_dtype=False)
    assert both["instrument"].tolist() == [str(ETH)] * 12 + [str(BTC)] * 15
    # The workers read from the shared store into their own cache folders.
    assert all(cache_files(folder / f"cache-{n}") for n in range(2))


def test_to_dask_refuses_rows_outside_their_day(cluster):
    day = 20240310
    table = ticker(day)
    table.loc[4, "timestamp"] += 86_400 * 10**6  # the last row belongs to the next day
    store(BTC, DataType.DerivativeTicker, day, table, warm=False)
    frame = to_dask(BTC, DataType.DerivativeTicker, day, day, data_sources=BINANCE)
    with pytest.raises(ValueError, match="20240310 does not fit its partition: 2024-03-11 04:00:00"):
        frame.compute()
