"""Many tables in one call: date ranges and instrument lists, read in threads or on a Dask cluster.

``read_range`` reads one kind of data for every calendar day from ``start`` to
``end`` (both included) and for one instrument or a list of them, and returns
what a loop of ``CryptoMktData(date, instrument, data_type, ...).get()`` and a
``pd.concat`` would, with an outer index level "instrument" for a list.
``to_dask`` describes the same tables as a lazy Dask DataFrame with one
partition per instrument and day, read by the workers.

Every table is read by one function, ``_read_day``, whatever runs it: a single
call, the thread pool or a Dask worker. A table whose cached copy is a healthy
Feather file of the first data source that holds the table is read straight
into Arrow (off the interpreter lock) and converted to pandas once with the
others; every other table (cold, stale, damaged, a time column that is not a
plain epoch count) is read by the reader's own ``get()``, so it gets the
reader's exact behaviour: source order, cache healing, cache fill, errors.
"""

from __future__ import annotations

import datetime as dt
import functools
import json
import os
import stat
import threading
import warnings
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.ipc as ipc

from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_data.light_data_cache import cache_name_for
from halvorn.orrery_utils.priceable.instrument import Instrument

if TYPE_CHECKING:
    import dask.dataframe

__all__ = ["MissingDataWarning", "read_range", "to_dask"]

# The kinds whose time column get() turns into a UTC index.
_NORMALISED_KINDS = (DataType.DerivativeTicker, DataType.Liquidations, DataType.Metrics)
# Time columns in the order get() looks for them; "CloseTime" keeps its column.
_TIME_LABELS = ("timestamp", "Time", "CloseTime", "create_time")
_INDEX = "DateTime"
_MISSING_PREFIX = "Missing data: "
_UTC_NS = pa.timestamp("ns", tz="UTC")
_OPEN_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
_SERIAL_READ = ipc.IpcReadOptions(use_threads=False)
# Cached tables below this size (in memory) are read in one thread (see read_range).
_SMALL_TABLE_BYTES = 256 * 1024


class MissingDataWarning(UserWarning):
    """Some of the requested tables do not exist; ``result.attrs["missing"]`` lists them."""


# ---------------------------------------------------------------------------
# Arguments


