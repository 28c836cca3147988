"""get_raw: the walk over the data sources through the local Feather cache."""

from __future__ import annotations

import hashlib
import os
from pathlib import Path

import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

from halvorn.orrery_data.enums import DataSource
from support import (
    BINANCE,
    CACHE_NAME,
    DATE,
    OTHER,
    P1,
    P2,
    TARDIS,
    cache_files,
    cache_path,
    failed,
    frame,
    path_of,
    reader_factory,
    shapes,
)


@pytest.fixture
def make(light_data, platform, instrument):
    return reader_factory(light_data, platform, instrument)


def load_paths(platform) -> list:
    return [kwargs["load_path"] for _, kwargs in platform.of("read_file_wrapper")]


@pytest.mark.parametrize(
    "path",
    ["store/tardis/20240102.feather", "données/été/ß 1.feather", "s3://bucket/a/../b"],
    ids=["ascii", "non_ascii", "separators"],
)
def test_cold_read_reads_storage_once_and_caches_under_the_path_digest(make, platform, tmp_path, path):
    platform.cache_dir = str(tmp_path / "missing" / "parents" / "cache")
    platform.path_of = lambda **_: path
    platform.tables[path] = frame()

    assert_frame_equal(make(sources=[TARDIS]).get_raw(), frame())

    assert platform.of("read_file_wrapper") == [((), {"load_path": path})]
    name = hashlib.sha256(path.encode("utf-8")).hexdigest() + ".feather"
    assert cache_files(platform.cache_dir) == [name]
    assert_frame_equal(pd.read_feather(os.path.join(platform.cache_dir, name)), frame())


def test_warm_read_serves_the_cache_without_touching_storage(make, platform):
    platform.tables[P1] = frame()
    make().get_raw()
    reader = make()
    platform.tables[P1] = frame(5)  # storage changed since: only the cache can give back frame()
    platform.calls.clear()

    assert_frame_equal(reader.get_raw(), frame())
    assert set(platform.names()) == {"get_mktdata_path"}


def test_sources_with_equal_paths_share_one_cache_file(make, platform):
    platform.path_of = lambda **_: "store/shared.feather"
    platform.tables["store/shared.feather"] = frame()
    make(sources=[TARDIS]).get_raw()
    platform.calls.clear()

    assert_frame_equal(make(sources=[BINANCE]).get_raw(), frame())
    assert load_paths(platform) == []
    assert len(cache_files(platform.cache_dir)) == 1


@pytest.mark.parametrize("class_name", ["CryptoMktData", "TickerReader"])
def test_cache_hit_logs_the_read_message_twice(light_data, make, platform, logs, class_name):
    cls = light_data.CryptoMktData
    if class_name != cls.__name__:
        cls = type(class_name, (cls,), {})
    platform.tables[P1] = frame()
    make().get_raw()
    logs.raw.clear()

    make(cls=cls).get_raw()

    cp = cache_path(platform.cache_dir, P1)
    hit = ("INFO", f"cache {class_name} DataType.Klines {DATE} read from cache: {cp}")
    assert shapes(logs.raw) == [("DEBUG", f"reading {P1}"), ("INFO", f"Reading from cache: {cp}"), hit, hit]


@pytest.mark.parametrize(
    "use_cache, write_cache, served, cached",
    [(True, True, "old", "old"), (True, False, "old", "old"), (False, True, "new", "new"), (0, "", "new", "old")],
)
@pytest.mark.parametrize("set_after_construction", [False, True])
def test_cache_flags(make, platform, use_cache, write_cache, served, cached, set_after_construction):
    tables = {"old": frame(2), "new": frame(4)}
    platform.tables[P1] = tables["old"]
    make().get_raw()
    platform.tables[P1] = tables["new"]
    if set_after_construction:
        reader = make()
        reader._use_cache, reader._write_cache = use_cache, write_cache
    else:
        reader = make(use_cache=use_cache, write_cache=write_cache)

    assert_frame_equal(reader.get_raw(), tables[served])
    assert_frame_equal(pd.read_feather(cache_path(platform.cache_dir, P1)), tables[cached])
    assert cache_files(platform.cache_dir) == [os.path.basename(cache_path(platform.cache_dir, P1))]


def test_cold_read_without_cache_writing_writes_nothing(make, platform):
    platform.tables[P1] = frame()
    assert_frame_equal(make(write_cache=False).get_raw(), frame())
    assert not os.path.exists(platform.cache_dir)


