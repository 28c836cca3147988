"""Reading the raw area over the data sources."""

from __future__ import annotations

import logging
import traceback
from types import SimpleNamespace

import pandas as pd
import pytest

from halvorn.orrery_data.enums import DataDestination, DataSource, DataType
from support import cache_files, default_path, frame, mktdata_call

DATE = 20240105
SOURCES = [DataSource.tardis, DataSource.binance, DataSource.okx]


@pytest.fixture
def reader(build_reader):
    return build_reader(DataType.Trades, data_sources=list(SOURCES))


@pytest.fixture
def paths(instrument):
    return [default_path(DATE, instrument, DataType.Trades, s, DataDestination.raw_mkt_data) for s in SOURCES]


def read_calls(instrument, paths, count):
    calls = []
    for source, path in zip(SOURCES[:count], paths):
        calls.append(mktdata_call(DATE, instrument, DataType.Trades, source, DataDestination.raw_mkt_data))
        calls.append(("read_file_wrapper", (), {"load_path": path}))
    return calls


def failure_records(path, error):
    return [("ERROR", "traceback"), ("ERROR", f"Error reading {path}, Exception = {error}")]


def normalised(logs):
    """Log records with each traceback text replaced by "traceback" after checking its shape."""
    out = []
    for record in logs.raw.records:
        message = record.getMessage()
        assert record.name == "root"
        if message.startswith("Traceback (most recent call last):\n"):
            assert record.exc_info and message.endswith(traceback.format_exception_only(*record.exc_info[:2])[-1])
            message = "traceback"
        if record.levelno == logging.ERROR:
            assert record.exc_info and record.exc_info[1] is not None
        out.append((record.levelname, message))
    return out


@pytest.mark.parametrize("table", [frame(), pd.DataFrame(), None, "text"], ids=["frame", "empty", "none", "text"])
def test_first_readable_source_is_returned_as_is(platform, reader, instrument, paths, logs, table):
    reader.io_obj.read_file_wrapper = lambda **kwargs: platform.record("read_file_wrapper", **kwargs) or table
    assert reader.get_raw_data() is table
    assert platform.calls == read_calls(instrument, paths, 1)
    assert normalised(logs) == [("DEBUG", f"reading {paths[0]}")]


@pytest.mark.parametrize("error", [FileNotFoundError(2, "gone", "x"), KeyError("k"), ValueError(), OSError("a", "b")])
def test_failing_sources_are_logged_and_skipped(platform, reader, instrument, paths, logs, error):
    table = frame()
    platform.tables.update({paths[0]: error, paths[2]: table})
    assert reader.get_raw_data() is table
    assert platform.calls == read_calls(instrument, paths, 3)
    assert normalised(logs) == [
        ("DEBUG", f"reading {paths[0]}"), *failure_records(paths[0], error),
        ("DEBUG", f"reading {paths[1]}"), *failure_records(paths[1], f"no such table: {paths[1]}"),
        ("DEBUG", f"reading {paths[2]}"),
    ]
    assert all(r.exc_info[1] is error for r in logs.raw.records[1:3])


@pytest.mark.parametrize("container", [list, tuple])
def test_every_source_failing_raises_missing_data(platform, reader, instrument, paths, logs, container):
    reader.data_sources = container(SOURCES)
    with pytest.raises(Exception) as excinfo:
        reader.get_raw_data()
    assert type(excinfo.value) is Exception
    assert excinfo.value.args == ("Missing data: " + str(container(SOURCES)),)
    assert platform.calls == read_calls(instrument, paths, 3)
    expected = []
    for path in paths:
        expected += [("DEBUG", f"reading {path}"), *failure_records(path, f"no such table: {path}")]
    assert normalised(logs) == expected


def test_default_sources_in_the_message(light_data, platform, instrument):
    reader = light_data.CryptoMktData(DATE, instrument, DataType.Klines)
    with pytest.raises(Exception) as excinfo:
        reader.get_raw_data()
    assert str(excinfo.value) == "Missing data: [<DataSource.tardis: 'tardis'>, <DataSource.binance: 'binance'>]"


