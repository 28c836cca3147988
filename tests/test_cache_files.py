"""_read_cache and remove_cache: reading back, clearing and healing cache files."""

from __future__ import annotations

import os
from pathlib import Path, PurePosixPath

import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

from halvorn.orrery_data.enums import DataSource
from support import DATE, OTHER, P1, P2, TARDIS, cache_files, cache_path, frame, path_of, put, reader_factory, shapes


@pytest.fixture
def make(light_data, platform, instrument):
    return reader_factory(light_data, platform, instrument)


def removed(cp, class_name="CryptoMktData"):
    return ("INFO", f"cache {class_name} DataType.Klines {DATE} removed cache: {cp}")


def truncate(cp):
    if not os.path.exists(cp):
        frame(50).to_feather(cp)
    os.truncate(cp, os.path.getsize(cp) // 2)


# Ways a cache file goes bad; each takes the cache path, written or not.
CORRUPT = {
    "truncated": truncate,
    "zero_length": lambda cp: open(cp, "wb").close(),
    "random_bytes": lambda cp: Path(cp).write_bytes(bytes(range(7, 256)) * 9),
    "empty_table": lambda cp: pd.DataFrame({"price": []}).to_feather(cp),
}


@pytest.mark.parametrize("by_keyword", [False, True])
def test_non_empty_cache_file_is_returned_and_kept(make, platform, logs, by_keyword):
    cp1 = put(platform.cache_dir, P1, frame())
    put(platform.cache_dir, P2, frame(5))
    reader = make()

    got = reader._read_cache(cache_path=cp1) if by_keyword else reader._read_cache(cp1)

    assert_frame_equal(got, frame())
    assert shapes(logs.raw) == [
        ("INFO", f"Reading from cache: {cp1}"),
        ("INFO", f"cache CryptoMktData DataType.Klines {DATE} read from cache: {cp1}"),
    ]
    assert len(cache_files(platform.cache_dir)) == 2


@pytest.mark.parametrize(
    "empty",
    [pd.DataFrame({"price": []}), pd.DataFrame(), pd.DataFrame(index=range(3))],
    ids=["no_rows", "nothing", "no_columns"],
)
@pytest.mark.parametrize("class_name", ["CryptoMktData", "TickerReader"])
def test_empty_cached_table_clears_every_source_of_the_reader(light_data, make, platform, logs, empty, class_name):
    cls = light_data.CryptoMktData
    if class_name != cls.__name__:
        cls = type(class_name, (cls,), {})
    cp1, cp2 = put(platform.cache_dir, P1, empty), put(platform.cache_dir, P2, frame())
    foreign = put(platform.cache_dir, "store/elsewhere.feather", frame())

    got = make(cls=cls)._read_cache(cp1)

    assert got.shape == (0, 0)
    assert shapes(logs.raw) == [
        ("INFO", f"Reading from cache: {cp1}"),
        ("DEBUG", f"reading {P1}"),
        removed(cp1, class_name),
        ("DEBUG", f"reading {P2}"),
        removed(cp2, class_name),
    ]
    assert cache_files(platform.cache_dir) == [os.path.basename(foreign)]


@pytest.mark.parametrize("kind", ["truncated", "zero_length", "random_bytes", "directory", "missing"])
def test_unreadable_cache_file_is_logged_then_the_reader_cleared(make, platform, logs, kind):
    os.makedirs(platform.cache_dir)
    cp1 = cache_path(platform.cache_dir, P1)
    if kind == "directory":
        os.mkdir(cp1)
    elif kind != "missing":
        CORRUPT[kind](cp1)
    cp2 = put(platform.cache_dir, P2, frame())

    assert make()._read_cache(cp1).shape == (0, 0)

    own = {
        "directory": [],  # a directory at a cache name is left alone
        "missing": [],
    }.get(kind, [removed(cp1)])
    assert shapes(logs.raw) == [
        ("INFO", f"Reading from cache: {cp1}"),
        ("ERROR", "<traceback>"),
        ("ERROR", f"Error reading cache {cp1}, Exception = <e>"),
        ("DEBUG", f"reading {P1}"),
        *own,
        ("DEBUG", f"reading {P2}"),
        removed(cp2),
    ]
    assert cache_files(platform.cache_dir) == ([os.path.basename(cp1)] if kind == "directory" else [])


@pytest.mark.parametrize("inside_cache_dir", [True, False])
def test_unreadable_foreign_file_stays_while_the_readers_files_go(make, platform, tmp_path, inside_cache_dir):
    put(platform.cache_dir, P1, frame())
    put(platform.cache_dir, P2, frame())
    foreign = os.path.join(platform.cache_dir if inside_cache_dir else tmp_path, "0" * 64 + ".feather")
    CORRUPT["random_bytes"](foreign)

    assert make()._read_cache(foreign).shape == (0, 0)

    assert os.path.exists(foreign)
    assert cache_files(platform.cache_dir) == (["0" * 64 + ".feather"] if inside_cache_dir else [])


@pytest.mark.parametrize(
    "value", [None, PurePosixPath("x.feather"), type("CachePath", (str,), {})("x.feather")], ids=["none", "path", "str_subclass"]
)
def test_read_cache_refuses_anything_but_str(make, platform, logs, value):
    put(platform.cache_dir, P1, frame())
    with pytest.raises(TypeError) as raised:
        make()._read_cache(value)
    assert str(raised.value) == f"Argument 'cache_path' has incorrect type (expected str, got {type(value).__name__})"
    assert logs() == []
    assert len(cache_files(platform.cache_dir)) == 1


@pytest.mark.parametrize("present", [(), (P2,), (P1, P2)], ids=["none", "second", "both"])
@pytest.mark.parametrize("use_cache, write_cache", [(True, True), (False, False)])
def test_remove_cache_deletes_the_readers_files_only(make, platform, logs, present, use_cache, write_cache):
    for path in present:
        put(platform.cache_dir, path, frame())
    foreign = put(platform.cache_dir, "store/elsewhere.feather", frame())

    assert make(use_cache=use_cache, write_cache=write_cache).remove_cache() is None

    expected = []
    for path in (P1, P2):
        expected.append(("DEBUG", f"reading {path}"))
        if path in present:
            expected.append(removed(cache_path(platform.cache_dir, path)))
    assert shapes(logs.raw) == expected
    assert cache_files(platform.cache_dir) == [os.path.basename(foreign)]


def test_remove_cache_logs_a_source_without_path_and_goes_on(make, platform, logs):
    platform.path_of = lambda data_source, **kw: None if data_source is TARDIS else path_of(data_source=data_source, **kw)
    cp2 = put(platform.cache_dir, P2, frame())

    make().remove_cache()

    got = shapes(logs.raw)
    assert got[:2] == [("DEBUG", "reading None"), ("ERROR", "<traceback>")]
    assert got[2][0] == "ERROR"
    assert got[2][1].startswith("Error removing cache ") and got[2][1].endswith(", Exception = <e>")
    assert got[3:] == [("DEBUG", f"reading {P2}"), removed(cp2)]
    assert cache_files(platform.cache_dir) == []


def test_remove_cache_path_lookup_error_propagates(make, platform):
    def path(**kwargs):
        if kwargs["data_source"] is DataSource.binance:
            raise LookupError("no layout")
        return path_of(**kwargs)

    platform.path_of = path
    cp1, okx = put(platform.cache_dir, P1, frame()), put(platform.cache_dir, "store/okx/20240102.feather", frame())

    with pytest.raises(LookupError):
        make(sources=[TARDIS, DataSource.binance, DataSource.okx]).remove_cache()

    assert not os.path.exists(cp1)
    assert os.path.exists(okx)


@pytest.mark.parametrize("kind", sorted(CORRUPT))
def test_corrupt_cache_file_heals_on_the_next_read(light_data, storage, instrument, kind):
    stored = frame(DateTime=[11, 12, 13])
    reader = light_data.CryptoMktData(DATE, instrument, OTHER)
    path = reader.get_path(data_source=reader.data_sources[0])
    reader.io_obj.write_file_wrapper(dataframe=stored, write_path=path)
    expected = stored.set_index("DateTime")
    assert_frame_equal(reader.get(), expected)
    cp = cache_path(storage.cache_dir, path)
    assert cache_files(storage.cache_dir) == [os.path.basename(cp)]

    CORRUPT[kind](cp)

    assert_frame_equal(light_data.CryptoMktData(DATE, instrument, OTHER).get(), expected)
    assert cache_files(storage.cache_dir) == [os.path.basename(cp)]
    assert_frame_equal(pd.read_feather(cp), stored)
