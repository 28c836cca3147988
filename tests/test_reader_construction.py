"""Reader construction and configuration."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from halvorn.orrery_data.enums import DataSource, DataType
from support import Config

DATE = 20240105
ATTRIBUTES = ["use_minio_storage", "date", "instrument", "data_type", "silent_fail", "data_sources",
              "_file_type", "cache_dir", "_use_cache", "_write_cache", "trading_day", "io_obj"]


def config_calls(minio_from_config: bool) -> list[tuple]:
    calls = [("ConfigLoader", (), {})]
    if minio_from_config:
        calls += [("getboolean", ("env", "use_minio_storage"), {}), ("ConfigLoader", (), {})]
    return calls + [("config[]", ("data_related",), {})]


@pytest.mark.parametrize("configured", [False, True, "raw-flag", 0])
def test_default_construction(light_data, platform, instrument, configured):
    platform.use_minio_storage = configured
    reader = light_data.CryptoMktData(DATE, instrument, DataType.Klines)
    io_kwargs = {"file_type": light_data.FileType.Feather, "use_minio_storage": configured}
    assert platform.calls == [*config_calls(True), ("TradingDay", (), {}), ("DataIOModule", (), io_kwargs)]
    (_, kwargs), = platform.of("DataIOModule")
    assert list(kwargs) == ["file_type", "use_minio_storage"]
    assert kwargs["file_type"] is light_data.FileType.Feather and kwargs["use_minio_storage"] is configured
    assert list(vars(reader)) == ATTRIBUTES
    assert reader.use_minio_storage is configured
    assert (reader.date, reader.instrument, reader.data_type) == (DATE, instrument, DataType.Klines)
    assert reader.instrument is instrument and reader.data_type is DataType.Klines
    assert reader.silent_fail is False and reader._use_cache is True and reader._write_cache is True
    assert reader._file_type is light_data.FileType.Feather
    assert reader.cache_dir is platform.cache_dir
    assert type(reader.trading_day) is light_data.TradingDay and type(reader.io_obj) is light_data.DataIOModule
    assert type(reader.data_sources) is list and reader.data_sources == [DataSource.tardis, DataSource.binance]


@pytest.mark.parametrize("given", [False, True, "anything", None])
def test_given_storage_switch_skips_the_configuration_flag(light_data, platform, instrument, given):
    platform.use_minio_storage = "from-config"
    reader = light_data.CryptoMktData(DATE, instrument, DataType.Klines, use_minio_storage=given)
    expected = "from-config" if given is None else given
    assert platform.calls[:-2] == config_calls(given is None)
    assert platform.names()[-2:] == ["TradingDay", "DataIOModule"]
    assert reader.use_minio_storage is expected
    assert platform.of("DataIOModule")[0][1]["use_minio_storage"] is expected


def test_arguments_are_stored_unconverted(light_data, platform, instrument):
    silent, use, write, file_type, sources = object(), [], "", object(), [DataSource.deribit]
    reader = light_data.CryptoMktData(DATE, instrument, DataType.Metrics, False, silent, sources, file_type, use, write)
    assert list(vars(reader)) == ATTRIBUTES
    assert reader.silent_fail is silent and reader._use_cache is use and reader._write_cache is write
    assert reader._file_type is file_type and reader.data_sources is sources
    (_, kwargs), = platform.of("DataIOModule")
    assert list(kwargs) == ["file_type", "use_minio_storage"]
    assert kwargs["file_type"] is file_type and kwargs["use_minio_storage"] is False
    sources.append(DataSource.okx)
    assert reader.data_sources == [DataSource.deribit, DataSource.okx]


def test_empty_source_list_is_kept(light_data, platform, instrument):
    sources = []
    reader = light_data.CryptoMktData(DATE, instrument, DataType.Klines, data_sources=sources)
    assert reader.data_sources is sources and sources == []


def test_default_sources_are_a_fresh_list_per_reader(light_data, platform, instrument):
    first = light_data.CryptoMktData(DATE, instrument, DataType.Klines)
    second = light_data.CryptoMktData(DATE, instrument, DataType.Klines, data_sources=None)
    assert first.data_sources == second.data_sources == [DataSource.tardis, DataSource.binance]
    assert first.data_sources is not second.data_sources
    assert first.trading_day is not second.trading_day and first.io_obj is not second.io_obj


def test_default_sources_are_looked_up_at_construction(light_data, platform, instrument, monkeypatch):
    tardis, binance = object(), object()
    monkeypatch.setattr(light_data, "DataSource", SimpleNamespace(tardis=tardis, binance=binance))
    reader = light_data.CryptoMktData(DATE, instrument, DataType.Klines)
    assert len(reader.data_sources) == 2
    assert reader.data_sources[0] is tardis and reader.data_sources[1] is binance


def test_file_type_default_was_captured_at_class_creation(light_data, platform, instrument, monkeypatch):
    feather = light_data.FileType.Feather
    monkeypatch.setattr(light_data, "FileType", SimpleNamespace(Feather=object()))
    reader = light_data.CryptoMktData(DATE, instrument, DataType.Klines)
    assert reader._file_type is feather


@pytest.mark.parametrize(
    "config, use_minio, error",
    [
        (Config({"data_related": {}}), False, KeyError("LOCAL_DATA_CACHE_DIR")),
        (Config({}), False, KeyError("data_related")),
        (Config({}), None, KeyError("data_related")),
    ],
    ids=["missing-key", "missing-section", "missing-section-after-flag"],
)
def test_missing_configuration_fails_before_companions(light_data, platform, instrument, monkeypatch, config, use_minio, error):
    monkeypatch.setattr(light_data, "ConfigLoader", lambda: platform.record("ConfigLoader") or SimpleNamespace(config=config))
    with pytest.raises(KeyError) as excinfo:
        light_data.CryptoMktData(DATE, instrument, DataType.Klines, use_minio_storage=use_minio)
    assert excinfo.value.args == error.args
    assert platform.names() == ["ConfigLoader"] * (2 if use_minio is None else 1)


def test_missing_cache_key_in_a_real_configuration(light_data, storage, instrument):
    storage.config_path.write_text("[env]\nuse_minio_storage = false\n[data_related]\nLOCAL_DATA_ROOT = /tmp\n")
    with pytest.raises(KeyError) as excinfo:
        light_data.CryptoMktData(DATE, instrument, DataType.Klines)
    assert excinfo.value.args == ("LOCAL_DATA_CACHE_DIR",)


Failure = type("Failure", (Exception,), {})


@pytest.mark.parametrize("failing, before", [
    ("ConfigLoader", []),
    ("getboolean", ["ConfigLoader"]),
    ("TradingDay", ["ConfigLoader", "getboolean", "ConfigLoader", "config[]"]),
    ("DataIOModule", ["ConfigLoader", "getboolean", "ConfigLoader", "config[]", "TradingDay"]),
])
def test_collaborator_failure_propagates_unchanged(light_data, platform, instrument, monkeypatch, failing, before):
    error = Failure(failing)

    def fail(*args, **kwargs):
        platform.record(failing, *args, **kwargs)
        raise error

    if failing == "getboolean":
        monkeypatch.setattr(light_data, "ConfigLoader",
                            lambda: platform.record("ConfigLoader") or SimpleNamespace(config=SimpleNamespace(getboolean=fail)))
    else:
        monkeypatch.setattr(light_data, failing, fail)
    with pytest.raises(Failure) as excinfo:
        light_data.CryptoMktData(DATE, instrument, DataType.Klines)
    assert excinfo.value is error
    assert platform.names() == [*before, failing]


@pytest.mark.parametrize("given, default_sources", [(None, True), ([DataSource.okx], False)])
def test_attributes_are_set_in_order_and_read_back(light_data, platform, instrument, given, default_sources):
    events = []

    class Traced(light_data.CryptoMktData):
        def __setattr__(self, name, value):
            events.append(("set", name))
            super().__setattr__(name, value)

        def __getattribute__(self, name):
            if not name.startswith("__"):
                events.append(("get", name))
            return super().__getattribute__(name)

    Traced(DATE, instrument, DataType.Klines, data_sources=given)
    sets = [("set", name) for name in ATTRIBUTES[:-1]]
    tail = [("get", "_file_type"), ("get", "use_minio_storage"), ("set", "io_obj"), ("get", "data_sources")]
    assert events == sets + tail + ([("set", "data_sources")] if default_sources else [])
