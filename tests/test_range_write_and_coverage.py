"""write_range stores a frame of many days as one whole table a day; coverage says which source
holds each table, as get() would pick it, without reading any."""

from __future__ import annotations

import json
import os

import numpy as np
import pandas as pd
import pytest

from halvorn.orrery_data._light_data_batch.coverage import main as coverage_main
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_data.light_data_batch import RangeWriteError, coverage, read_range, write_range
from halvorn.orrery_utils.priceable.instrument import Instrument

BTC, ETH = Instrument("binance-futures", "BTCUSDT"), Instrument("binance-futures", "ETHUSDT")
TARDIS, BINANCE = DataSource.tardis, DataSource.binance


def vendor_ticker() -> pd.DataFrame:
    # Microsecond stamps, the first 10 ms before midnight (a vendor's receive-time cut).
    stamps = pd.date_range("2024-03-01 23:59:59.990", periods=6, freq="6h").as_unit("us").asi8
    return pd.DataFrame({"timestamp": stamps, "price": np.arange(6.0)})


def days_of(data_type, day, sources=(BINANCE,)):
    return CryptoMktData(day, BTC, data_type, data_sources=list(sources))


@pytest.mark.parametrize("shape", ["vendor columns", "as read"])
def test_write_range_then_read_range_gives_the_frame_back(storage, shape):
    frame = vendor_ticker()
    if shape == "as read":  # a read_range result, indexed by its UTC "DateTime"
        write_range(frame, ETH, DataType.DerivativeTicker, data_sources=[BINANCE])
        frame = read_range(ETH, DataType.DerivativeTicker, 20240301, 20240303, data_sources=[BINANCE])
    result = write_range(frame, BTC, DataType.DerivativeTicker, data_sources=[BINANCE])
    assert (result.written, result.skipped) == ([20240301, 20240302, 20240303], [])
    stored = days_of(DataType.DerivativeTicker, 20240301).get_raw()
    assert len(stored) == 1  # the row before midnight is its own day's
    got = read_range(BTC, DataType.DerivativeTicker, 20240301, 20240303, data_sources=[BINANCE])
    want = read_range(ETH, DataType.DerivativeTicker, 20240301, 20240303, data_sources=[BINANCE]) \
        if shape == "as read" else frame.assign(DateTime=pd.to_datetime(frame.timestamp, unit="us", utc=True)
                                                .dt.as_unit("ns")).set_index("DateTime").drop(columns="timestamp")
    pd.testing.assert_frame_equal(got, want)


@pytest.mark.parametrize("if_exists", ["error", "skip", "replace"])
def test_days_already_stored(storage, if_exists):
    frame = vendor_ticker()
    days_of(DataType.DerivativeTicker, 20240302).write(frame.iloc[[0]])
    days_of(DataType.DerivativeTicker, 20240302).get()  # cached on this machine
    if if_exists == "error":
        with pytest.raises(FileExistsError, match=r"1 of 3 days .*\(20240302\)"):
            write_range(frame, BTC, DataType.DerivativeTicker, data_sources=[BINANCE])
        assert days_of(DataType.DerivativeTicker, 20240301).exists() is False  # nothing was written
        return
    result = write_range(frame, BTC, DataType.DerivativeTicker, data_sources=[BINANCE], if_exists=if_exists)
    assert result.skipped == ([20240302] if if_exists == "skip" else [])
    rows = len(days_of(DataType.DerivativeTicker, 20240302).get())  # the cache does not serve a stale copy
    assert rows == (1 if if_exists == "skip" else 4)


def test_a_failing_day_is_reported_with_the_days_written(storage, monkeypatch):
    from halvorn.orrery_data import light_data

    write = light_data.DataIOModule.write_file_wrapper

    def refuse_one(self, dataframe, write_path):
        if write_path.endswith("20240302"):
            raise PermissionError(13, "Permission denied", write_path)
        return write(self, dataframe=dataframe, write_path=write_path)

    monkeypatch.setattr(light_data.DataIOModule, "write_file_wrapper", refuse_one)
    with pytest.raises(RangeWriteError, match="1 of 3 days.*20240302.*2 were") as raised:
        write_range(vendor_ticker(), BTC, DataType.DerivativeTicker, data_sources=[BINANCE])
    assert raised.value.written == [20240301, 20240303] and list(raised.value.failed) == [20240302]
    assert isinstance(raised.value.__cause__, PermissionError)


def test_coverage_names_the_source_get_would_pick(storage, capsys):
    days = [20240101, 20240102, 20240103]
    for day, sources in zip(days, [(TARDIS, BINANCE), (BINANCE,), ()]):
        for source in sources:
            CryptoMktData(day, BTC, DataType.Klines, data_sources=[source]).write(
                pd.DataFrame({"DateTime": [pd.Timestamp(str(day), tz="UTC")], "v": [1.0]}))
    table = coverage([BTC, ETH], DataType.Klines, days[0], days[-1])
    assert table["source"].tolist() == ["tardis", "binance", None, None, None, None]
    for row in table.itertuples():
        reader = CryptoMktData(row.date, Instrument(*row.instrument.split(":")), DataType.Klines)
        assert reader.exists() is (row.source is not None)
        if row.source is not None:
            assert row.path == reader.get_path(DataSource[row.source])

    assert coverage_main(["binance-futures:BTCUSDT", "Klines", "20240101", "20240103"]) == 1
    assert capsys.readouterr().out == \
        "binance-futures:BTCUSDT: 2 of 3 days held (tardis 1, binance 1); none holds 20240103\n"
    assert coverage_main(["binance-futures:BTCUSDT", "Klines", "20240101", "20240102", "--json"]) == 0
    assert [json.loads(line)["source"] for line in capsys.readouterr().out.splitlines()] == ["tardis", "binance"]


@pytest.mark.parametrize("args", [
    ["binance-futures:BTCUSDT", "Klines", "20240101", "20240102"],
    ["binance-futures:BTCUSDT", "Klines", "2024-01-01", "2024-01-02"],
    [" binance-futures:BTCUSDT", "Klines", "20240101", "2024-01-02"],
])
def test_coverage_command_takes_dates_in_both_spellings(storage, capsys, args):
    assert coverage_main(args) == 1
    assert capsys.readouterr().out == "binance-futures:BTCUSDT: 0 of 2 days held; none holds 20240101-20240102\n"


@pytest.mark.parametrize("args", [
    ["binance-futures:BTCUSDT", "Klines", "2024-13-01", "20240102"],
    ["binance-futures:BTCUSDT", "Klines", "20240101", "2024-1-2"],
    ["BTCUSDT", "Klines", "20240101", "20240102"],
])
def test_coverage_command_refuses_unreadable_input_as_a_usage_error(storage, capsys, args):
    with pytest.raises(SystemExit) as exited:
        coverage_main(args)
    assert exited.value.code == 2
    assert "light-data-coverage: error: " in capsys.readouterr().err


@pytest.mark.parametrize("ask", [
    lambda: coverage(BTC, DataType.Klines, 20240101, 20240102),
    lambda: days_of(DataType.Klines, 20240102).exists(),
], ids=["coverage", "exists"])
def test_storage_that_cannot_be_searched_is_an_error_not_an_absent_table(storage, ask):
    days_of(DataType.Klines, 20240101).write(pd.DataFrame({"DateTime": [pd.Timestamp("2024-01-01", tz="UTC")]}))
    path = days_of(DataType.Klines, 20240102).get_path(data_source=BINANCE)
    os.symlink(os.path.basename(path), path)  # a link to itself: stat fails with ELOOP
    with pytest.raises(OSError, match="Too many levels of symbolic links"):
        ask()
