"""One table of one instrument and day, read as ``get()`` reads it, or refused with its cause.

Every range read, in one call, in the thread pool or on a Dask worker, reads a table with
`read_day`. A table whose cached copy ``get()`` would serve unchanged is read straight into
Arrow (off the interpreter lock) and converted to pandas once with the others; every other
table goes through the reader's own walk over its data sources (``_light_data_core``): the
same sources in the same order, the same cache healing and filling, the same log records but
one: a source that fails or lacks the table is not logged, since the answer says so.

Unlike ``get()``, which logs a failing source and goes on to the next, a range read keeps
"no data source holds the table" apart from "a source could not be read": only the first is
a missing day; the second raises `TableReadError`, naming the instrument, the day, each
source tried and its cause.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from types import ModuleType
from typing import TypeAlias, cast

import pandas as pd
import pyarrow as pa

from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_data.light_data import CryptoMktData

from .arguments import configured_cache_compression
from .arrow_frames import INDEX, ArrowDay, arrow_of, cut, trimmed, with_utc_index

__all__ = ["CachedReads", "Missing", "Day", "MissingDataWarning", "Projected", "TableReadError", "read_day", "reader_on"]

_UTC_NS = pa.timestamp("ns", tz="UTC")

_native: ModuleType | None
try:  # many cache files read at once, natively (a module built against one pyarrow release)
    from halvorn.orrery_data import _light_data_arrow as _native
except ImportError:
    _native = None


class MissingDataWarning(UserWarning):
    """Some of the requested tables do not exist. `missing` (and ``result.attrs["missing"]``
    of a pandas result) lists them as ``(str(instrument), date)`` pairs."""

    def __init__(self, message: str, missing: list[tuple[str, int]] | None = None):
        super().__init__(message)
        self.missing = [] if missing is None else missing


class TableReadError(Exception):
    """A table that a data source may hold could not be read.

    ``instrument`` (its text), ``date``, ``data_type`` (the DataType member) and ``tried``,
    a list of ``(source name, where, cause)`` for each source tried in order, where `where` is
    the table's place in storage (its ``s3://bucket/key`` on an object store, else the storage
    path) and the cause is the exception the source raised, or None for a source that has no
    storage path for the table. The exception is chained to the last cause.
    """

    def __init__(self, instrument: str, date: int, data_type: object,
                 tried: list[tuple[str, str | None, BaseException | None]]):
        self.instrument, self.date, self.data_type, self.tried = instrument, date, data_type, tried
        name = getattr(data_type, "name", data_type)
        causes = "; ".join(f"{source}: no storage path" if cause is None else
                           f"{source} ({path}): {type(cause).__name__}: {cause}" for source, path, cause in tried)
        super().__init__(f"cannot read {name} of {instrument} on {date}: {causes}")

    def __reduce__(self):  # Dask sends a worker's exception to the client
        return type(self), (self.instrument, self.date, self.data_type, self.tried)


@dataclass(frozen=True)
class Missing:
    """No data source holds the table; `path` is where the first source would keep it (as
    `where_stored` names it)."""

    path: str | None


def where_stored(storage: object, path: str | None) -> str | None:
    """Where `storage` (a reader's ``io_obj``) keeps the table of the storage path `path`, for
    messages: its URL on an object store (``s3://bucket/key``), else the path itself. A
    storage path on an object store looks like a local file path, which it is not."""
    url_of = getattr(storage, "storage_url", None)
    if url_of is None or path is None:
        return path
    try:
        url = url_of(path)
    except Exception:
        return path
    return url if isinstance(url, str) and "://" in url else path


@dataclass(frozen=True)
class Projected:
    """A table cut to the asked columns as soon as it was read: `day`, and `columns`, those
    that ``get()``'s frame of the whole table has."""

    day: pd.DataFrame | ArrowDay | pa.Table
    columns: tuple


# A day as read: a frame from get(), a cached table on the fast path, a frame from get() turned
# into Arrow for an Arrow output, any of them cut to the asked columns, or no table at all.
Day: TypeAlias = "pd.DataFrame | ArrowDay | pa.Table | Projected | Missing"


def reader_on(template: CryptoMktData, date: int) -> CryptoMktData:
    """The reader that construction would give for `date`. Readers keep their state in plain
    attributes, so a copy with another date skips reading the configuration again
    (copy.copy would cache __slotnames__ on the class)."""
    reader = object.__new__(type(template))
    vars(reader).update(vars(template), date=date)
    return reader


def read_day(template: CryptoMktData, date: int) -> pd.DataFrame | ArrowDay | Missing:
    """The table of `template`'s instrument and kind on `date`: from its cache file when
    ``get()`` would serve that unchanged, else through the reader's walk over its sources
    (whose cache copy is compressed as the configuration says)."""
    reader = reader_on(template, date)
    cached = cast(ArrowDay | None, read_cached(reader))  # whole tables: never Projected
    return cached or read_stored(reader, configured_cache_compression() if reader._write_cache else "lz4")


def read_cached(reader: CryptoMktData, columns: list | None = None) -> ArrowDay | Projected | None:
    """The table from the cache file ``get()`` would serve, when the fast path can give what
    ``get()`` gives; None when ``get()``'s own read must decide. Never raises: anything
    doubtful is left to that read, which reports it. With `columns`, only those columns and
    the time column are read from the file (`Projected`)."""
    served = served_mapping(reader)
    return None if served is None else cached_day(served, columns)


@dataclass(frozen=True)
class ServedMapping:
    """The cache file that ``get()`` would serve, mapped (`data`), and whether its kind's
    time is normalised. Reads of many tables map several files, then decode them: each step
    run over a batch keeps its code and data warm, where alternating them (the path builder's
    Python, Arrow's decoder) made a small table's read a third slower."""

    data: pa.Buffer
    normalised: bool


# Memory freed by a thread's reads that it hands back to the system once this much is counted.
_RELEASE_BYTES = 32 * 2**20
_freed = threading.local()


def _freed_here(count: int) -> None:
    """Counts `count` bytes freed in this thread (epoch counts replaced by their scaled times).
    The allocator keeps what a thread frees for that thread's own later use, which never comes
    to a reading thread: handed back every so often (one hand-back costs 1-2 ms), a range of
    large tables does not hold a second copy of its time column."""
    total = getattr(_freed, "count", 0) + count
    if total >= _RELEASE_BYTES:
        pa.default_memory_pool().release_unused()
        total = 0
    _freed.count = total


def served_mapping(reader: CryptoMktData) -> ServedMapping | None:
    """The first half of `read_cached`: None when no cache file would be served unchanged, or
    it cannot be mapped."""
    try:
        return served_mappings([reader], core.is_time_normalised(reader.data_type))[0]
    except Exception:
        return None


def served_mappings(readers: list[CryptoMktData], normalised: bool) -> list[ServedMapping | None]:
    """`served_mapping` of each of `readers`, all of one kind (whose time is `normalised` or
    not), in one call into the core: the path builder's, the cache lookup's and the mapping's
    work for a batch of tables, without the interpreter's work between them."""
    return [None if mapping is None else ServedMapping(pa.py_buffer(mapping), normalised)
            for mapping in core.served_cache_mappings(readers)]


def cached_day(served: ServedMapping, columns: list | None) -> ArrowDay | Projected | None:
    """The second half of `read_cached`: the table in the mapped cache file."""
    try:
        plan = None if columns is None else _Projection(columns, served.normalised)
        return _served_day(table_in(served.data, None if plan is None else plan.fields), served.normalised,
                           columns, plan)
    except Exception:
        return None


class CachedReads:
    """`read_cached` of each of `readers` (all of one kind, whose time is `normalised` or not),
    under way: the cache files ``get()`` would serve are looked up here, then opened, mapped
    and read by the native reads in up to `threads` of Arrow's threads, off the interpreter
    lock, while the caller looks up the next ones. Read through pyarrow's calls, one file at a
    time, each file's short calls handed the lock back and forth and the reads stayed on one
    core. `days()` gives them. With `columns`, the fields to read are chosen from the first
    file's names, and so are those of every file with the same names (the days of a range
    mostly share them). A file the native reads do not read (another schema, damaged, gone)
    is read again by pyarrow, which decides; without the native module (built for another
    pyarrow), pyarrow reads them all, the files mapped here."""

    def __init__(self, readers: list[CryptoMktData], normalised: bool, columns: list | None, threads: int):
        self.readers, self.normalised, self.columns = readers, normalised, columns
        self.plan: _Projection | None = None
        self.trim = False
        self.reads = None
        self.served: list[ServedMapping | None] = []
        if _native is None:
            self.served = served_mappings(readers, normalised)
            return
        paths = core.served_cache_paths(readers)
        self.paths = paths
        if columns is None:
            self.reads = _native.start_reads(paths, threads)
            return
        first = next((reader for reader, path in zip(readers, paths) if path is not None), None)
        served = None if first is None else served_mapping(first)
        if served is None:
            self.served = served_mappings(readers, normalised)
            return
        plan = _Projection(columns, normalised)
        try:
            names = core.cache_arrow_names(served.data)
        except Exception:
            names = None
        del served
        chosen = None if names is None else plan.fields(names)
        if chosen is None:  # left to cached_day, which decides
            self.served = served_mappings(readers, normalised)
            return
        self.plan, self.trim = plan, len(chosen) < len(names)  # type: ignore[arg-type]
        self.reads = _native.start_reads(paths, threads, names=names, fields=chosen)

    def days(self) -> list[ArrowDay | Projected | None]:
        if self.reads is None:
            served, self.served = self.served, []
            return [None if mapping is None else cached_day(mapping, self.columns) for mapping in served]
        tables, self.reads = self.reads.tables(), None
        days: list[ArrowDay | Projected | None] = []
        for position, (reader, path) in enumerate(zip(self.readers, self.paths)):
            table, tables[position] = tables[position], None
            if path is None:
                days.append(None)
            elif table is None:
                days.append(read_cached(reader, self.columns))
            else:
                try:
                    days.append(_served_day(trimmed(table) if self.trim else table, self.normalised,
                                            self.columns, self.plan))
                except Exception:
                    days.append(None)
            del table
        return days


def _served_day(table: pa.Table, normalised: bool, columns: list | None, plan: _Projection | None
                ) -> ArrowDay | Projected | None:
    """`table`, read from a cache file, as `cached_day` gives it."""
    scaled = normalised and table.schema.get_field_index(INDEX) < 0
    day = usable(table, normalised)
    del table  # the epoch counts, once scaled, go with it
    if day is None:
        return None
    if scaled:
        _freed_here(day.table.column(INDEX).nbytes)
    if plan is None or columns is None:
        return day
    return None if plan.available is None else Projected(cut(day, columns), plan.available)


class _Projection:
    """Which fields of a cache file to read for `columns`: those of them the file has and
    the one its time index is made from. `available` is set to the columns of get()'s frame
    of the whole file once `fields` has seen the file's schema."""

    def __init__(self, columns: list, normalised: bool):
        self.wanted, self.normalised = set(columns), normalised
        self.available: tuple | None = None

    def fields(self, names: list[str]) -> list[int] | None:
        if INDEX in names:
            time, kept = INDEX, [name for name in names if name != INDEX]
        else:
            found = core.time_column(names) if self.normalised else None
            if found is None:
                return None  # not a table for the fast path: read it whole for usable() to refuse
            time, close_time = found
            kept = list(names) if close_time else [name for name in names if name != time]
        self.available = tuple(kept)
        return [position for position, name in enumerate(names) if name == time or name in self.wanted]


def read_stored_day(reader: CryptoMktData, columns: list | None, arrow: bool, compression: str = "lz4") -> Day:
    """`read_stored`, cut to `columns` as soon as the table arrives (`Projected`) and, for an
    Arrow output, turned into Arrow (`arrow_of`) while the thread that read it still holds it."""
    found = read_stored(reader, compression)
    if isinstance(found, Missing):
        return found
    names = tuple(found.columns)
    day: pd.DataFrame | pa.Table = found if columns is None else cut(found, columns)
    del found
    if arrow:
        try:
            day = arrow_of(day)
        except Exception as error:
            error.add_note(f"turning {reader.data_type.name} of {reader.instrument} on {reader.date} into Arrow: "
                           "leave such columns out (columns=...) or read with output='pandas'")
            raise
    return day if columns is None else Projected(day, names)


def read_stored(reader: CryptoMktData, compression: str = "lz4") -> pd.DataFrame | Missing:
    """What ``get()`` returns, through the reader's walk over its sources; `Missing` when no
    source holds the table; `TableReadError` when one could not be read. Other errors (of the
    time index, say) carry a note naming the instrument and the date. The copy written to the
    cache is compressed as `compression` says ("lz4", "none" or "zstd")."""
    try:
        # Each cache file filled here records the identity of the stored table it copies.
        outcome, table, tried = core.read_sources(reader, log_failures=False, identify=True,
                                                  compression=compression)
        if outcome == "failed":
            causes = [(getattr(source, "name", str(source)), where_stored(reader.io_obj, path), cause)
                      for source, path, cause in tried]
            raise TableReadError(str(reader.instrument), reader.date, reader.data_type, causes) from tried[-1][2]
        if outcome == "missing":
            return Missing(where_stored(reader.io_obj, tried[0][1]) if tried else None)
        if not isinstance(table, pd.DataFrame):
            raise TypeError(f"storage gave a {type(table).__name__}, not a table")
        return core.index_by_time(reader.data_type, table)
    except TableReadError:
        raise
    except Exception as error:
        error.add_note(f"reading {reader.data_type.name} of {reader.instrument} on {reader.date}")
        raise


def table_in(data: pa.Buffer, fields=None) -> pa.Table:
    """The Arrow table in the cache file `data`, read by the core on this thread: the columns
    of an uncompressed file stay in it, uncopied (a compressed file's are decompressed into
    memory). `fields`, given the file's column names, may choose the positions of the
    columns to read (None: all)."""
    if fields is not None:
        names = core.cache_arrow_names(data)
        chosen = fields(names)
        if chosen is not None and len(chosen) < len(names):
            return trimmed(core.read_cache_arrow(data, chosen))
    return core.read_cache_arrow(data)


def usable(table: pa.Table, normalised: bool) -> ArrowDay | None:
    """`table` ready to be indexed by "DateTime" as ``get()`` indexes it, or None when
    ``get()`` must read it (no rows, unusual metadata or types, a time column that is not an
    int64 epoch count without gaps)."""
    if table.num_rows == 0:
        return None
    if table.schema.get_field_index(INDEX) >= 0:
        return ArrowDay.of(table)
    if not normalised:
        return None
    found = core.time_column(table.column_names)
    if found is None:
        return None
    label, close_time = found
    stamps = utc_nanoseconds(table.column(label), close_time)
    return None if stamps is None else with_utc_index(table, label, close_time, stamps)


def utc_nanoseconds(column: pa.ChunkedArray, close_time: bool) -> pa.ChunkedArray | None:
    """The UTC times ``get()`` makes of an int64 epoch count column without gaps, scaled by
    the reader's own rule; None for any other column (a column with gaps converts to float
    in pandas, which ``get()`` reads by its own rule). Overflow raises OverflowError."""
    if column.type != pa.int64() or column.null_count:
        return None
    chunks = [chunk for chunk in column.chunks if len(chunk)]
    values = [chunk.buffers()[1].slice(chunk.offset * 8, len(chunk) * 8) for chunk in chunks]
    scaled = [pa.allocate_buffer(len(chunk) * 8) for chunk in chunks]
    core.scale_epoch_counts(values, scaled, close_time=close_time)
    return pa.chunked_array([pa.Array.from_buffers(_UTC_NS, len(chunk), [None, buffer])
                             for chunk, buffer in zip(chunks, scaled)], type=_UTC_NS)