def test_no_source_raises_at_once(platform, reader, logs):
    reader.data_sources = []
    with pytest.raises(Exception) as excinfo:
        reader.get_raw_data()
    assert type(excinfo.value) is Exception and excinfo.value.args == ("Missing data: []",)
    assert platform.calls == [] and logs() == []


def test_none_path_is_read_and_reported(platform, reader, logs):
    platform.path_of = lambda **kwargs: None
    reader.data_sources = [DataSource.binance]
    with pytest.raises(Exception, match=r"^Missing data: \[<DataSource.binance: 'binance'>\]$"):
        reader.get_raw_data()
    assert platform.of("read_file_wrapper") == [((), {"load_path": None})]
    assert normalised(logs) == [("DEBUG", "reading None"), *failure_records(None, "no such table: None")]


PathFailed = type("PathFailed", (Exception,), {})


def test_path_error_propagates_instead_of_missing_data(platform, reader, instrument, paths, logs):
    error = PathFailed("no layout")

    def path_of(**kwargs):
        if kwargs["data_source"] is DataSource.binance:
            raise error
        return default_path(**kwargs)

    platform.path_of = path_of
    with pytest.raises(PathFailed) as excinfo:
        reader.get_raw_data()
    assert excinfo.value is error
    assert platform.calls == read_calls(instrument, paths, 2)[:3]
    assert normalised(logs) == [("DEBUG", f"reading {paths[0]}"), *failure_records(paths[0], f"no such table: {paths[0]}")]


Interrupt = type("Interrupt", (BaseException,), {})


def test_non_exception_failures_are_not_caught(platform, reader, paths, logs):
    interrupt = Interrupt()
    platform.tables[paths[0]] = interrupt
    with pytest.raises(Interrupt) as excinfo:
        reader.get_raw_data()
    assert excinfo.value is interrupt
    assert normalised(logs) == [("DEBUG", f"reading {paths[0]}")]


def test_logging_and_traceback_are_the_module_globals(light_data, platform, reader, paths, monkeypatch):
    seen = []
    monkeypatch.setattr(light_data, "traceback", SimpleNamespace(format_exc=lambda *a, **k: seen.append(("format_exc", a, k)) or "TB"))
    monkeypatch.setattr(light_data, "logging", SimpleNamespace(
        debug=lambda *a, **k: seen.append(("debug", a, k)), exception=lambda *a, **k: seen.append(("exception", a, k))))
    platform.tables[paths[0]] = ValueError("bad")
    platform.tables[paths[1]] = table = frame()
    assert reader.get_raw_data() is table
    assert seen == [("debug", (f"reading {paths[0]}",), {}), ("format_exc", (), {}), ("exception", ("TB",), {}),
                    ("exception", (f"Error reading {paths[0]}, Exception = bad",), {}), ("debug", (f"reading {paths[1]}",), {})]


def test_failing_log_call_in_the_handler_propagates(light_data, platform, reader, paths, monkeypatch):
    read_error, log_error = ValueError("bad"), RuntimeError("log failed")

    def exception(message):
        raise log_error

    monkeypatch.setattr(light_data, "logging", SimpleNamespace(debug=lambda message: None, exception=exception))
    platform.tables[paths[0]] = read_error
    with pytest.raises(RuntimeError) as excinfo:
        reader.get_raw_data()
    assert excinfo.value is log_error and excinfo.value.__context__ is read_error
    assert platform.names() == ["get_mktdata_path", "read_file_wrapper"]


def test_raw_read_never_touches_the_cache(platform, reader, paths):
    platform.tables[paths[1]] = frame()
    reader.get_raw_data()
    assert cache_files(platform.cache_dir) == []


def test_missing_io_obj_is_a_failure_of_each_source(platform, reader, paths, logs):
    del reader.io_obj
    with pytest.raises(Exception, match="^Missing data: "):
        reader.get_raw_data()
    text = "'CryptoMktData' object has no attribute 'io_obj'"
    expected = []
    for path in paths:
        expected += [("DEBUG", f"reading {path}"), *failure_records(path, text)]
    assert normalised(logs) == expected
