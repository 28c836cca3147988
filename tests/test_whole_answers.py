"""Range reads give every table storage holds, exact to the nanosecond, or an error naming the
instrument, the day, each source tried and its cause: never a silent gap, never 1970."""

from __future__ import annotations

import _thread
import logging
import os
import threading

import dask
import numpy as np
import pandas as pd
import pytest

import halvorn.orrery_data.light_data as light_data
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_data.light_data_batch import MissingDataWarning, TableReadError, read_range, to_dask
from halvorn.orrery_data.path_manager import PathManager
from halvorn.orrery_utils.priceable.instrument import Instrument

BTC = Instrument("binance-futures", "BTCUSDT")
DAYS = [20250401, 20250402, 20250403]
BINANCE = [DataSource.binance]
US = 1743465600448717  # 2025-04-01 00:00:00.448717 in microseconds


def reader(day, data_type=DataType.DerivativeTicker, **kwargs):
    return CryptoMktData(day, BTC, data_type, data_sources=BINANCE, **kwargs)


def ticker(day, rows=3):
    start = int(pd.Timestamp(str(day), tz="UTC").value // 1000)
    return pd.DataFrame({"timestamp": start + 1_000_000 * np.arange(rows), "price": np.arange(rows) + 0.5})


def loop(days, data_type=DataType.DerivativeTicker):
    return pd.concat([reader(day, data_type).get() for day in days])


def compute(frame):
    return frame.compute(scheduler="synchronous")


def damage(day):
    path = reader(day).get_path(DataSource.binance)
    with open(path, "wb") as handle:
        handle.write(b"ARROW1 but not a table")
    return path


@pytest.mark.parametrize("warm", [False, True], ids=["cold", "warm"])
def test_a_damaged_stored_table_is_an_error_not_a_missing_day(storage, warm, caplog):
    for day in DAYS:
        reader(day).write(ticker(day))
    path = damage(DAYS[1])
    if warm:  # the other days come from the cache; the damaged one has none
        for day in (DAYS[0], DAYS[2]):
            reader(day).get()
    with pytest.raises(TableReadError) as raised:
        read_range(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1], data_sources=BINANCE, missing="skip")
    error = raised.value
    assert (error.instrument, error.date, [t[:2] for t in error.tried]) == (str(BTC), DAYS[1], [("binance", path)])
    assert f"{BTC} on {DAYS[1]}: binance ({path}): " in str(error) and error.__cause__ is error.tried[0][2]
    assert not [r for r in caplog.records if r.levelno >= logging.ERROR]  # the error says it all
    with pytest.raises(TableReadError, match=f"on {DAYS[1]}"):
        compute(to_dask(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1], data_sources=BINANCE))
    with pytest.raises(FileNotFoundError, match="^Missing data: "):  # get() keeps its own policy
        reader(DAYS[1]).get()


def test_a_failing_first_source_is_not_skipped_for_the_next(storage):
    # get() would fall back to binance's table; a range read does not hand over another
    # source's table because the preferred one could not be read.
    sources = [DataSource.tardis, DataSource.binance]
    CryptoMktData(DAYS[0], BTC, DataType.DerivativeTicker, data_sources=sources[1:]).write(ticker(DAYS[0]))
    tardis = CryptoMktData(DAYS[0], BTC, DataType.DerivativeTicker, data_sources=sources)
    tardis.write(ticker(DAYS[0]))
    damage_path = tardis.get_path(DataSource.tardis)
    open(damage_path, "wb").close()
    with pytest.raises(TableReadError) as raised:
        read_range(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[0], data_sources=sources)
    assert [t[0] for t in raised.value.tried] == ["tardis"]


def test_no_path_means_no_data(storage, monkeypatch):
    class NoPathOnTheSecondDay(PathManager):
        @staticmethod
        def get_mktdata_path(**kwargs):
            return None if kwargs["date"] == DAYS[1] else PathManager.get_mktdata_path(**kwargs)

    for day in DAYS:
        reader(day).write(ticker(day))
    monkeypatch.setattr(light_data, "PathManager", NoPathOnTheSecondDay)
    with pytest.warns(MissingDataWarning, match="1 of 3"):
        got = read_range(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1], data_sources=BINANCE)
    assert got.attrs["missing"] == [(str(BTC), DAYS[1])]
    pd.testing.assert_frame_equal(got, loop([DAYS[0], DAYS[2]]))
    with pytest.raises(FileNotFoundError, match="^Missing data: None$"):
        reader(DAYS[1]).get()


def test_a_source_without_a_path_is_named_as_such_when_the_next_one_fails(storage, monkeypatch):
    class NoTardisPath(PathManager):
        @staticmethod
        def get_mktdata_path(**kwargs):
            return None if kwargs["data_source"] == DataSource.tardis else PathManager.get_mktdata_path(**kwargs)

    monkeypatch.setattr(light_data, "PathManager", NoTardisPath)
    sources = [DataSource.tardis, DataSource.binance]
    damaged = CryptoMktData(DAYS[0], BTC, DataType.DerivativeTicker, data_sources=sources).get_path(DataSource.binance)
    os.makedirs(os.path.dirname(damaged), exist_ok=True)
    open(damaged, "wb").close()
    with pytest.raises(TableReadError) as raised:
        read_range(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[0], data_sources=sources)
    assert [t[:2] for t in raised.value.tried] == [("tardis", None), ("binance", damaged)]
    assert f"on {DAYS[0]}: tardis: no storage path; binance ({damaged}): " in str(raised.value)


