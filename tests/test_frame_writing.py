"""Writing frames to the processed and raw areas."""

from __future__ import annotations

import pandas as pd
import pytest

from halvorn.orrery_data.enums import DataDestination, DataSource, DataType
from support import cache_files, default_path, frame, mktdata_call

DATE = 20240105
DESTINATION = {"write": DataDestination.processed_data, "write_raw_data": DataDestination.raw_mkt_data}
REDIRECTED = [DataType.DerivativeTicker, DataType.Liquidations, DataType.Metrics]


def path_call(instrument, data_type, source, destination):
    return mktdata_call(DATE, instrument, data_type, source, destination)


@pytest.mark.parametrize("table", [frame(), pd.DataFrame(), None, "not a table"], ids=["frame", "empty", "none", "text"])
@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("method", list(DESTINATION))
def test_write_hands_the_table_unchanged_to_the_first_sources_path(platform, build_reader, instrument, logs, method, by_keyword, table):
    reader = build_reader(data_sources=[DataSource.okx, DataSource.tardis])
    written_to = "path/" + method
    platform.path_of = lambda **kwargs: written_to
    result = getattr(reader, method)(df=table) if by_keyword else getattr(reader, method)(table)
    assert result is None
    assert platform.names() == ["get_mktdata_path", "write_file_wrapper"]
    assert platform.calls[0] == path_call(instrument, DataType.Klines, DataSource.okx, DESTINATION[method])
    name, args, kwargs = platform.calls[1]
    assert args == () and list(kwargs) == ["dataframe", "write_path"]
    assert kwargs["dataframe"] is table and kwargs["write_path"] is written_to
    assert logs() == []


@pytest.mark.parametrize("data_type", REDIRECTED + [DataType.Klines, DataType.FundingRate])
@pytest.mark.parametrize("source", [DataSource.binance, DataSource.coin_market_cap])
def test_processed_and_raw_paths_of_a_write(platform, build_reader, instrument, data_type, source):
    reader = build_reader(data_type, data_sources=[source])
    reader.write(frame())
    reader.write_raw_data(frame())
    processed, raw = [kwargs["write_path"] for _, kwargs in platform.of("write_file_wrapper")]
    raw_path = default_path(DATE, instrument, data_type, source, DataDestination.raw_mkt_data)
    assert raw == raw_path
    if data_type in REDIRECTED:
        assert processed == raw_path
    elif source is DataSource.coin_market_cap:
        assert processed == default_path(DATE - 3, instrument, data_type, source, DataDestination.processed_data)
    else:
        assert processed == default_path(DATE, instrument, data_type, source, DataDestination.processed_data)


@pytest.mark.parametrize("method", list(DESTINATION))
def test_no_source_means_no_write(platform, build_reader, method):
    reader = build_reader(data_sources=[])
    with pytest.raises(IndexError) as excinfo:
        getattr(reader, method)(frame())
    assert type(excinfo.value) is IndexError and str(excinfo.value) == "list index out of range"
    assert platform.calls == []


WriteFailed = type("WriteFailed", (Exception,), {})


@pytest.mark.parametrize("method", list(DESTINATION))
def test_writer_failure_propagates_even_for_a_silent_reader(platform, build_reader, logs, method):
    reader = build_reader(silent_fail=True)
    error = WriteFailed("disk full")

    def write_file_wrapper(**kwargs):
        raise error

    reader.io_obj.write_file_wrapper = write_file_wrapper
    with pytest.raises(WriteFailed) as excinfo:
        getattr(reader, method)(frame())
    assert excinfo.value is error and logs() == []


@pytest.mark.parametrize("io_obj, missing", [(None, "io_obj"), (object(), "write_file_wrapper")], ids=["deleted", "unusable"])
@pytest.mark.parametrize("method", list(DESTINATION))
def test_writer_is_looked_up_before_the_path(platform, build_reader, method, io_obj, missing):
    reader = build_reader()
    if io_obj is None:
        del reader.io_obj
    else:
        reader.io_obj = io_obj
    with pytest.raises(AttributeError) as excinfo:
        getattr(reader, method)(frame())
    assert str(excinfo.value).endswith(f"object has no attribute '{missing}'")
    assert platform.calls == []


@pytest.mark.parametrize("method", list(DESTINATION))
def test_writing_leaves_the_cache_alone(platform, build_reader, tmp_path, method):
    cache = tmp_path / "cache"
    cache.mkdir()
    (cache / "kept").write_bytes(b"cached bytes")
    reader = build_reader(use_cache=True, write_cache=True)
    getattr(reader, method)(frame())
    assert cache_files(cache) == ["kept"] and (cache / "kept").read_bytes() == b"cached bytes"
