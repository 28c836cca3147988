"""read_range and to_dask: many tables in one call, equal to the loop of get() they replace."""

from __future__ import annotations

import contextlib
import datetime as dt
import logging
import os
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path

import dask
import distributed
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.feather as feather
import pytest

from halvorn.orrery_data._light_data_batch import arrow_frames
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_data._light_data_batch.day_read import read_day
from halvorn.orrery_data.light_data_batch import MissingColumnError, MissingDataWarning, iter_range, read_range, to_dask
from halvorn.orrery_utils.priceable.instrument import Instrument
from support import S3Server, cache_files, cache_path, create_bucket, object_store_config

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


@pytest.mark.parametrize("case", ["one instrument", "default sources", "columns", "columns, large", "instrument list",
                                  "time columns by day"])
def test_read_range_equals_the_loop_of_get(storage, case, recwarn, capsys, monkeypatch):
    if case == "columns, large":  # every table as large ones are converted: a column at a time
        monkeypatch.setattr(arrow_frames, "_LARGE_TABLE_BYTES", 0)
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
    columns = ["side", "mark_price"] if case.startswith("columns") else None
    instruments = [ETH, BTC] if case == "instrument list" else BTC
    with pytest.warns(MissingDataWarning, match="1 of 4|2 of 8") as warned:
        got = read_range(instruments, DataType.DerivativeTicker, DAYS[0], DAYS[-1], columns=columns,
                         progress=case == "instrument list", **options)
    assert warned[0].message.missing == got.attrs["missing"]
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


def typed(day: int, rows: int = 7) -> pd.DataFrame:
    """A ticker with a column of each type a vendor's table may hold."""
    table = ticker(day, rows)
    numbers = np.arange(rows)
    return table.assign(f32=numbers.astype(np.float32), i32=numbers.astype(np.int32) - day % 7, u8=numbers.astype(np.uint8),
                        flag=numbers % 2 == 0, gaps=np.where(numbers % 3 == 0, np.nan, numbers * 0.5),
                        when=pd.Timestamp(str(day)) + pd.to_timedelta(numbers, unit="s"))


@pytest.mark.parametrize("data_type, columns", [(DataType.DerivativeTicker, None),
                                                (DataType.DerivativeTicker, ["gaps", "f32", "flag"]),
                                                (DataType.Klines, None)])  # a stored, naive "DateTime"
def test_large_ranges_convert_every_type_as_get_does(storage, monkeypatch, data_type, columns):
    monkeypatch.setattr(arrow_frames, "_LARGE_TABLE_BYTES", 0)  # every range converted as large ones are
    for day in DAYS:
        table = typed(day) if data_type is DataType.DerivativeTicker else typed(day).rename(columns={"when": "DateTime"})
        store(BTC, data_type, day, table, warm=day != DAYS[1])
    got = read_range(BTC, data_type, DAYS[0], DAYS[-1], data_sources=BINANCE, columns=columns)
    want = loop(BTC, data_type, DAYS, data_sources=BINANCE)
    pd.testing.assert_frame_equal(got, want if columns is None else want[columns])
    got.iloc[0, 0] = -1.0  # the result is the caller's to change
    assert got.iloc[0, 0] == -1.0


def test_cold_days_fill_the_cache_as_get_does(storage):
    for day in DAYS:
        store(BTC, DataType.Klines, day, klines(day), warm=False)
    got = read_range(BTC, DataType.Klines, DAYS[0], DAYS[-1], data_sources=BINANCE)
    assert len(cache_files(storage.cache_dir)) == len(DAYS)
    pd.testing.assert_frame_equal(got, read_range(BTC, DataType.Klines, DAYS[0], DAYS[-1], data_sources=BINANCE))
    pd.testing.assert_frame_equal(got, loop(BTC, DataType.Klines, DAYS, data_sources=BINANCE))