def test_a_day_without_rows_adds_no_rows_and_no_types(storage):
    header_only = pd.DataFrame({"timestamp": pd.Series([], dtype=object), "price": pd.Series([], dtype=object)})
    reader(DAYS[0]).write(header_only)
    for day in DAYS[1:]:
        reader(day).write(ticker(day))
    got = read_range(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1], data_sources=BINANCE)
    assert got.dtypes["price"] == np.float64 and len(got) == 6
    pd.testing.assert_frame_equal(got, loop(DAYS[1:]))
    lazy = to_dask(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1], data_sources=BINANCE)
    assert compute(lazy["price"].sum()) == got["price"].sum()


# Vendor files: time fields left empty load as float, as nullable integers, or as text when the
# file was read as text to keep every digit.
TIMES = {
    "text, empty field": (["1743465600448717123", ""], [1743465600448717123, None]),
    "text, gap first": (pd.array([None, str(US)], dtype="string"), [None, US * 1000]),
    "float with a gap": ([float(US), np.nan], [US * 1000, None]),
    "nullable, gap first": (pd.array([None, US], dtype="Int64"), [None, US * 1000]),
    "nullable, gap last": (pd.array([US, None], dtype="Int64"), [US * 1000, None]),
    "whole floats, ms": ([1743465600448.0, 1743465600449.0], [1743465600448 * 10**6, 1743465600449 * 10**6]),
}


@pytest.mark.parametrize("stored, nanoseconds", TIMES.values(), ids=TIMES.keys())
@pytest.mark.parametrize("entry", ["get", "read_range", "to_dask"])
def test_epoch_counts_with_gaps_are_scaled_exactly(storage, entry, stored, nanoseconds):
    reader(DAYS[0]).write(pd.DataFrame({"timestamp": stored, "price": [1.0, 2.0]}))
    reader(DAYS[0]).get()  # the range reads start warm
    got = {"get": lambda: reader(DAYS[0]).get(),
           "read_range": lambda: read_range(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[0],
                                            data_sources=BINANCE),
           "to_dask": lambda: compute(to_dask(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[0],
                                              data_sources=BINANCE))}[entry]()
    want = pd.DatetimeIndex([pd.NaT if n is None else pd.Timestamp(n, tz="UTC") for n in nanoseconds],
                            dtype="datetime64[ns, UTC]", name="DateTime")
    pd.testing.assert_index_equal(got.index, want)


@pytest.mark.parametrize("entry", ["get", "read_range"])
def test_a_close_time_at_the_largest_count_overflows(storage, entry):
    reader(DAYS[0], DataType.Metrics).write(pd.DataFrame({"CloseTime": [2**63 - 1], "v": [1.0]}))
    reader(DAYS[0], DataType.Metrics).remove_cache()
    with pytest.raises(OverflowError, match="CloseTime value 9223372036854775807 plus one"):
        if entry == "get":
            reader(DAYS[0], DataType.Metrics).get()
        else:
            read_range(BTC, DataType.Metrics, DAYS[0], DAYS[0], data_sources=BINANCE)


@pytest.mark.parametrize("data_type", [DataType.DerivativeTicker, DataType.Klines])
def test_a_table_written_back_as_read_reads_back_the_same(storage, data_type):
    table = ticker(DAYS[0])
    if data_type == DataType.Klines:
        table = table.assign(DateTime=pd.to_datetime(table.pop("timestamp"), unit="us", utc=True))
    reader(DAYS[0], data_type).write(table)
    first = reader(DAYS[0], data_type).get()
    reader(DAYS[0], data_type).write(first)
    reader(DAYS[0], data_type).remove_cache()
    pd.testing.assert_frame_equal(reader(DAYS[0], data_type).get(), first)
    pd.testing.assert_frame_equal(read_range(BTC, data_type, DAYS[0], DAYS[0], data_sources=BINANCE), first)


def test_an_interrupt_stops_the_reads(storage, monkeypatch):
    # A slow store: every read takes a while; the third one interrupts the main thread.
    for day in range(20250101, 20250131):
        reader(day).write(ticker(day))
    started = []
    lock = threading.Lock()

    def slow(read):
        def slow_read(self, load_path):
            with lock:
                started.append(load_path)
                if len(started) == 3:
                    _thread.interrupt_main()
            threading.Event().wait(0.2)
            return read(self, load_path)
        return slow_read

    for name in ("read_file_wrapper", "read_file_identified", "read_file_bytes"):  # whichever a range read makes
        monkeypatch.setattr(light_data.DataIOModule, name, slow(getattr(light_data.DataIOModule, name)))
    with pytest.raises(KeyboardInterrupt):
        read_range(BTC, DataType.DerivativeTicker, 20250101, 20250130, data_sources=BINANCE, max_workers=4)
    assert len(started) <= 8  # the reads in flight, no more
