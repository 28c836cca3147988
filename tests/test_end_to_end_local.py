"""End to end on the real stand-ins: real configuration, real paths, real Feather files."""

from __future__ import annotations

import os

import pandas as pd
import pytest

from halvorn.orrery_data.enums import DataDestination, DataSource, DataType
from support import cache_files, frame

DATE = 20240105  # a Friday; its snapshot Sunday is 20231231
REDIRECTED = [DataType.DerivativeTicker, DataType.Liquidations, DataType.Metrics]


@pytest.fixture
def make_reader(light_data, storage, instrument):
    return lambda data_type, sources=None: light_data.CryptoMktData(DATE, instrument, data_type, data_sources=sources)


def stored_path(light_data, instrument, data_type, source, destination, date=DATE):
    return light_data.PathManager.get_mktdata_path(date=date, instrument=instrument, data_type=data_type,
                                                   data_source=source, data_destination=destination)


@pytest.mark.parametrize("data_type", REDIRECTED)
def test_redirected_kind_round_trip(light_data, storage, make_reader, instrument, data_type):
    reader = make_reader(data_type, [DataSource.binance, DataSource.tardis])
    table = frame(rows=5, qty=[1, 2, 3, 4, 5])
    assert reader.exists() is False
    reader.write(table)
    path = reader.get_path(DataSource.binance)
    assert path == reader.get_raw_data_path(DataSource.binance)
    assert path == stored_path(light_data, instrument, data_type, DataSource.binance, DataDestination.raw_mkt_data)
    assert os.path.commonpath([path, str(storage.root)]) == str(storage.root) and os.path.isfile(path)
    assert reader.exists() is True
    pd.testing.assert_frame_equal(pd.read_feather(path), table)
    pd.testing.assert_frame_equal(reader.get_raw_data(), table)
    assert cache_files(storage.cache_dir) == []


@pytest.mark.parametrize("data_type", [DataType.Klines, DataType.BookTicker])
def test_plain_kind_keeps_the_two_areas_apart(light_data, storage, make_reader, instrument, data_type):
    reader = make_reader(data_type, [DataSource.okx])
    processed, raw = frame(rows=2), frame(rows=4)
    reader.write(processed)
    assert reader.exists() is True
    processed_path = reader.get_path(DataSource.okx)
    assert processed_path == stored_path(light_data, instrument, data_type, DataSource.okx, DataDestination.processed_data)
    pd.testing.assert_frame_equal(pd.read_feather(processed_path), processed)
    with pytest.raises(Exception, match=r"^Missing data: \[<DataSource.okx: 'okx'>\]$"):
        reader.get_raw_data()
    reader.write_raw_data(raw)
    raw_path = reader.get_raw_data_path(DataSource.okx)
    assert raw_path != processed_path and os.path.isfile(raw_path)
    pd.testing.assert_frame_equal(reader.get_raw_data(), raw)
    pd.testing.assert_frame_equal(pd.read_feather(processed_path), processed)
    assert cache_files(storage.cache_dir) == []


def test_raw_only_data_does_not_count_as_existing(make_reader):
    reader = make_reader(DataType.Trades, [DataSource.bybit])
    reader.write_raw_data(frame())
    assert reader.exists() is False


def test_coin_market_cap_writes_at_the_snapshot_sunday(light_data, storage, make_reader, instrument):
    reader = make_reader(DataType.Klines, [DataSource.coin_market_cap])
    reader.write(frame())
    path = stored_path(light_data, instrument, DataType.Klines, DataSource.coin_market_cap,
                       DataDestination.processed_data, date=20231231)
    assert reader.get_path(DataSource.coin_market_cap) == path and os.path.isfile(path)
    assert reader.compute_cmc_historical_snapshot_date(DATE) == 20231231
    assert reader.exists() is True


def test_raw_read_falls_through_to_the_next_source(storage, make_reader, logs):
    table = frame(rows=3)
    make_reader(DataType.Metrics, [DataSource.deribit]).write_raw_data(table)
    reader = make_reader(DataType.Metrics, [DataSource.tardis, DataSource.deribit])
    pd.testing.assert_frame_equal(reader.get_raw_data(), table)
    missing = reader.get_raw_data_path(DataSource.tardis)
    messages = [m for _, m in logs()]
    assert messages[0] == f"reading {missing}"
    assert messages[2] == f"Error reading {missing}, Exception = [Errno 2] No such file or directory: '{missing}'"
    assert messages[3] == f"reading {reader.get_raw_data_path(DataSource.deribit)}"
    assert [level for level, _ in logs()] == ["DEBUG", "ERROR", "ERROR", "DEBUG"]