def _calendar_day(value: object, what: str) -> dt.date:
    if not isinstance(value, int) or isinstance(value, bool):
        raise ValueError(f"{what} must be an int date YYYYMMDD, got {type(value).__name__} {value!r}")
    if not 10_000_101 <= value <= 99_991_231:
        raise ValueError(f"{what} must be a date YYYYMMDD, got {value}")
    try:
        return dt.date(value // 10_000, value // 100 % 100, value % 100)
    except ValueError:
        raise ValueError(f"{what} {value} is not a calendar date") from None


def _days(start: object, end: object) -> list[int]:
    first, last = _calendar_day(start, "start"), _calendar_day(end, "end")
    if first > last:
        raise ValueError(f"start {start} is after end {end}")
    count = (last - first).days + 1
    return [int((first + dt.timedelta(days=i)).strftime("%Y%m%d")) for i in range(count)]


def _instrument_list(instruments: object) -> tuple[list[Instrument], bool]:
    """The instruments to read, and whether one was given on its own."""
    if isinstance(instruments, Instrument):
        return [instruments], True
    if not isinstance(instruments, (list, tuple)):
        raise TypeError(f"instruments must be an Instrument or a list of them, got {type(instruments).__name__}")
    if not instruments:
        raise ValueError("instruments is an empty list")
    names: set[str] = set()
    for item in instruments:
        if not isinstance(item, Instrument):
            raise TypeError(f"instruments must hold Instrument objects, got {type(item).__name__}")
        if str(item) in names:
            # The result is keyed by instrument name: a second entry would merge with the first.
            raise ValueError(f"instrument {item} is listed twice")
        names.add(str(item))
    return list(instruments), False


def _check_columns(columns: object) -> list | None:
    if columns is None:
        return None
    if isinstance(columns, (str, bytes)) or not isinstance(columns, Iterable):
        raise TypeError(f"columns must be a list of column names, got {type(columns).__name__}")
    return list(columns)


@dataclass(frozen=True)
class _Options:
    """What every reader of one call is built with."""

    data_type: DataType
    data_sources: list[DataSource] | None
    use_minio_storage: bool | None
    use_cache: bool
    write_cache: bool

    def reader(self, instrument: Instrument, date: int) -> CryptoMktData:
        """A reader built here, from this process's configuration."""
        sources = None if self.data_sources is None else list(self.data_sources)
        return CryptoMktData(date, instrument, self.data_type, use_minio_storage=self.use_minio_storage,
                             data_sources=sources, use_cache=self.use_cache, write_cache=self.write_cache)


def _options(data_type: object, data_sources: object, use_minio_storage: object, use_cache: object,
             write_cache: object) -> _Options:
    if not isinstance(data_type, DataType):
        raise TypeError(f"data_type must be a DataType member, got {type(data_type).__name__}")
    if data_sources is not None:
        if isinstance(data_sources, (str, bytes)) or not isinstance(data_sources, Iterable):
            raise TypeError(f"data_sources must be a list of DataSource members, got {type(data_sources).__name__}")
        data_sources = list(data_sources)  # the call reads the sources as they are now
    return _Options(data_type, data_sources, use_minio_storage, use_cache, write_cache)  # type: ignore[arg-type]


@dataclass(frozen=True)
class _Call:
    """The checked arguments that read_range and to_dask share."""

    instruments: list[Instrument]
    single: bool  # one Instrument was given, not a list
    days: list[int]
    options: _Options
    columns: list | None


def _call(instruments: object, data_type: object, start: object, end: object, columns: object,
          data_sources: object, use_minio_storage: object, use_cache: object, write_cache: object) -> _Call:
    items, single = _instrument_list(instruments)
    return _Call(items, single, _days(start, end),
                 _options(data_type, data_sources, use_minio_storage, use_cache, write_cache),
                 _check_columns(columns))


# ---------------------------------------------------------------------------
# One table


@dataclass(frozen=True)
class _Missing:
    """No data source holds the table; `path` is the one get() names."""

    path: str


@dataclass(frozen=True)
class _ArrowDay:
    """A table read from its cache file: `table`, converted as pd.read_feather
    converts and indexed by its "DateTime" column, is what get() returns.
    `signature` is equal for tables that convert alike."""

    table: pa.Table
    signature: tuple


_Day = pd.DataFrame | _ArrowDay | _Missing


def _read_day(template: CryptoMktData, date: int) -> _Day:
    """The table of `template`'s instrument and kind on `date`: from its cache
    file when get() would serve that unchanged, else from get() itself."""
    return _read_cached(template, date) or _read_stored(template, date)


def _reader_on(template: CryptoMktData, date: int) -> CryptoMktData:
    """The reader that construction would give for `date`. Readers keep their
    state in plain attributes, so a copy with another date skips reading the
    configuration again (copy.copy would cache __slotnames__ on the class)."""
    reader = object.__new__(type(template))
    vars(reader).update(vars(template), date=date)
    return reader


def _read_cached(template: CryptoMktData, date: int) -> _ArrowDay | None:
    """The table from its cache file, or None when get() has to decide. Never raises."""
    return _cached_table(_reader_on(template, date))


def _read_stored(template: CryptoMktData, date: int) -> pd.DataFrame | _Missing:
    """get()'s table, or _Missing when no source holds one. Exceptions carry a
    note naming the instrument and the date."""
    reader = _reader_on(template, date)
    try:
        try:
            return reader.get()
        except FileNotFoundError as error:
            path = reader.get_path(reader.data_sources[0])
            if str(error) == _MISSING_PREFIX + path:
                return _Missing(path)
            raise
    except Exception as error:
        error.add_note(f"reading {reader.data_type.name} of {reader.instrument} on {date}")
        raise


def _cache_file(reader: CryptoMktData, path: str) -> str:
    return os.path.join(reader.cache_dir, cache_name_for(path))


def _cached_table(reader: CryptoMktData) -> _ArrowDay | None:
    """The table from the cache when get() would serve it from there unchanged;
    None when get() has to decide (storage read, damaged or unusual cache file)."""
    if not reader._use_cache:
        return None
    try:
        # get() serves the first source's cache entry, or else reads that
        # source's storage: a later source's entry counts only when every
        # source before it has neither.
        earlier: list[str] = []
        for source in reader.data_sources:
            path = reader.get_path(source)
            entry = _cache_file(reader, path)
            try:
                status = os.lstat(entry)
            except FileNotFoundError:
                earlier.append(path)
                continue
            if any(reader.io_obj.exists(other) for other in earlier):
                return None
            return _usable(_regular_file_table(entry, status), reader.data_type in _NORMALISED_KINDS)
        return None
    except Exception:
        return None  # anything doubtful is get()'s to handle, and to report


def _regular_file_table(cache_file: str, entry: os.stat_result) -> pa.Table:
    """The Arrow table in `cache_file`, whose lstat is `entry`; raises when the
    entry is not a regular file or not a readable table."""
    if not stat.S_ISREG(entry.st_mode):
        raise OSError(f"{cache_file} is not a regular file")
    descriptor = os.open(cache_file, _OPEN_FLAGS)
    try:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise OSError(f"{cache_file} is not a regular file")
        # Read into an Arrow-allocated (aligned) buffer: tables read from it need no copy.
        data = pa.allocate_buffer(status.st_size)
        view, filled = memoryview(data), 0
        while filled < status.st_size:
            count = os.readv(descriptor, [view[filled:]])
            if count == 0:
                raise OSError(f"{cache_file} shrank while being read")
            filled += count
    finally:
        os.close(descriptor)
    # The tables of a range are read in parallel already: Arrow's own threads
    # would only add their hand-offs (a small table reads 2-3x slower with them).
    return ipc.open_file(data, options=_SERIAL_READ).read_all()


# Arrow types whose pandas conversion does not depend on the rest of the
# table, so that converting a concatenation equals concatenating conversions.
def _plain_type(type_: pa.DataType) -> bool:
    return (pa.types.is_integer(type_) or pa.types.is_float64(type_) or pa.types.is_float32(type_)
            or pa.types.is_boolean(type_) or pa.types.is_string(type_) or pa.types.is_large_string(type_)
            or pa.types.is_timestamp(type_))


def _usable(table: pa.Table, normalised: bool) -> _ArrowDay | None:
    """`table` ready to be indexed by "DateTime" as get() indexes it, or None
    when get() must read it (empty, unusual metadata or types, a time column
    that is not a plain epoch count)."""
    names = table.column_names
    if table.num_rows == 0 or not names or len(set(names)) != len(names):
        return None
    if not all(_plain_type(field.type) for field in table.schema):
        return None
    raw = (table.schema.metadata or {}).get(b"pandas")
    if _pandas_signature(raw) is None:
        return None
    if _INDEX not in names:
        if not normalised:
            return None
        label = next((name for name in _TIME_LABELS if name in names), None)
        if label is None:
            return None
        stamps = _utc_nanoseconds(table.column(label), label == "CloseTime")
        if stamps is None:
            return None
        if label == "CloseTime":
            table = table.append_column(pa.field(_INDEX, _UTC_NS), stamps)
        else:
            table = table.set_column(names.index(label), pa.field(_INDEX, _UTC_NS), stamps)
        if raw is not None:
            raw = _metadata_with_index(raw, label)
            table = table.replace_schema_metadata({**table.schema.metadata, b"pandas": raw})
    return _ArrowDay(table, (table.schema.remove_metadata(), _pandas_signature(raw)))


def _utc_nanoseconds(column: pa.ChunkedArray, close_time: bool) -> pa.ChunkedArray | None:
    """The index get() builds from an int64 epoch count column: scaled exactly
    by 10**(19 - digits of the first value); None in every other case,
    overflow included (get() reports that)."""
    if column.type != pa.int64() or column.null_count:
        return None
    try:
        if close_time:
            column = pc.add_checked(column, 1)  # a bar is stamped with its end
        first = column[0].as_py()
        if first < 0:
            return None
        exponent = 19 - len(str(first))
        if exponent:
            column = pc.multiply_checked(column, 10**exponent)
    except pa.ArrowInvalid:
        return None
    return column.cast(_UTC_NS)


@functools.lru_cache(maxsize=256)
def _pandas_signature(raw: bytes | None) -> tuple | None:
    """What the pandas metadata changes in a conversion (the column entries and
    the column index), or None when it asks for what the fast path does not
    do: an index stored in columns, or labels that are not the field names."""
    if raw is None:
        return ()
    try:
        meta = json.loads(raw)
        if any(not isinstance(index, dict) or index.get("kind") != "range" for index in meta["index_columns"]):
            return None
        columns = meta["columns"]
        if any(entry["name"] != entry["field_name"] for entry in columns):
            return None
        return (json.dumps(columns, sort_keys=True), json.dumps(meta.get("column_indexes"), sort_keys=True))
    except (ValueError, KeyError, TypeError):
        return None


@functools.lru_cache(maxsize=1)
def _index_entry() -> dict:
    """The pandas metadata entry pyarrow writes for a UTC nanosecond "DateTime" column."""
    frame = pd.DataFrame({_INDEX: pd.Series([], dtype="datetime64[ns, UTC]")})
    return pa.Table.from_pandas(frame, preserve_index=False).schema.pandas_metadata["columns"][0]


@functools.lru_cache(maxsize=256)
def _metadata_with_index(raw: bytes, label: str) -> bytes:
    """The pandas metadata once the "DateTime" column replaces `label` (or
    joins it at the end, for "CloseTime")."""
    meta = json.loads(raw)
    columns = meta["columns"]
    if label == "CloseTime":
        columns.append(_index_entry())
    else:
        meta["columns"] = [_index_entry() if entry["field_name"] == label else entry for entry in columns]
    return json.dumps(meta).encode()


# ---------------------------------------------------------------------------
# Tables to one frame

try:  # pandas >= 3: the conversion that pd.read_feather applies to the table it reads
    from pandas.io._util import arrow_table_to_pandas as _read_feather_conversion
except ImportError:  # pandas 2.2: read_feather converts with to_pandas directly
    _read_feather_conversion = None


def _frame(table: pa.Table) -> pd.DataFrame:
    """`table` converted exactly as pd.read_feather converts what it reads."""
    if _read_feather_conversion is not None:
        return _read_feather_conversion(table)
    if pd.get_option("future.infer_string"):
        from pandas.io._util import arrow_string_types_mapper

        return table.to_pandas(types_mapper=arrow_string_types_mapper())
    return table.to_pandas()


# pandas versions that deprecate set_index(inplace=True) copy nothing without it.
_INPLACE_SET_INDEX = not hasattr(pd.DataFrame, "_check_inplace_deprecation")


def _indexed(frame: pd.DataFrame) -> pd.DataFrame:
    if _INPLACE_SET_INDEX:
        frame.set_index(_INDEX, inplace=True)
        return frame
    return frame.set_index(_INDEX)


def _day_frame(day: pd.DataFrame | _ArrowDay) -> pd.DataFrame:
    return day if isinstance(day, pd.DataFrame) else _indexed(_frame(day.table))


def _empty_frame(data_type: DataType, columns: list | None) -> pd.DataFrame:
    if data_type in _NORMALISED_KINDS:
        index = pd.DatetimeIndex([], dtype="datetime64[ns, UTC]", name=_INDEX)
    else:
        index = pd.Index([], dtype=object, name=_INDEX)
    return pd.DataFrame(index=index, columns=columns)


def _selected(table: pa.Table, columns: list) -> pa.Table:
    """`table` with just `columns` and "DateTime", its pandas metadata to match."""
    table = table.select([*columns, _INDEX])
    raw = (table.schema.metadata or {}).get(b"pandas")
    if raw is not None:
        meta = json.loads(raw)
        kept = set(table.column_names)
        meta["columns"] = [entry for entry in meta["columns"] if entry["field_name"] in kept]
        table = table.replace_schema_metadata({**table.schema.metadata, b"pandas": json.dumps(meta).encode()})
    return table


def _combined(days: list[pd.DataFrame | _ArrowDay], data_type: DataType, columns: list[Any] | None) -> pd.DataFrame:
    """What pd.concat of the days' get() results gives (then [columns]).
    Empties `days` as it goes, so that each table is freed once converted."""
    if not days:
        return _empty_frame(data_type, columns)
    signatures = {day.signature if isinstance(day, _ArrowDay) else None for day in days}
    first = days[0]
    if (len(signatures) == 1 and isinstance(first, _ArrowDay)
            and pa.types.is_timestamp(first.table.schema.field(_INDEX).type)):
        # One conversion for all days: tables of one schema whose columns
        # convert alike, with a datetime index, give the same frame whether
        # concatenated before or after the conversion.
        table = pa.concat_tables([day.table for day in days])  # type: ignore[union-attr]
        days.clear()
        names = set(table.column_names)
        if (columns is not None and len(set(columns)) == len(columns) and _INDEX not in columns
                and all(isinstance(c, str) and c in names for c in columns)):
            table = _selected(table, columns)
        frame = _frame(table)
        del table
        frame = _indexed(frame)
        return frame if columns is None or list(frame.columns) == columns else frame[columns]
    frames = []
    for position, day in enumerate(days):
        frames.append(_day_frame(day))
        days[position] = None  # type: ignore[call-overload]
    days.clear()
    frame = pd.concat(frames)
    del frames
    return frame if columns is None else frame[columns]


# ---------------------------------------------------------------------------
# Running the reads


def _run_all(read: Callable[[Any], _Day | None], keys: Sequence[Any], threads: int, bar: Any,
             stop_at_missing: bool = False) -> list[_Day | None]:
    """read(key) for every key, in up to `threads` threads, results in the
    order of `keys`. The first failure in that order is raised, and the first
    missing table ends the list when `stop_at_missing`; reads after it are
    dropped.

    Each thread takes the next key when it is done with one, so that a small
    table costs no hand-off between threads beyond its own read."""
    count = len(keys)
    results: list[_Day | BaseException | None] = [None] * count
    positions = iter(range(count))
    lock = threading.Lock()
    end = [count]  # keys from this position on are not read

    def work() -> None:
        while True:
            with lock:
                position = next(positions, count)
                if position >= end[0]:
                    return
            try:
                result: _Day | BaseException | None = read(keys[position])
            except Exception as error:
                result = error
            results[position] = result
            if isinstance(result, BaseException) or (stop_at_missing and isinstance(result, _Missing)):
                with lock:
                    end[0] = min(end[0], position + 1)
            if bar is not None and result is not None:
                bar.update(1)

    threads = min(threads, count)
    try:
        if threads <= 1:
            work()
        else:
            with ThreadPoolExecutor(max_workers=threads, thread_name_prefix="light_data_batch") as pool:
                for future in [pool.submit(work) for _ in range(threads)]:
                    future.result()
    except BaseException:
        end[0] = 0  # an interrupt: the threads stop after their current read
        raise
    finished = results[:end[0]]
    if finished and isinstance(finished[-1], BaseException):
        raise finished[-1]
    return finished  # type: ignore[return-value]


def _progress_bar(total: int, description: str) -> Any:
    try:
        from tqdm.auto import tqdm
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install 'halvorn-light-data[progress]'") from None
    return tqdm(total=total, desc=description, unit="table")


def read_range(
    instruments: Instrument | Sequence[Instrument],
    data_type: DataType,
    start: int,
    end: int,
    *,
    columns: Sequence[Any] | None = None,
    data_sources: Sequence[DataSource] | None = None,
    use_minio_storage: bool | None = None,
    use_cache: bool = True,
    write_cache: bool = True,
    missing: str = "skip",
    max_workers: int | None = None,
    progress: bool = False,
) -> pd.DataFrame:
    """The tables of `data_type` for every day from `start` to `end` (int
    YYYYMMDD, both included) and for one instrument or a list of them.

    For one instrument: ``pd.concat`` of ``CryptoMktData(day, instrument,
    data_type, ...).get()`` over the days that have data, in date order. For a
    list: ``pd.concat({str(i): read_range(i, ...) for i in instruments},
    names=["instrument"])``. `columns` keeps those columns, in that order.

    ``missing="skip"`` leaves out days without data, lists them in
    ``result.attrs["missing"]`` as ``(str(instrument), date)`` pairs and warns
    once (`MissingDataWarning`); ``missing="raise"`` raises
    ``FileNotFoundError`` for the first missing table instead. Any other
    failure of a table propagates with a note naming the instrument and date.
    Nothing found at all gives an empty frame whose index is named "DateTime".
    Tables are read in threads (at most `max_workers`); `progress` shows a
    progress bar (needs tqdm).
    """
    call = _call(instruments, data_type, start, end, columns, data_sources, use_minio_storage, use_cache,
                 write_cache)
    items, single, days, options, selection = call.instruments, call.single, call.days, call.options, call.columns
    if missing not in ("skip", "raise"):
        raise ValueError(f"missing must be 'skip' or 'raise', got {missing!r}")
    if max_workers is not None and (not isinstance(max_workers, int) or isinstance(max_workers, bool)
                                    or max_workers < 1):
        raise ValueError(f"max_workers must be a positive int or None, got {max_workers!r}")

    # One reader per instrument, copied for each day: building one reads the configuration.
    templates = [options.reader(instrument, days[0]) for instrument in items]
    keys = [(position, day) for position in range(len(items)) for day in days]
    workers = max_workers or min(32, (os.cpu_count() or 1) + 4)  # as concurrent.futures chooses
    bar = _progress_bar(len(keys), options.data_type.name) if progress else None
    try:
        # Cached tables first, in one thread per core at most: their reads are
        # mostly CPU work, and more threads would only contend for the
        # interpreter lock. Small tables take one thread: their Python-side
        # work holds the lock, and a second thread's many short file calls,
        # each giving the lock up and waiting to get it back, slow both down
        # (twice as slow, measured at 50 kB a table). The first table tells.
        # The rest go through get() in all the threads, as they mostly wait
        # for storage.
        read_cached = lambda key: _read_cached(templates[key[0]], key[1])  # noqa: E731
        results: list[_Day | None] = _run_all(read_cached, keys[:1], 1, bar)
        first = results[0]
        cached_threads = min(workers, os.cpu_count() or 1)
        if isinstance(first, _ArrowDay) and first.table.nbytes < _SMALL_TABLE_BYTES:
            cached_threads = 1
        results += _run_all(read_cached, keys[1:], cached_threads, bar)
        rest = [position for position, result in enumerate(results) if result is None]
        stored = _run_all(lambda position: _read_stored(templates[keys[position][0]], keys[position][1]), rest,
                          workers, bar, stop_at_missing=missing == "raise")
    finally:
        if bar is not None:
            bar.close()
    for position, result in zip(rest, stored):
        results[position] = result
    if len(stored) < len(rest):  # stopped at a missing table: nothing after it counts
        del results[rest[len(stored)]:]

    absent: list[tuple[str, int]] = []
    per_instrument: dict[str, list] = {str(instrument): [] for instrument in items}
    for (position, day), result in zip(keys, results):
        name = str(items[position])
        if isinstance(result, _Missing):
            if missing == "raise":
                raise FileNotFoundError(f"no data for {name} on {day}: {_MISSING_PREFIX}{result.path}")
            absent.append((name, day))
        else:
            per_instrument[name].append(result)
    results.clear()

    frames = {name: _combined(found, options.data_type, selection) for name, found in per_instrument.items()}
    result = frames.popitem()[1] if single else pd.concat(frames, names=["instrument"])
    result.attrs["missing"] = absent
    if absent:
        warnings.warn(MissingDataWarning(f"{len(absent)} of {len(keys)} {options.data_type.name} tables have no data; "
                                         "result.attrs['missing'] lists them"), stacklevel=2)
    return result


# ---------------------------------------------------------------------------
# Dask


def _dask_partition(key: tuple[Instrument, int], options: _Options, selection: list | None, meta: pd.DataFrame,
                    with_instrument: bool, calendar_divisions: bool) -> pd.DataFrame:
    """One partition: the table of one instrument and day, read on the worker
    with the worker's own configuration; empty (like `meta`) when missing."""
    instrument, day = key
    found = _read_day(options.reader(instrument, day), day)
    if isinstance(found, _Missing):
        return meta.iloc[:0]
    frame = _day_frame(found)
    if selection is not None:
        frame = frame[selection]
    if calendar_divisions:
        _check_within_day(frame.index, instrument, day)
    if with_instrument:
        frame.insert(0, "instrument", str(instrument))
    if list(frame.columns) != list(meta.columns):
        raise ValueError(f"the {options.data_type.name} table of {instrument} on {day} has columns "
                         f"{list(frame.columns)}, other days {list(meta.columns)}; read it with read_range")
    return frame


def _day_start(day: int) -> pd.Timestamp:
    return pd.Timestamp(dt.datetime.strptime(str(day), "%Y%m%d"), tz="UTC")


def _check_within_day(index: pd.Index, instrument: Instrument, day: int) -> None:
    """Partitions promise Dask that day d's rows lie in [d 00:00, d+1 00:00) UTC, in order."""
    if index.empty:
        return
    low, high = _day_start(day), _day_start(day) + pd.Timedelta(days=1)
    stray = None
    if not isinstance(index, pd.DatetimeIndex) or index.tz is None:
        stray = f"its index is {index.dtype}, not UTC time"  # a "DateTime" column stored as something else
    elif index.hasnans:
        stray = "its index has missing times"
    elif not index.is_monotonic_increasing:
        position = int((index[1:] < index[:-1]).argmax()) + 1
        stray = f"{index[position]} comes after {index[position - 1]}"
    elif index[0] < low or index[-1] >= high:
        stray = f"{index[0] if index[0] < low else index[-1]} lies outside the day"
    if stray is not None:
        raise ValueError(f"the table of {instrument} on {day} does not fit its partition: {stray}; "
                         "read such data with read_range")


def to_dask(
    instruments: Instrument | Sequence[Instrument],
    data_type: DataType,
    start: int,
    end: int,
    *,
    columns: Sequence[Any] | None = None,
    data_sources: Sequence[DataSource] | None = None,
    use_minio_storage: bool | None = None,
    use_cache: bool = True,
    write_cache: bool = True,
) -> dask.dataframe.DataFrame:
    """The tables of `read_range` as a lazy Dask DataFrame, one partition per
    instrument and day, read by the workers with their own configuration.

    For one instrument, ``compute()`` equals ``read_range(..., missing="skip")``;
    for a list, ``read_range(...).reset_index(level="instrument")``. For one
    instrument of the kinds indexed by UTC time (derivative tickers,
    liquidations, metrics), divisions are the days' midnights: a partition
    whose rows are out of order or outside their day raises ValueError when
    computed (read such data with `read_range`). Missing days are empty
    partitions. The columns and dtypes Dask assumes come from the first table
    found, read here."""
    try:
        import dask.dataframe as dd
    except ImportError as error:
        raise ImportError(f"to_dask needs Dask: pip install 'halvorn-light-data[dask]' ({error})") from None

    call = _call(instruments, data_type, start, end, columns, data_sources, use_minio_storage, use_cache,
                 write_cache)
    items, single, days, options, selection = call.instruments, call.single, call.days, call.options, call.columns
    keys = [(instrument, day) for instrument in items for day in days]

    meta = None
    for instrument, day in keys:
        found = _read_day(options.reader(instrument, day), day)
        if not isinstance(found, _Missing):
            meta = _day_frame(found)
            meta = (meta if selection is None else meta[selection]).iloc[:0]
            if not single:
                meta.insert(0, "instrument", str(instrument))
            break
    if meta is None:
        meta = _empty_frame(options.data_type, selection)
        if not single:
            meta.insert(0, "instrument", pd.Series([], dtype=object))
    calendar = single and options.data_type in _NORMALISED_KINDS
    divisions = None
    if calendar:
        divisions = [_day_start(day) for day in days] + [_day_start(days[-1]) + pd.Timedelta(days=1)]
    return dd.from_map(_dask_partition, keys, args=[options, selection, meta, not single, calendar], meta=meta,
                       divisions=divisions, label=f"light-data-{options.data_type.name}", enforce_metadata=False)