@pytest.mark.parametrize("compression", ["lz4", "none", "zstd", None])
def test_cache_copies_of_range_reads_are_compressed_as_configured(storage, compression):
    if compression is not None:
        with open(storage.config_path, "a") as config:
            config.write(f"cache_compression = {compression}\n")
    days = DAYS[:2]  # one copy written by get(), one by the range read; 70,001 rows make two record batches
    for day in days:
        store(BTC, DataType.DerivativeTicker, day, ticker(day, rows=70_001), warm=day == days[0])
    got = read_range(BTC, DataType.DerivativeTicker, days[0], days[-1], data_sources=BINANCE)
    files = [os.path.join(storage.cache_dir, name) for name in cache_files(storage.cache_dir)]
    assert len(files) == len(days)
    warmed = cache_path(storage.cache_dir, CryptoMktData(days[0], BTC, DataType.DerivativeTicker,
                                                         data_sources=BINANCE).get_path(DataSource.binance))
    for file in files:  # byte for byte as pyarrow writes the table with that codec; get()'s own copy is LZ4
        codec = "lz4" if compression is None or file == warmed else {"none": "uncompressed"}.get(compression, compression)
        sink = pa.BufferOutputStream()
        feather.write_feather(feather.read_table(file), sink, compression=codec)
        assert sink.getvalue().to_pybytes() == Path(file).read_bytes(), (file, codec)
    for output in ("pandas", "arrow"):  # every reader reads every form
        again = read_range(BTC, DataType.DerivativeTicker, days[0], days[-1], data_sources=BINANCE, output=output)
        if output == "pandas":
            pd.testing.assert_frame_equal(again, got)
            pd.testing.assert_frame_equal(again, loop(BTC, DataType.DerivativeTicker, days, data_sources=BINANCE))
        else:
            assert again.num_rows == len(got)


def test_an_unknown_cache_compression_is_refused(storage):
    with open(storage.config_path, "a") as config:
        config.write("cache_compression = brotli\n")
    store(BTC, DataType.Klines, DAYS[0], klines(DAYS[0]), warm=False)
    with pytest.raises(ValueError, match=r"cache_compression in section \[data_related\] of .*platform.ini must be one "
                                         r"of lz4, none, zstd, got 'brotli'"):
        read_range(BTC, DataType.Klines, DAYS[0], DAYS[0], data_sources=BINANCE)
    assert cache_files(storage.cache_dir) == []


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
    ("columns", dict(columns=["mark_price", "nope"]), MissingColumnError,
     r"^no Liquidations table of binance-futures:BTCUSDT on 20240227 to 20240301 has the column 'nope'; "
     r"the tables have the columns \['mark_price', 'side'\]$"),
    ("nothing", dict(columns=["mark_price"]), MissingColumnError, r"no Liquidations table was found"),
    ("int DateTime", dict(data_type=DataType.Klines, end="2024-03-01T12:00Z"), ValueError,
     r"a time window needs times, but the DateTime of this Klines table is int64"),
    ("invalid", dict(end=20240230), ValueError, r"end 20240230 is not a calendar date"),
    ("invalid", dict(start=20240302), ValueError, r"start 20240302 is after end 20240301"),
    ("invalid", dict(start="20240227"), ValueError, r"start must be an int.*give the int 20240227"),
    ("invalid", dict(start=True), ValueError, r"start must be an int date YYYYMMDD or an instant"),
    ("invalid", dict(start="2024-03-01T00:00+01:00", end="2024-02-29T23:00Z"), ValueError, r"is not before end"),
    ("invalid", dict(end="2024-02-30T00:00Z"), ValueError, r"end '2024-02-30T00:00Z' is not an instant"),
    ("invalid", dict(output="xml"), ValueError, r"output must be one of 'pandas', 'arrow', 'polars'"),
    ("invalid", dict(columns=["side", "DateTime"]), ValueError, r"'DateTime', which every table has as its index"),
    ("invalid", dict(columns=["side", "side"]), ValueError, r"columns lists 'side' twice"),
    ("invalid", dict(missing="ignore"), ValueError, r"missing must be 'skip' or 'raise'"),
    ("invalid", dict(max_workers=0), ValueError, r"max_workers must be a positive int"),
    ("invalid", dict(instruments=[]), ValueError, r"empty"),
    ("invalid", dict(instruments=[BTC, BTC]), ValueError, r"listed twice"),
])
def test_failures(storage, kind, call, error, match):
    for day in DAYS:
        if kind == "overflow" and day == DAYS[2]:
            overflowing(day)
        elif kind == "int DateTime":
            store(BTC, DataType.Klines, day, pd.DataFrame({"DateTime": [1, 2], "Close": [1.0, 2.0]}))
        elif kind != "nothing" and not (kind in ("missing", "columns") and day == DAYS[2]):
            store(BTC, DataType.Liquidations, day, ticker(day))
    before = cache_files(storage.cache_dir)
    arguments = dict(instruments=BTC, data_type=DataType.Liquidations, start=DAYS[0], end=DAYS[-1], data_sources=BINANCE)
    call = dict(call)
    read = call.pop("via", read_range)
    with pytest.raises(error, match=match) as raised:
        read(**{**arguments, **call})
    if kind == "overflow":
        assert raised.value.__notes__ == [f"reading Liquidations of {BTC} on {DAYS[2]}"]
    if kind == "int DateTime":
        assert raised.value.__notes__ == [f"reading Klines of {BTC} on {DAYS[0]}"]
    if error is MissingColumnError:  # what pandas raises for an unknown column, and a ValueError too
        assert isinstance(raised.value, KeyError) and isinstance(raised.value, ValueError)
    if kind == "invalid":
        assert cache_files(storage.cache_dir) == before  # refused before any read


