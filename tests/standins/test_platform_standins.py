"""Tests of the platform stand-in modules that light_data imports."""

from __future__ import annotations

import os

import pandas as pd
import pytest

from halvorn.orrery_data.enums import DataDestination, DataSource, DataType
from halvorn.orrery_data.path_manager import PathManager
from halvorn.orrery_utils.config_loader.config_loader import ConfigLoader
from halvorn.orrery_utils.data_IO.data_IO_module import DataIOModule, FileType
from halvorn.orrery_utils.priceable.instrument import Instrument
from halvorn.orrery_utils.time_utils import TradingDay

pytestmark = pytest.mark.python_only


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """Keep every test away from the real home, data and cache folders."""
    home = tmp_path / "home"
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "data"))
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.delenv("HALVORN_CONFIG", raising=False)
    return home


def mktdata_path(date=20240107, instrument=None, data_type=DataType.Metrics,
                 data_source=DataSource.tardis, data_destination=DataDestination.raw_mkt_data):
    return PathManager.get_mktdata_path(
        date=date, instrument=instrument or Instrument("binance-futures", "BTCUSDT"),
        data_type=data_type, data_source=data_source, data_destination=data_destination)


def test_default_config_lives_under_xdg_folders(tmp_path):
    config = ConfigLoader().config
    assert config.getboolean("env", "use_minio_storage") is False
    assert config["data_related"]["LOCAL_DATA_CACHE_DIR"] == f"{tmp_path}/cache/halvorn/light_data"
    assert config["data_related"]["LOCAL_DATA_ROOT"] == f"{tmp_path}/data/halvorn/market_data"
    with pytest.raises(KeyError):
        config["data_related"]["NO_SUCH_KEY"]


@pytest.mark.parametrize("xdg,expected", [
    ("", "{home}/.cache/halvorn/light_data"),
    ("relative/dir", "{home}/.cache/halvorn/light_data"),  # XDG rules: relative is ignored
    ("{tmp}/100%", "{tmp}/100%/halvorn/light_data"),  # '%' is not interpolation syntax
])
def test_cache_dir_from_xdg_cache_home(monkeypatch, tmp_path, home, xdg, expected):
    monkeypatch.setenv("XDG_CACHE_HOME", xdg.format(tmp=tmp_path))
    cache_dir = ConfigLoader().config["data_related"]["LOCAL_DATA_CACHE_DIR"]
    assert cache_dir == expected.format(home=home, tmp=tmp_path)


def test_env_var_names_the_config_and_paths_expand_tilde(monkeypatch, tmp_path, home):
    ini = tmp_path / "site.ini"
    ini.write_text("[env]\nuse_minio_storage = yes\n[data_related]\nLOCAL_DATA_ROOT = ~/store\n")
    monkeypatch.setenv("HALVORN_CONFIG", str(ini))
    config = ConfigLoader().config
    assert config.getboolean("env", "use_minio_storage") is True
    assert config["data_related"]["LOCAL_DATA_ROOT"] == f"{home}/store"
    with pytest.raises(KeyError, match="LOCAL_DATA_CACHE_DIR"):
        config["data_related"]["LOCAL_DATA_CACHE_DIR"]
    assert mktdata_path().startswith(f"{home}/store/raw_mkt_data/")


def test_missing_config_file_is_an_error(monkeypatch, tmp_path):
    missing = tmp_path / "absent.ini"
    monkeypatch.setenv("HALVORN_CONFIG", str(missing))
    with pytest.raises(FileNotFoundError, match="absent.ini"):
        ConfigLoader()


def test_path_layout(tmp_path):
    path = mktdata_path(data_type=DataType.Klines, data_source=DataSource.coin_market_cap,
                        data_destination=DataDestination.processed_data)
    assert path == (f"{tmp_path}/data/halvorn/market_data/processed_data/coin_market_cap/"
                    "Klines/binance-futures/BTCUSDT/20240107")