@pytest.mark.parametrize(
    "empty",
    [pd.DataFrame({"price": []}), pd.DataFrame(), pd.DataFrame(index=range(3))],
    ids=["no_rows", "nothing", "no_columns"],
)
def test_empty_storage_table_ends_the_search_uncached(make, platform, empty):
    platform.tables.update({P1: empty, P2: frame()})

    got = make().get_raw()

    assert got.empty
    assert_frame_equal(got, empty)
    assert load_paths(platform) == [P1]
    assert cache_files(platform.cache_dir) == []


@pytest.mark.parametrize(
    "stored", [OSError("disk gone"), ValueError("bad footer"), [1, 2]], ids=["os_error", "value_error", "not_a_table"]
)
def test_failed_source_is_logged_and_the_next_one_read(make, platform, logs, stored):
    platform.tables.update({P1: stored, P2: frame()})

    assert_frame_equal(make().get_raw(), frame())

    assert shapes(logs.raw) == failed(P1) + [("DEBUG", f"reading {P2}")]
    if isinstance(stored, Exception):
        assert logs()[2] == ("ERROR", f"Error reading {P1}, Exception = {stored}")
    assert cache_files(platform.cache_dir) == [os.path.basename(cache_path(platform.cache_dir, P2))]


def test_source_without_a_path_fails_before_storage_is_read(make, platform, logs):
    platform.path_of = lambda data_source, **kw: None if data_source is TARDIS else path_of(data_source=data_source, **kw)
    platform.tables[P2] = frame()

    assert_frame_equal(make().get_raw(), frame())

    assert load_paths(platform) == [P2]
    assert shapes(logs.raw)[:3] == failed(None)


@pytest.mark.parametrize("sources", [[], [TARDIS], [TARDIS, BINANCE]], ids=["none", "one", "two"])
def test_all_sources_failing_gives_none_and_only_per_source_records(make, platform, logs, sources):
    assert make(sources=sources).get_raw() is None
    assert shapes(logs.raw) == [record for path in (P1, P2)[: len(sources)] for record in failed(path)]
    assert cache_files(platform.cache_dir) == []


def test_path_lookup_error_propagates_and_ends_the_walk(make, platform):
    def path(**kwargs):
        if kwargs["data_source"] is BINANCE:
            raise LookupError("no layout for binance")
        return path_of(**kwargs)

    platform.path_of = path
    with pytest.raises(LookupError, match="no layout for binance"):
        make(sources=[TARDIS, BINANCE, DataSource.okx]).get_raw()

    assert [kwargs["data_source"] for _, kwargs in platform.of("get_mktdata_path")] == [TARDIS, BINANCE]
    assert load_paths(platform) == [P1]


@pytest.mark.parametrize("fault", ["cache_dir_is_a_file", "table_refused_by_feather", "directory_at_cache_path"])
def test_cache_write_failure_is_logged_and_the_table_still_served(make, platform, logs, fault):
    table = frame()
    if fault == "cache_dir_is_a_file":
        Path(platform.cache_dir).parent.mkdir(parents=True, exist_ok=True)
        Path(platform.cache_dir).write_text("not a folder")
    elif fault == "table_refused_by_feather":
        table = frame(2, mixed=[1, "x"])
    else:
        os.makedirs(cache_path(platform.cache_dir, P1))
    platform.tables[P1] = table

    assert make(sources=[TARDIS, BINANCE], use_cache=False).get_raw() is table

    assert load_paths(platform) == [P1]  # the source succeeded: the second one is not tried
    cp = cache_path(platform.cache_dir, P1)
    assert shapes(logs.raw) == [("DEBUG", f"reading {P1}"), ("ERROR", "<traceback>"),
                                ("ERROR", f"Error writing cache {cp}, Exception = <e>")]
    leftover = [os.path.basename(cp)] if fault == "directory_at_cache_path" else []
    assert cache_files(platform.cache_dir) == leftover


def test_cold_then_warm_read_on_real_files(light_data, storage, instrument):
    reader = light_data.CryptoMktData(DATE, instrument, OTHER)
    path = reader.get_path(data_source=reader.data_sources[0])
    reader.io_obj.write_file_wrapper(dataframe=frame(), write_path=path)

    assert_frame_equal(reader.get_raw(), frame())
    assert cache_files(storage.cache_dir) == [os.path.basename(cache_path(storage.cache_dir, path))]

    reader.io_obj.write_file_wrapper(dataframe=frame(6), write_path=path)
    assert_frame_equal(light_data.CryptoMktData(DATE, instrument, OTHER).get_raw(), frame())
    assert all(CACHE_NAME.match(name) for name in cache_files(storage.cache_dir))