# ---------------------------------------------------------------------------
# Outputs, time windows and columns


def names_of(result) -> list[str]:
    return result.column_names if isinstance(result, pa.Table) else list(result.columns)


def as_pandas(result, listed: bool) -> pd.DataFrame:
    """An Arrow or Polars result, indexed as the pandas result is."""
    table = result if isinstance(result, pa.Table) else result.to_arrow()
    return table.to_pandas().set_index(["instrument", "DateTime"] if listed else "DateTime")


@pytest.mark.parametrize("output", ["arrow", "polars"])
@pytest.mark.parametrize("case", ["time columns by day", "klines", "instrument list", "columns"])
def test_arrow_and_polars_outputs_hold_the_pandas_result(storage, case, output):
    if case == "time columns by day":
        data_type, days = DataType.Metrics, list(TIME_COLUMNS)
        for position, (day, make) in enumerate(TIME_COLUMNS.items()):
            store(BTC, data_type, day, make(), warm=position % 2 == 0)
    else:
        data_type, days = (DataType.Klines if case == "klines" else DataType.DerivativeTicker), DAYS
        for position, day in enumerate(DAYS):
            for instrument in (BTC, ETH):
                table = klines(day) if case == "klines" else ticker(day, rows=3 if instrument is ETH else 5)
                store(instrument, data_type, day, table, warm=position % 2 == 0)
    instruments = [ETH, BTC] if case == "instrument list" else BTC
    options = dict(data_sources=BINANCE, columns=["side", "mark_price"] if case == "columns" else None)
    # The first read meets cold days (read by get(), then turned into Arrow), the last cached ones only.
    cold = read_range(instruments, data_type, np.int64(days[0]), days[-1], output=output, **options)
    want = read_range(instruments, data_type, days[0], days[-1], **options)
    warm = read_range(instruments, data_type, days[0], days[-1], output=output, **options)
    listed = isinstance(instruments, list)
    for got in (cold, warm):
        assert names_of(got) == ["instrument"] * listed + ["DateTime", *want.columns]
        pd.testing.assert_frame_equal(as_pandas(got, listed), want)


def mapped_files(address: int) -> set[str]:
    """The files mapped at `address` in this process."""
    found = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(maxsplit=5)
            low, high = (int(end, 16) for end in fields[0].split("-"))
            if low <= address < high and len(fields) == 6:
                found.add(fields[5].strip())
    return found


def test_arrow_output_keeps_uncompressed_cache_files_mapped(storage):
    for day in DAYS:
        store(BTC, DataType.Klines, day, klines(day, rows=20_000))
    for day in DAYS:  # a cache file written without compression, as other writers may write it
        entry = cache_path(storage.cache_dir, CryptoMktData(day, BTC, DataType.Klines).get_path(DataSource.binance))
        feather.write_feather(feather.read_table(entry), entry + ".new", compression="uncompressed")
        os.replace(entry + ".new", entry)
    got = read_range(BTC, DataType.Klines, DAYS[0], DAYS[-1], data_sources=BINANCE, output="arrow")
    entries = {str(storage.cache_dir / name) for name in cache_files(storage.cache_dir)}
    for column in got.columns:  # every column's values lie in the mapped cache files, uncopied
        for chunk in column.chunks:
            assert mapped_files(chunk.buffers()[1].address) <= entries and mapped_files(chunk.buffers()[1].address)
    for entry in entries:  # the mappings outlive the files' names
        os.remove(entry)
    pd.testing.assert_frame_equal(as_pandas(got, False), loop(BTC, DataType.Klines, DAYS, data_sources=BINANCE))


def hourly(data_type: DataType, day: int, naive: bool) -> pd.DataFrame:
    """Rows at 00:30, 05:30, ..., 20:30 UTC: a ticker's epoch counts, or klines' stored "DateTime" in
    whole seconds (a window's ends are rounded to the stored unit)."""
    times = pd.date_range(pd.Timestamp(str(day), tz="UTC") + pd.Timedelta(minutes=30), periods=5, freq="5h", unit="s")
    if data_type is DataType.DerivativeTicker:
        return pd.DataFrame({"timestamp": times.as_unit("us").asi8, "mark_price": np.arange(5.0) + day % 100})
    return pd.DataFrame({"DateTime": times.tz_localize(None) if naive else times, "Close": np.arange(5.0) + day % 100})


def utc(value, end: bool = False) -> pd.Timestamp:
    """The instant an end of a window stands for: an int date its day's midnight, or the next one's."""
    if isinstance(value, (int, np.integer)):
        return pd.Timestamp(str(value), tz="UTC") + pd.Timedelta(days=int(end))
    stamp = pd.Timestamp(value)
    return stamp.tz_localize("UTC") if stamp.tz is None else stamp.tz_convert("UTC")