@pytest.mark.parametrize("exchange,symbol", [
    ("", "BTCUSDT"), ("binance", ""), ("..", "BTCUSDT"), (".", "BTCUSDT"), ("binance", "../../etc"), ("binance", "BTC/USDT"),
    ("binance", "BTC\\USDT"), ("binance", "BTC\x00"), ("bin\nance", "BTC"), ("binance", "\ud800"),
])
def test_path_refuses_hostile_instrument(exchange, symbol):
    with pytest.raises(ValueError):
        mktdata_path(instrument=Instrument(exchange, symbol))


@pytest.mark.parametrize("kwargs,error", [
    ({"date": True}, TypeError), ({"date": "20240107"}, TypeError), ({"date": 20240107.0}, TypeError),
    ({"date": 2024017}, ValueError), ({"date": 20240230}, ValueError), ({"date": 202401070}, ValueError),
    ({"data_type": "Metrics"}, TypeError), ({"data_source": DataType.Metrics}, TypeError),
    ({"data_destination": "raw_mkt_data"}, TypeError), ({"instrument": "binance:BTCUSDT"}, TypeError),
])
def test_path_refuses_bad_arguments(kwargs, error):
    with pytest.raises(error):
        mktdata_path(**kwargs)


@pytest.mark.parametrize("day,sunday", [
    (20240107, 20240107), (20240108, 20240107), (20240113, 20240107),
    (20240101, 20231231), (20240301, 20240225), (20240303, 20240303),
])
def test_last_sunday(day, sunday):
    assert TradingDay().get_last_sunday(date_int=day) == sunday


@pytest.mark.parametrize("day,error", [
    (True, TypeError), (None, TypeError), (20240230, ValueError), (2024011, ValueError),
])
def test_last_sunday_refuses_bad_dates(day, error):
    with pytest.raises(error):
        TradingDay().get_last_sunday(date_int=day)


@pytest.mark.parametrize("file_type", list(FileType))
def test_write_round_trips_and_leaves_no_temp_files(tmp_path, file_type):
    io = DataIOModule(file_type=file_type, use_minio_storage=False)
    target = tmp_path / "a" / "b" / "20240107"
    assert not io.exists(str(target))
    first = pd.DataFrame({"n": [1, 2, 3], "x": [0.5, 1.5, None], "s": ["a", "b", "c"]})
    second = pd.DataFrame({"n": [7], "x": [2.5], "s": ["z"]})
    for frame in (first, second):
        io.write_file_wrapper(dataframe=frame, write_path=str(target))
        pd.testing.assert_frame_equal(io.read_file_wrapper(load_path=str(target)), frame)
    assert io.exists(str(target))
    assert os.listdir(target.parent) == ["20240107"]


@pytest.mark.parametrize("file_type", [FileType.Feather, FileType.Parquet])
def test_failed_write_keeps_old_table_and_cleans_up(tmp_path, file_type):
    io = DataIOModule(file_type=file_type)
    target = str(tmp_path / "t")
    old = pd.DataFrame({"n": [1, 2]})
    io.write_file_wrapper(dataframe=old, write_path=target)
    with pytest.raises(Exception):
        io.write_file_wrapper(dataframe=pd.DataFrame({"n": [1, "x"]}), write_path=target)
    pd.testing.assert_frame_equal(io.read_file_wrapper(load_path=target), old)
    assert os.listdir(tmp_path) == ["t"]


def test_read_and_exists_of_missing_data(tmp_path):
    io = DataIOModule()
    assert io.exists(None) is False
    assert io.exists(str(tmp_path)) is False  # a folder holds no table
    with pytest.raises(FileNotFoundError, match="nothing-here"):
        io.read_file_wrapper(load_path=str(tmp_path / "nothing-here"))


def test_object_store_switch_is_refused():
    # The packaged default has no [object_store] section: the switch must fail
    # loudly rather than fall back to local files.
    from halvorn.orrery_utils.data_IO.data_IO_module import ObjectStoreConfigError

    with pytest.raises(ObjectStoreConfigError, match=r"no \[object_store\] section"):
        DataIOModule(file_type=FileType.Feather, use_minio_storage=True)


def test_members_format_with_their_enum_name():
    # light_data writes members into log and error messages with format(member, "").
    assert format(DataType.Metrics, "") == "DataType.Metrics"
    assert [m.value for m in DataDestination] == [m.name for m in DataDestination]
