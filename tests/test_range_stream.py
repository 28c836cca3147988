"""iter_range: read_range's frame a few days at a time, one chunk read ahead, nothing left behind."""

from __future__ import annotations

import threading
import time
import weakref

import numpy as np
import pandas as pd
import pytest

import halvorn.orrery_data.light_data as light_data
from halvorn.orrery_data._light_data_batch import stream
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_data.light_data_batch import MissingDataWarning, TableReadError, iter_range, read_range
from halvorn.orrery_utils.priceable.instrument import Instrument

BTC = Instrument("binance-futures", "BTCUSDT")
ETH = Instrument("binance-futures", "ETHUSDT")
DAYS = [20240226, 20240227, 20240228, 20240229, 20240301, 20240302, 20240303]
BINANCE = [DataSource.binance]
KIND = DataType.DerivativeTicker


def reader(instrument: Instrument, day: int) -> CryptoMktData:
    return CryptoMktData(day, instrument, KIND, data_sources=BINANCE)


def ticker(day: int, rows: int = 4, gap: bool = False) -> pd.DataFrame:
    stamps = int(pd.Timestamp(str(day), tz="UTC").value // 1000) - 3_000 + 3_600_000_000 * np.arange(rows)
    return pd.DataFrame({"timestamp": np.where(np.arange(rows) == 1, np.nan, stamps) if gap else stamps,
                         "price": np.arange(rows) + 0.5, "side": ["b", "s"] * (rows // 2)})


def store_range(warm: bool = True) -> None:
    """BTC every day but the second (missing) and the fourth (a header without rows), the
    sixth with a missing time; ETH from the fourth day on. Warm: read once, cached."""
    for position, day in enumerate(DAYS):
        if position != 1:
            reader(BTC, day).write(ticker(day, gap=position == 5) if position != 3 else ticker(day)[:0].astype(object))
        if position >= 3:
            reader(ETH, day).write(ticker(day, rows=2))
    if warm:
        with pytest.warns(MissingDataWarning):
            read_range([BTC, ETH], KIND, DAYS[0], DAYS[-1], data_sources=BINANCE)


@pytest.mark.parametrize("days_per_chunk", [1, 3, 10])
@pytest.mark.parametrize("instruments", [BTC, [BTC, ETH]], ids=["one instrument", "list"])
@pytest.mark.parametrize("columns", [None, ["side", "price"]], ids=["all columns", "columns"])
def test_the_chunks_make_up_read_range(storage, instruments, days_per_chunk, columns):
    store_range()
    options = dict(data_sources=BINANCE, columns=columns)
    with pytest.warns(MissingDataWarning) as warned:
        want = read_range(instruments, KIND, DAYS[0], DAYS[-1], **options)
    with pytest.warns(MissingDataWarning) as streamed:
        chunks = list(iter_range(instruments, KIND, DAYS[0], DAYS[-1], days_per_chunk=days_per_chunk, **options))
    assert len(chunks) == -(-len(DAYS) // days_per_chunk)
    got = pd.concat(chunks)  # a list's rows regrouped by instrument, as read_range orders them (BTC < ETH)
    got = got if isinstance(instruments, Instrument) else got.sort_index(level=0, sort_remaining=False, kind="stable")
    pd.testing.assert_frame_equal(got, want)
    # Each chunk lists its own missing days; one warning for the whole range, at the end.
    assert sorted(sum((chunk.attrs["missing"] for chunk in chunks), [])) == sorted(want.attrs["missing"])
    assert len(streamed) == 1 and str(warned[0].message).split(";")[0] == str(streamed[0].message).split(";")[0]
    assert streamed[0].filename == __file__  # it names the caller's loop


def test_the_next_chunk_is_read_ahead_and_closing_ends_the_reads(storage, monkeypatch):
    for day in DAYS:
        reader(BTC, day).write(ticker(day))
    reads = []
    for name in ("read_file_identified", "read_file_bytes"):  # as range reads read storage
        read = getattr(light_data.DataIOModule, name)
        monkeypatch.setattr(light_data.DataIOModule, name,
                            lambda self, load_path, read=read: reads.append(load_path) or read(self, load_path))
    built = []
    chunk_of = stream._chunk
    monkeypatch.setattr(stream, "_chunk", lambda *args: built.append(weakref.ref(chunk := chunk_of(*args))) or chunk)

    chunks = iter_range(BTC, KIND, DAYS[0], DAYS[-1], days_per_chunk=2, data_sources=BINANCE)
    assert reads == []  # nothing is read before the iteration starts
    first = next(chunks)
    deadline = time.monotonic() + 10
    while len(built) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.2)  # time enough to read on, were it to
    assert (len(built), len(set(reads))) == (2, 4)  # the chunk handed over and the next one, no more
    chunks.close()
    assert not [thread for thread in threading.enumerate() if thread.name.startswith("light_data_stream")]
    assert [ref() is not None for ref in built] == [True, False] and len(first)  # the chunk read ahead is freed
    assert len(set(reads)) == 4


def damage(day: int) -> None:
    with open(reader(BTC, day).get_path(DataSource.binance), "wb") as handle:
        handle.write(b"ARROW1 but not a table")


@pytest.mark.parametrize("missing, plant, error, match", [
    ("raise", lambda: None, FileNotFoundError, f"no data for {BTC} on {DAYS[1]}: Missing data: /"),
    ("skip", lambda: damage(DAYS[2]), TableReadError, f"cannot read DerivativeTicker of {BTC} on {DAYS[2]}"),
])
def test_a_failure_is_raised_at_its_chunk(storage, missing, plant, error, match):
    store_range(warm=False)
    plant()
    chunks = iter_range(BTC, KIND, DAYS[0], DAYS[-1], data_sources=BINANCE, missing=missing)
    assert len(next(chunks)) == 4  # the first day
    with pytest.raises(error, match=match):
        for _ in chunks:
            pass
    assert not [thread for thread in threading.enumerate() if thread.name.startswith("light_data_stream")]


@pytest.mark.parametrize("instruments", [BTC, [BTC, ETH]], ids=["one instrument", "list"])
def test_chunks_no_source_holds_cost_no_read_and_the_read_ahead_passes_them(storage, monkeypatch, instruments):
    store_range(warm=False)  # nothing on the 56 days before DAYS[0], nor for BTC on DAYS[1]
    asked, reads, chunked = [], [], []
    exists_many = light_data.DataIOModule.exists_many
    monkeypatch.setattr(light_data.DataIOModule, "exists_many",
                        lambda self, paths: asked.append(len(paths := list(paths))) or exists_many(self, paths))
    for name in ("read_file_identified", "read_file_bytes"):
        read = getattr(light_data.DataIOModule, name)
        monkeypatch.setattr(light_data.DataIOModule, name,
                            lambda self, load_path, read=read: reads.append(load_path) or read(self, load_path))
    chunk_of = stream._chunk
    monkeypatch.setattr(stream, "_chunk",
                        lambda call, days, *rest: chunked.append(days[0]) or chunk_of(call, days, *rest))

    chunks = iter_range(instruments, KIND, 20240101, DAYS[-1], data_sources=BINANCE)
    first = next(chunks)
    time.sleep(0.2)
    # The first chunk learns what storage holds; the one read ahead is the next with tables (nobody holds
    # DAYS[1]), whatever lies between.
    assert chunked == [20240101, DAYS[0], DAYS[2]]
    with pytest.warns(MissingDataWarning):
        rest = [first, *chunks]
    # One existence check of the whole range, then only the stored tables are read.
    count, stored = (2, 6 + 4) if isinstance(instruments, list) else (1, 6)
    assert (asked, len(set(reads))) == ([len(rest) * count], stored)
    assert len(chunked) == 1 + len({int(path[-8:]) for path in reads})  # no thread for a chunk without tables
    with pytest.warns(MissingDataWarning):
        want = read_range(instruments, KIND, 20240101, DAYS[-1], data_sources=BINANCE)
    got = pd.concat(rest)
    got = got if isinstance(instruments, Instrument) else got.sort_index(level=0, sort_remaining=False, kind="stable")
    pd.testing.assert_frame_equal(got, want)
    assert sorted(sum((chunk.attrs["missing"] for chunk in rest), [])) == sorted(want.attrs["missing"])
    assert all(chunk.dtypes.equals(want.dtypes) and chunk.index.names == want.index.names for chunk in rest)