WINDOWS = {
    "aware, ISO with offset": (pd.Timestamp("2024-02-28 06:30", tz="Europe/Berlin"), "2024-02-29T15:30:00+00:00"),
    "naive means UTC": (dt.datetime(2024, 2, 27, 23), np.datetime64("2024-03-01T00:00")),
    "int start": (np.int64(20240228), "2024-03-01T05:30Z"),
    "int end": ("2024-02-28T05:30:00.000000001Z", 20240229),
}


@pytest.mark.parametrize("window", WINDOWS)
@pytest.mark.parametrize("data_type, output, naive", [
    (DataType.DerivativeTicker, "pandas", False), (DataType.DerivativeTicker, "arrow", False),
    (DataType.Klines, "pandas", False), (DataType.Klines, "polars", True)])
def test_a_time_window_is_the_whole_days_sliced_by_time(storage, window, data_type, output, naive):
    for position, day in enumerate(DAYS):
        for instrument in (BTC, ETH):
            store(instrument, data_type, day, hourly(data_type, day, naive), warm=position % 2 == 0)
    start, end = WINDOWS[window]
    got = read_range([BTC, ETH], data_type, start, end, output=output, data_sources=BINANCE)
    whole = read_range([BTC, ETH], data_type, DAYS[0], DAYS[-1], data_sources=BINANCE)
    low, high = utc(start), utc(end, end=True)
    if naive:  # a stored time without a zone is taken as UTC
        low, high = low.tz_localize(None), high.tz_localize(None)
    times = whole.index.get_level_values("DateTime")
    want = whole[(times >= low) & (times < high)]
    assert 0 < len(want) < len(whole)
    if output == "polars" and data_type is DataType.Klines:  # Polars holds no times in seconds: milliseconds
        want.index = want.index.set_levels(want.index.levels[1].as_unit("ms"), level="DateTime")
    pd.testing.assert_frame_equal(got if output == "pandas" else as_pandas(got, True), want)
    if output == "pandas":  # the partitions of to_dask are cut to the window as read_range's tables are
        lazy = to_dask([BTC, ETH], data_type, start, end, data_sources=BINANCE)
        pd.testing.assert_frame_equal(lazy.compute(scheduler="synchronous"), want.reset_index(level="instrument"),
                                      check_dtype=False)


@pytest.mark.parametrize("entry", ["read_range", "arrow", "iter_range", "to_dask"])
@pytest.mark.parametrize("next_day", ["stored cold", "stored warm", "not stored"])
def test_a_window_ending_at_midnight_takes_the_rows_stamped_before_it_from_the_next_day(storage, entry, next_day):
    # Vendor tables cut by receive time: each day's first row is stamped 5 ms before its midnight.
    stored = DAYS if next_day != "not stored" else DAYS[:-1]
    for day in stored:
        first = pd.Timestamp(str(day), tz="UTC").value // 1000 - 5_000
        store(BTC, DataType.DerivativeTicker, day, pd.DataFrame(
            {"timestamp": first + 8 * 3_600_000_000 * np.arange(3), "mark_price": np.arange(3.0) + day % 100}),
            warm=next_day != "stored cold" or day != DAYS[-1])
    start, end = "2024-02-28T00:00Z", pd.Timestamp("2024-03-01", tz="UTC")
    options = dict(data_sources=BINANCE, missing="raise")
    whole = read_range(BTC, DataType.DerivativeTicker, DAYS[0], stored[-1], **options)
    want = whole[(whole.index >= start) & (whole.index < end)]
    assert len(want) == 5 + (next_day != "not stored")  # 02-27 23:59:59.995 out, 02-29 23:59:59.995 in
    if entry == "to_dask":
        got = to_dask(BTC, DataType.DerivativeTicker, start, end, **options).compute(scheduler="synchronous")
    elif entry == "iter_range":
        got = pd.concat(iter_range(BTC, DataType.DerivativeTicker, start, end, **options))
    else:
        got = read_range(BTC, DataType.DerivativeTicker, start, end, output="pandas" if entry == "read_range" else "arrow",
                         **options)
        got = got if entry == "read_range" else as_pandas(got, False)
    pd.testing.assert_frame_equal(got, want, check_freq=False)


