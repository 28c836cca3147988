"""Odd tables, odd paths and obstructed cache folders: each read gives its proper table or a clear
exception, and the cache never keeps anything but the stored table."""

from __future__ import annotations

import hashlib
import os

import numpy as np
import pandas as pd
import pytest
from pandas.errors import OutOfBoundsDatetime
from pandas.testing import assert_frame_equal

from halvorn.orrery_data.enums import DataType
from halvorn.orrery_utils.priceable.instrument import Instrument
from support import CACHE_NAME, DATE, OTHER, P1, TARDIS, cache_files, cache_path, frame, reader_factory

TIMED, S = DataType.Metrics, 1704153600  # S: 2024-01-02 00:00:00 in seconds
TOO_BIG = (OverflowError, ValueError)


class FreshCopies(dict):
    # Storage of the recording fakes handing out a copy on every read, as a file read would.
    def get(self, key, default=None):
        return super().get(key, default).copy()


def indexed(rows, *nanoseconds):
    """frame(rows) indexed by "DateTime" holding these nanosecond counts as UTC instants."""
    index = pd.DatetimeIndex(np.array(nanoseconds, "datetime64[ns]"), name="DateTime")
    return frame(rows).set_axis(index.tz_localize("UTC"))


def labelled(columns, *row):
    return pd.DataFrame([row], columns=columns)


PANDAS_2 = int(pd.__version__.split(".")[0]) < 3
NO_ROWS = pd.DataFrame({"DateTime": np.array([], "int64"), "price": np.array([], "float64")})
CASES = {  # stored table, kind, what get() gives: a table, or the exception it raises
    "no_rows": (NO_ROWS, OTHER, NO_ROWS.set_index("DateTime")),
    "no_columns": (pd.DataFrame(index=range(3)), TIMED, KeyError),
    "repeated_label": (labelled(["DateTime", "price", "price"], 1, 2.0, 3.0), OTHER,
                       labelled(["price", "price"], 2.0, 3.0).set_axis(pd.Index([1], name="DateTime"))),
    "two_datetime_columns": (labelled(["DateTime", "DateTime", "price"], 1, 2, 3.0), OTHER, ValueError),
    "two_timestamp_columns": (labelled(["timestamp", "timestamp"], S, S), TIMED, ValueError),
    "datetime_of_mixed_types": (frame(2, DateTime=[S, "2024-01-02"]), TIMED,
                                frame(2).set_axis(pd.Index([S, "2024-01-02"], dtype=object, name="DateTime"))),
    "timestamp_of_mixed_types": (frame(2, timestamp=[S, "2024-01-02"]), TIMED, ValueError),
    "timestamp_text_then_digits": (frame(2, timestamp=["2024-01-02", str(S)]), TIMED, ValueError),
    "seconds_overflowing": (frame(2, timestamp=[S, 9999999999]), TIMED, TOO_BIG),
    "largest_nanosecond": (frame(2, timestamp=[S * 10**9, 2**63 - 1]), TIMED, indexed(2, S * 10**9, 2**63 - 1)),
    "non_ascii_digits": (frame(1, timestamp=["١٧٠٤١٥٣٦٠٠"]), TIMED, indexed(1, S * 10**9)),
    "year_9999_text": (frame(1, create_time=["9999-12-31"]), TIMED, OutOfBoundsDatetime if PANDAS_2 else
                       frame(1).set_axis(pd.DatetimeIndex([pd.Timestamp("9999-12-31", tz="UTC")], name="DateTime"))),
    # unsigned counts beyond the signed 64-bit range must raise, not wrap round to other instants
    "unsigned_seconds_beyond_int64": (frame(2, timestamp=np.array([S, 2**64 - 5], "uint64")), TIMED, TOO_BIG),
    "unsigned_nanoseconds_beyond_int64": (frame(1, timestamp=np.array([2**63 + 5], "uint64")), TIMED, TOO_BIG),
    "unsigned_twenty_digits": (frame(1, timestamp=np.array([10**19], "uint64")), TIMED, TOO_BIG),
}


def check_get(reader, expected):
    if isinstance(expected, pd.DataFrame):
        assert_frame_equal(reader.get(), expected)
    elif reader.silent_fail:
        assert reader.get() is None
    else:
        with pytest.raises(expected):
            reader.get()


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("write_cache", [False, True], ids=["no_cache", "cache"])
@pytest.mark.parametrize("silent", [False, True], ids=["loud", "silent"])
def test_hostile_table(light_data, platform, instrument, case, write_cache, silent):
    stored, data_type, expected = CASES[case]
    platform.tables = FreshCopies({P1: stored})
    make = reader_factory(light_data, platform, instrument)
    reader = make(sources=[TARDIS], data_type=data_type, silent_fail=silent, write_cache=write_cache)

    check_get(reader, expected)  # cold
    check_get(reader, expected)  # warm, from whatever the cold read cached

    names = cache_files(platform.cache_dir)
    assert all(CACHE_NAME.match(name) for name in names), names
    for name in names:  # what was cached is the stored table, untouched by normalisation
        assert_frame_equal(pd.read_feather(os.path.join(platform.cache_dir, name)), stored)


@pytest.mark.parametrize("obstacle", ["folder_at_cache_file", "cache_folder_is_a_file"])
@pytest.mark.parametrize("silent", [False, True], ids=["loud", "silent"])
def test_obstructed_cache_costs_no_read_and_heals(light_data, storage, instrument, obstacle, silent):
    reader = light_data.CryptoMktData(DATE, instrument, OTHER, silent_fail=silent, data_sources=[TARDIS])
    path, stored = reader.get_path(data_source=TARDIS), frame(3, DateTime=[1, 2, 3])
    reader.io_obj.write_file_wrapper(dataframe=stored, write_path=path)
    cp, folder = cache_path(storage.cache_dir, path), obstacle == "folder_at_cache_file"
    os.makedirs(cp) if folder else storage.cache_dir.write_text("not a folder")

    check_get(reader, stored.set_index("DateTime"))  # read, though it cannot be cached
    assert not folder or (os.listdir(storage.cache_dir), os.listdir(cp)) == ([os.path.basename(cp)], [])
    os.rmdir(cp) if folder else os.remove(storage.cache_dir)
    check_get(reader, stored.set_index("DateTime"))
    assert_frame_equal(pd.read_feather(cp), stored)


@pytest.mark.parametrize("exchange, symbol", [("binance", "БТК-USDT"), ("币安", "BTC-USDT"), ("okx", "Ü-🚀")])
def test_non_ascii_storage_path(light_data, storage, exchange, symbol):
    reader = light_data.CryptoMktData(DATE, Instrument(exchange, symbol), TIMED, data_sources=[TARDIS])
    path = reader.get_path(data_source=TARDIS)
    assert exchange in path and symbol in path
    reader.io_obj.write_file_wrapper(dataframe=frame(2, timestamp=[S, S + 60]), write_path=path)
    for _ in ("cold", "warm"):
        assert_frame_equal(reader.get(), indexed(2, S * 10**9, (S + 60) * 10**9))
        assert cache_files(storage.cache_dir) == [hashlib.sha256(path.encode("utf-8")).hexdigest() + ".feather"]
    reader.remove_cache()
    assert cache_files(storage.cache_dir) == []