@pytest.mark.parametrize("output", ["pandas", "arrow"])
def test_columns_of_days_whose_tables_differ_are_read_as_get_gives_them(storage, output):
    # The fields to read are chosen from one file's names; a day stored with other columns, or the
    # same in another order, is read by its own.
    shapes = [lambda t: t, lambda t: t.assign(Extra=1.5), lambda t: t[["Trades", "DateTime", "Close"]], lambda t: t]
    for day, shape in zip(DAYS, shapes):
        store(BTC, DataType.Klines, day, shape(klines(day)))
    got = read_range(BTC, DataType.Klines, DAYS[0], DAYS[-1], data_sources=BINANCE, columns=["Close"], output=output)
    want = loop(BTC, DataType.Klines, DAYS, data_sources=BINANCE)[["Close"]]
    pd.testing.assert_frame_equal(got if output == "pandas" else got.to_pandas().set_index("DateTime"), want)


def test_columns_left_out_are_never_converted(platform):
    # Tables that Arrow cannot hold whole: one column mixes numbers and text.
    platform.path_of = lambda **where: f"store/{where['date']}"
    for day in DAYS[:2]:
        platform.tables[f"store/{day}"] = pd.DataFrame({
            "DateTime": pd.date_range(str(day), periods=2, freq="h", tz="UTC"), "v": [1.0, 2.0], "odd": [1, "a"]})
    got = read_range(BTC, DataType.Klines, DAYS[0], DAYS[1], data_sources=BINANCE, columns=["v"], output="arrow")
    assert got.column_names == ["DateTime", "v"] and got.column("v").to_pylist() == [1.0, 2.0] * 2
    with pytest.raises(pa.ArrowInvalid, match="column odd") as raised:
        read_range(BTC, DataType.Klines, DAYS[0], DAYS[1], data_sources=BINANCE, output="arrow")
    assert raised.value.__notes__[0].startswith(f"turning Klines of {BTC} on {DAYS[0]} into Arrow")


# ---------------------------------------------------------------------------
# Dask: clusters of worker processes against a real S3-API server

def use_own_config(configs: dict[str, str], dask_worker) -> None:
    """Run on each worker: its own configuration, hence its own cache folder."""
    os.environ["HALVORN_CONFIG"] = configs[str(dask_worker.name)]


def batch_config(path, root, cache, address) -> str:
    return object_store_config(path, root, cache, address, "batch", region="us-east-1")


@pytest.fixture(scope="module")
def object_store(tmp_path_factory):
    """The S3 server of the Dask tests; this process (the client) reads and writes it."""
    folder = tmp_path_factory.mktemp("dask")
    server = S3Server()
    try:
        create_bucket(server.address, "batch")
        with pytest.MonkeyPatch.context() as patch:
            # Set before any worker starts: the workers' processes inherit the credentials.
            patch.setenv("HALVORN_S3_ACCESS_KEY", "AKIABATCHTEST0001")
            patch.setenv("HALVORN_S3_SECRET_KEY", "batch-test-secret")
            patch.setenv("HALVORN_CONFIG", batch_config(folder / "client.ini", folder / "client",
                                                        folder / "client-cache", server.address))
            yield folder, server.address
    finally:
        server.stop()


@pytest.fixture(scope="module")
def cluster(object_store):
    folder, address = object_store
    configs = {str(n): batch_config(folder / f"w{n}.ini", folder / f"w{n}", folder / f"cache-{n}", address)
               for n in range(2)}
    # No dashboard, and the scheduler's own HTTP routes on a free port: its default, 8787, is
    # taken whenever another cluster runs on the machine, and the warning that says so fails a test.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) as local, \
            distributed.Client(local) as client:
        client.run(use_own_config, configs)
        yield folder, client


def test_to_dask_computes_what_read_range_reads(cluster):
    folder, client = cluster
    for day in DAYS[:-1]:
        store(BTC, DataType.DerivativeTicker, day, ticker(day), warm=False)
        store(ETH, DataType.DerivativeTicker, day, ticker(day, rows=3), warm=False)
    store(ETH, DataType.DerivativeTicker, DAYS[-1], ticker(DAYS[-1], rows=3), warm=False)
    options = dict(data_sources=BINANCE, columns=["mark_price", "side"])

    one = to_dask(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1], **options)
    assert one.npartitions == 1 and not one.known_divisions  # four small days fit in one partition
    with pytest.warns(MissingDataWarning):
        want = read_range(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1], **options)
    with pytest.warns(MissingDataWarning, match="1 of 4"):
        pd.testing.assert_frame_equal(one.compute(), want, check_dtype=False)
        assert one.compute().dtypes["mark_price"] == want.dtypes["mark_price"]

    with pytest.warns(MissingDataWarning):
        both = to_dask([ETH, BTC], DataType.DerivativeTicker, DAYS[0], DAYS[-1], **options).compute()
        want = read_range([ETH, BTC], DataType.DerivativeTicker, DAYS[0], DAYS[-1], **options)
    pd.testing.assert_frame_equal(both, want.reset_index(level="instrument"), check_dtype=False)
    assert both["instrument"].tolist() == [str(ETH)] * 12 + [str(BTC)] * 15
    # The workers read from the shared store into their own cache folders.
    assert all(cache_files(folder / f"cache-{n}") for n in range(2))


def vendor_day(day: int, gap: bool) -> pd.DataFrame:
    """A ticker cut as vendors cut files, by receive time: the first row 5 ms before midnight,
    exchange times a millisecond backwards; with `gap`, a missing time (the column is float)."""
    stamps = int(pd.Timestamp(str(day), tz="UTC").value // 1000) + np.array([-5_000, 1_000, 0, 3_600_000_000])
    stamps = np.where([False, False, False, gap], np.nan, stamps) if gap else stamps
    return pd.DataFrame({"timestamp": stamps, "mark_price": np.arange(4.0) + day % 100, "side": list("bsbs")})


@pytest.mark.parametrize("workers, partition_size, partitions", [
    ("cluster", 1, 3), ("cluster", "128MiB", 1), ("command_line_workers", 1, 3)])
def test_to_dask_computes_vendor_tables_as_read_range_reads(request, workers, partition_size, partitions):
    folder, client = request.getfixturevalue(workers)
    days = [20240310, 20240311, 20240312]
    for day in days:
        store(BTC, DataType.DerivativeTicker, day, vendor_day(day, gap=day == days[1]), warm=False)
        store(ETH, DataType.DerivativeTicker, day, vendor_day(day, gap=False), warm=False)
    want = read_range([BTC, ETH], DataType.DerivativeTicker, days[0], days[-1], data_sources=BINANCE)
    assert want.index.get_level_values(1).hasnans and want.index[0][1] < pd.Timestamp(str(days[0]), tz="UTC")
    with client.as_current():
        lazy = to_dask([BTC, ETH], DataType.DerivativeTicker, days[0], days[-1], data_sources=BINANCE,
                       partition_size=partition_size)
        assert lazy.npartitions == 2 * partitions and not lazy.known_divisions
        pd.testing.assert_frame_equal(lazy.compute(), want.reset_index(level="instrument"), check_dtype=False)
        assert lazy["mark_price"].mean().compute() == pytest.approx(want["mark_price"].mean())
    # Each worker read cold from the store into the cache folder of its own configuration.
    assert all(cache_files(folder / f"{'cli-' * (workers != 'cluster')}cache-{n}") for n in range(2))


def many_partitions(days: list[int]):
    """A day a partition of BTC and ETH over `days`, ETH's second day missing (an empty
    partition), and what Dask's threaded scheduler computes of it."""
    for instrument, day in [(i, d) for i in (BTC, ETH) for d in days if (i, d) != (ETH, days[1])]:
        store(instrument, DataType.DerivativeTicker, day, ticker(day), warm=False)
    lazy = to_dask([BTC, ETH], DataType.DerivativeTicker, days[0], days[-1], data_sources=BINANCE, partition_size=1)
    with pytest.warns(MissingDataWarning, match="1 of 1"):
        return lazy, lazy.compute(scheduler="threads")


@pytest.mark.parametrize("finish", ["in the client", "Dask's own"])
def test_to_dask_compute_of_many_partitions_equals_read_range(cluster, monkeypatch, finish):
    import dask.dataframe as dd

    folder, client = cluster
    days = [20240402, 20240403, 20240404]
    lazy, local = many_partitions(days)
    with pytest.warns(MissingDataWarning):
        want = read_range([BTC, ETH], DataType.DerivativeTicker, days[0], days[-1], data_sources=BINANCE)
    pd.testing.assert_frame_equal(local, want.reset_index(level="instrument"), check_dtype=False)
    if finish == "Dask's own":
        # A Dask whose collections finish otherwise than by its concatenation: compute is left to Dask.
        concat, _ = dd.DataFrame.__dask_postcompute__(lazy)
        monkeypatch.setattr(dd.DataFrame, "__dask_postcompute__", lambda self: (lambda parts: concat(parts), ()))
    with client.as_current(), distributed.get_task_stream(client) as tasks, \
            pytest.warns(MissingDataWarning, match="1 of 1"):
        got = lazy.compute()
    pd.testing.assert_frame_equal(got, local)  # values, dtypes and index as Dask's own compute gives them
    assert got.attrs == local.attrs == {}
    # The partitions alone ran on the workers, or they and Dask's concatenation of them on one worker.
    assert (lazy.npartitions, len(tasks.data)) == (6, 6 + (finish == "Dask's own"))
    strict = to_dask([BTC, ETH], DataType.DerivativeTicker, days[0], days[-1], data_sources=BINANCE, partition_size=1,
                     missing="raise")
    with client.as_current(), pytest.raises(FileNotFoundError, match=f"no data for {ETH} on {days[1]}: Missing data"):
        strict.compute()


OPERATIONS = {
    "projection": lambda lazy: lazy[["mark_price", "instrument"]].compute(),
    "map_partitions": lambda lazy: lazy.map_partitions(len).compute().tolist(),
    "persist": lambda lazy: lazy.persist().compute(),
    "dask.compute": lambda lazy: dask.compute(lazy, lazy["mark_price"].sum()),
}


@pytest.mark.parametrize("operation", OPERATIONS)
def test_to_dask_collection_computes_every_other_operation_as_dask_does(cluster, operation):
    folder, client = cluster
    lazy, local = many_partitions([20240408, 20240409, 20240410])
    want = {"projection": local[["mark_price", "instrument"]], "map_partitions": [5, 5, 5, 5, 0, 5],
            "persist": local, "dask.compute": (local, local["mark_price"].sum())}[operation]
    with client.as_current(), pytest.warns(MissingDataWarning, match="1 of 1"):
        got = OPERATIONS[operation](lazy)
    if operation == "dask.compute":
        pd.testing.assert_frame_equal(got[0], want[0])
        assert got[1] == want[1]
    elif operation == "map_partitions":
        assert got == want
    else:
        pd.testing.assert_frame_equal(got, want)


@pytest.mark.parametrize("stored, partition_size, reads, partitions", [
    ("every day", "128MiB", 1, 2),
    ("every day", 1, 1, 8),
    ("from the second day", "128MiB", 2, 2),
    ("nothing", "128MiB", 3, 8),  # the first and last day of ETH, the first of BTC
])
def test_to_dask_reads_one_table_to_build_its_graph(storage, monkeypatch, stored, partition_size, reads, partitions):
    from halvorn.orrery_data._light_data_batch import dask_frames

    for instrument, day in [(i, d) for i in (ETH, BTC) for d in DAYS if stored == "every day" or
                            (stored == "from the second day" and d != DAYS[0])]:
        store(instrument, DataType.DerivativeTicker, day, ticker(day))
    taken = []
    monkeypatch.setattr(dask_frames, "read_day", lambda reader, day: taken.append(day) or read_day(reader, day))
    lazy = to_dask([ETH, BTC], DataType.DerivativeTicker, DAYS[0], DAYS[-1], data_sources=BINANCE,
                   partition_size=partition_size)
    assert (len(taken), lazy.npartitions) == (reads, partitions)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", MissingDataWarning)
        want = read_range([ETH, BTC], DataType.DerivativeTicker, DAYS[0], DAYS[-1], data_sources=BINANCE)
        got = lazy.compute(scheduler="synchronous")
    if stored == "nothing":
        assert len(got) == 0 and list(got.columns) == ["instrument"]
    else:
        pd.testing.assert_frame_equal(got, want.reset_index(level="instrument"), check_dtype=False)


@pytest.mark.parametrize("convert_string", [True, False])
def test_to_dask_partitions_are_one_task_each_with_the_dtypes_declared(storage, convert_string):
    import dask

    for instrument, day in [(i, d) for i in (ETH, BTC) for d in DAYS]:
        store(instrument, DataType.DerivativeTicker, day, ticker(day))
    with dask.config.set({"dataframe.convert-string": convert_string}):
        lazy = to_dask([ETH, BTC], DataType.DerivativeTicker, DAYS[0], DAYS[-1], data_sources=BINANCE)
    assert lazy.npartitions == 2 and len(lazy.__dask_graph__()) == 2  # each partition read (and converted) in one task
    got = lazy.compute(scheduler="synchronous")
    assert got.dtypes.equals(lazy.dtypes)
    text = pd.StringDtype("pyarrow") if convert_string else pd.Series(["b"]).dtype  # Dask's string type, or pandas'
    assert (got["instrument"].dtype, got["side"].dtype) == (text, text)
    want = read_range([ETH, BTC], DataType.DerivativeTicker, DAYS[0], DAYS[-1], data_sources=BINANCE)
    pd.testing.assert_frame_equal(got, want.reset_index(level="instrument").astype({"instrument": text, "side": text}))


@pytest.mark.parametrize("read, call, error, match", [
    (to_dask, dict(partition_size="lots"), ValueError, r"partition_size 'lots' is not a size"),
    (to_dask, dict(partition_size=True), TypeError, r"partition_size must be a number of bytes"),
    (iter_range, dict(days_per_chunk=0), ValueError, r"days_per_chunk must be a positive int"),
    (iter_range, dict(end=20240230), ValueError, r"end 20240230 is not a calendar date"),
])
def test_to_dask_and_iter_range_refuse_bad_arguments(storage, read, call, error, match):
    with pytest.raises(error, match=match):  # when called, before anything is read
        read(BTC, DataType.Klines, DAYS[0], call.pop("end", DAYS[-1]), data_sources=BINANCE, **call)


@contextlib.contextmanager
def command_line_cluster(folder: Path, worker_envs: list[dict[str, str]]):
    """A client of `dask scheduler` and of one `dask worker --nworkers 1 --nthreads 1` per
    environment, started as users start them; every process ends with the block."""
    folder.mkdir(parents=True, exist_ok=True)
    address_file, processes, logs = folder / "scheduler.json", [], []

    def start(name: str, *arguments: str, env: dict[str, str]) -> None:
        logs.append(open(folder / f"{name}.log", "wb"))
        # A session of its own: a worker's nanny and its worker process can be ended together.
        processes.append(subprocess.Popen([str(Path(sys.executable).with_name("dask")), *arguments], env=env,
                                          stdout=logs[-1], stderr=subprocess.STDOUT, start_new_session=True))

    try:
        start("scheduler", "scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
              "--scheduler-file", str(address_file), env=dict(os.environ))
        for n, env in enumerate(worker_envs):
            start(f"worker-{n}", "worker", "--scheduler-file", str(address_file), "--nworkers", "1", "--nthreads", "1",
                  "--host", "127.0.0.1", "--no-dashboard", "--death-timeout", "60", "--local-directory",
                  str(folder / f"worker-{n}"), env=env)
        deadline = time.monotonic() + 60
        while not address_file.exists():  # the client would wait for it without end
            if processes[0].poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"dask scheduler did not start: {(folder / 'scheduler.log').read_text()}")
            time.sleep(0.05)
        with distributed.Client(scheduler_file=str(address_file), timeout="60s") as client:
            client.wait_for_workers(len(worker_envs), timeout=120)
            yield client
    finally:
        for group in (processes[1:], processes[:1]):  # the workers while the scheduler still runs
            for process in group:
                process.terminate()
            for process in group:
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(process.pid, signal.SIGKILL)  # anything of its session still running
        for log in logs:
            log.close()


def worker_envs(folder: Path, address: str, configured: bool) -> list[dict[str, str]]:
    """Two workers' environments: each its own HALVORN_CONFIG (hence cache folder), or none at
    all: the packaged default, an empty local store under XDG_DATA_HOME."""
    env = {name: value for name, value in os.environ.items() if name != "HALVORN_CONFIG"}
    return [{**env, "HALVORN_CONFIG": batch_config(folder / f"cli-{n}.ini", folder / f"cli-{n}",
                                                  folder / f"cli-cache-{n}", address)} if configured else
            {**env, "XDG_DATA_HOME": str(folder / f"data-{n}"), "XDG_CACHE_HOME": str(folder / f"xdg-{n}")}
            for n in range(2)]


@pytest.fixture(scope="module")
def command_line_workers(object_store):
    folder, address = object_store
    with command_line_cluster(folder / "cli", worker_envs(folder, address, configured=True)) as client:
        yield folder, client


@pytest.fixture(scope="module")
def unconfigured_workers(object_store):
    folder, address = object_store
    with command_line_cluster(folder / "unconfigured", worker_envs(folder, address, configured=False)) as client:
        yield folder, client


COMPUTATIONS = {
    "compute": lambda lazy, client: lazy.compute(),
    "mean": lambda lazy, client: lazy["Close"].mean().compute(),
    "client.compute": lambda lazy, client: client.compute(lazy).result(),
}


@pytest.mark.parametrize("missing", ["skip", "raise"])
@pytest.mark.parametrize("computation", COMPUTATIONS)
def test_workers_without_the_configuration_report_every_day_missing(unconfigured_workers, computation, missing):
    folder, client = unconfigured_workers
    days = [20240325, 20240326, 20240327]
    for day in days:
        store(BTC, DataType.Klines, day, klines(day), warm=False)
    assert len(read_range(BTC, DataType.Klines, days[0], days[-1], data_sources=BINANCE)) == 12  # the client's store
    lazy = to_dask(BTC, DataType.Klines, days[0], days[-1], data_sources=BINANCE, missing=missing)
    where = f"Missing data: {folder}/data-[01]/halvorn/market_data/processed_data/"
    reported = (pytest.raises(FileNotFoundError, match=f"no data for {BTC} on {days[0]}: {where}")
                if missing == "raise" else
                pytest.warns(MissingDataWarning, match=f"3 of 3 Klines tables of {BTC} from {days[0]} to {days[-1]} "
                                                       f"have no data; the first on {days[0]}: {where}"))
    with client.as_current(), reported:
        got = COMPUTATIONS[computation](lazy, client)
    if missing == "skip":
        assert (len(got) == 0) if computation != "mean" else np.isnan(got)
