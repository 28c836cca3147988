"""``read_range``: the tables of a range of days, for one instrument or a list of them."""

from __future__ import annotations

import os
import threading
from collections import Counter
from dataclasses import dataclass, field
from collections.abc import Sequence
from typing import Any

from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_utils.priceable.instrument import Instrument

from . import arguments
from .arrow_frames import ArrowDay
from .day_read import CachedReads, Day, Missing, Projected, read_stored_day, reader_on, served_mappings, where_stored
from .cold_read import cold_day
from .range_assembly import NOT_STORED, assemble
from .revalidation import check_fills, drop_changed_copies, source_paths
from .threads import default_workers, progress_bar, run_all

# An instant as read_range takes it: a pd.Timestamp or datetime, or ISO-8601 text.
Instant = Any

# Cached tables below this size (in memory) are read in one thread, this many at a time (see
# read_days and ServedMapping).
_SMALL_TABLE_BYTES = 256 * 1024
_SMALL_TABLE_BATCH = 128
# Files mapped in one call into the core, and read natively while the next ones are mapped.
_MAPPED_AT_ONCE = 16


def read_range(
    instruments: Instrument | Sequence[Instrument],
    data_type: DataType,
    start: int | Instant,
    end: int | Instant,
    *,
    columns: Sequence[Any] | None = None,
    output: str = "pandas",
    data_sources: Sequence[DataSource] | None = None,
    use_minio_storage: bool | None = None,
    use_cache: bool = True,
    write_cache: bool = True,
    missing: str = "skip",
    max_workers: int | None = None,
    progress: bool = False,
    revalidate: bool | None = None,
) -> Any:
    """The tables of `data_type` for every day from `start` to `end` (int YYYYMMDD, both
    included) and for one instrument or a list of them.

    For one instrument: ``pd.concat`` of ``CryptoMktData(day, instrument, data_type,
    ...).get()`` over the days that have data, in date order. For a list:
    ``pd.concat({str(i): read_range(i, ...) for i in instruments}, names=["instrument"])``.
    `columns` keeps those columns, in that order; the others are never converted or copied.
    A column that no table found has raises `MissingColumnError` (a KeyError and a
    ValueError) listing the columns there are, and so do `columns` when no table is found at
    all. Tables without rows add neither rows nor column types.

    `start` or `end` may also be an instant (``pd.Timestamp``, ``datetime``, ISO-8601 text;
    naive instants are UTC): then the UTC calendar days that overlap the window are read and
    rows outside ``start <= DateTime < end`` are dropped; an int date at the other end
    stands for its whole day (its 00:00 UTC as a start, the next day's as an end). A window
    that ends less than an hour before a midnight also takes, from the next day's table when
    storage holds it, the rows stamped inside the window (vendors' tables start with rows
    stamped just before their midnight).

    ``output="arrow"`` gives one ``pyarrow.Table``: "DateTime" first (an "instrument" column
    before it for a list), then the columns, without pandas metadata; the columns of
    uncompressed cache files are memory-mapped, not copied. ``output="polars"`` gives the same
    table as a ``polars.DataFrame`` (needs polars). Their values equal the pandas result's.

    A day is missing only when no data source holds its table. ``missing="skip"`` leaves
    out missing days, lists them as ``(str(instrument), date)`` pairs in the warning's
    ``missing`` (and in ``result.attrs["missing"]`` of a pandas result) and warns once
    (`MissingDataWarning`); ``missing="raise"`` raises
    ``FileNotFoundError`` for the first missing table instead. A table that a source could
    not read (an unreachable or failing store, a damaged stored file, a permission error)
    raises `TableReadError` naming the instrument, the day, each source tried and its cause,
    whatever `missing` says. Any other failure of a table propagates with a note naming the
    instrument and the date. Nothing found at all gives an empty result with its "DateTime".
    Tables are read in threads (at most `max_workers`; by default as many as the storage
    serves well at once, its ``requests_in_flight``, for the tables not cached); which days
    storage holds is learned first, one listing per folder where the storage module has
    ``exists_many``, so that a day no source holds costs no read. Days after tomorrow (UTC)
    cannot have tables: the range ends there. Ctrl-C returns at once, abandoning the reads in
    flight. `progress` shows a progress bar (needs tqdm).

    Each cache file a range read fills records the identity of the stored table it copies
    (ETag, or size and modification time). ``revalidate=True`` first checks the cached copies
    of the range against storage (one listing per folder, no table read) and drops those whose
    stored table changed or is gone, or whose identity is unknown, so that they are read anew;
    None (the default) takes ``LOCAL_DATA_CACHE_REVALIDATE`` of ``[data_related]`` in the
    configuration (off when not set). A store that cannot be asked then raises.
    """
    call = arguments.call(instruments, data_type, start, end, columns, data_sources, use_minio_storage,
                          use_cache, write_cache, output, revalidate)
    policy = arguments.missing_policy(missing)
    arguments.worker_count(max_workers)
    keys = day_keys(call, call.instruments, call.days)
    bar = progress_bar(len(keys), call.options.data_type.name) if progress else None
    try:
        results = read_days(call, keys, max_workers, bar, stop_at_missing=policy == "raise")
    finally:
        if bar is not None:
            bar.close()
    return assemble(call, keys, results, policy)


def day_keys(call: arguments.Call, instruments: list[Instrument], days: list[int]) -> list[tuple[Instrument, int]]:
    """The tables to read for `days` (a run of the call's days) of `instruments`, each
    instrument's in date order; after the call's last day, the window's spill day, whose table
    may hold rows stamped inside the window."""
    window = call.window
    if window is not None and window.spill is not None and days and days[-1] == call.days[-1]:
        days = [*days, window.spill]
    return [(instrument, day) for instrument in instruments for day in days]


def readers_of(call: arguments.Call) -> Any:
    """A function that gives the reader of a key of `call`: one reader is built per instrument
    (building one reads the configuration) and copied for each day."""
    templates = {str(instrument): call.options.reader(instrument, call.days[0]) for instrument in call.instruments}
    return lambda key: reader_on(templates[str(key[0])], key[1])


def stored_workers(call_workers: int | None, reader: Any) -> int:
    """The threads for reads from storage: `call_workers` when given, else as many as the
    storage serves well at once (its ``requests_in_flight``), at least as many as for the cores."""
    if call_workers is not None:
        return call_workers
    advised = getattr(getattr(reader, "io_obj", None), "requests_in_flight", None)
    return max(default_workers(), advised) if isinstance(advised, int) and advised > 0 else default_workers()


@dataclass
class Holdings:
    """Which tables storage holds, learned for many keys at once (see `held_keys`): `held`
    the keys some source holds, `first_paths` the path of each key's first source."""

    held: set = field(default_factory=set)
    storage: Any = None  # the storage module asked
    paths: dict = field(default_factory=dict)  # each key's storage paths, source by source
    sources: dict = field(default_factory=dict)  # each held key's first source that holds it

    def missing(self, key: tuple[Instrument, int]) -> Missing | None:
        paths = self.paths.get(key)
        return None if key in self.held else Missing(where_stored(self.storage, paths[0]) if paths else None)


def has_cache_entry(reader: Any, paths: Any) -> bool:
    """Whether the reader's cache holds an entry for any of `paths` (its sources' paths)."""
    if not reader._use_cache:
        return False
    return any(path is not None and os.path.lexists(os.path.join(reader.cache_dir, core.cache_name(path)))
               for path in paths)


def revalidate_days(call: arguments.Call, keys: list[tuple[Instrument, int]], reader: Any) -> None:
    """Drops the cached copies of `keys` that storage does not hold as copied (see
    `drop_changed_copies`); Ctrl-C returns at once."""
    what = f"checking the cached {call.options.data_type.name} tables against storage"
    run_all(lambda wanted: drop_changed_copies([reader(key) for key in wanted], lambda: what), [keys], 1)


def held_keys(keys: list[tuple[Instrument, int]], reader: Any) -> Holdings | None:
    """Which of `keys` some source holds, asked once per source for the keys not yet found,
    through the storage module's ``exists_many`` (the object store lists each folder once);
    None when the storage module has none, or cannot answer (each table's own read then
    reports the cause). `reader(key)` gives the reader of a key."""
    if not keys:
        return Holdings()
    first = reader(keys[0])
    exists_many = getattr(first.io_obj, "exists_many", None)
    if exists_many is None:
        return None
    readers = {key: reader(key) for key in keys}
    holdings, pending = Holdings(storage=first.io_obj), list(keys)
    for source in first.data_sources:
        if not pending:
            break
        paths = [readers[key].get_path(data_source=source) for key in pending]
        for key, path in zip(pending, paths):
            holdings.paths.setdefault(key, []).append(path)
        try:
            flags = exists_many(paths)
        except Exception:
            return None
        still = []
        for key, flag in zip(pending, flags):
            if flag:
                holdings.held.add(key)
                holdings.sources[key] = source
            else:
                still.append(key)
        pending = still
    return holdings


def read_days(call: arguments.Call, keys: list[tuple[Instrument, int]], workers: int | None, bar: Any = None,
              stop_at_missing: bool = False, holdings: Holdings | None = None, revalidated: bool = False,
              reader: Any = None) -> list[Day]:
    """The tables of `keys` in their order (ending at the first missing one when
    `stop_at_missing`). Cached tables first, in one thread per core at most: their reads are
    mostly CPU work, and more threads would only contend for the interpreter lock. Small
    tables are mapped in this thread, whose Python-side work holds the lock (a second
    thread's many short file calls, each giving the lock up and waiting to get it back, made
    both twice as slow at 50 kB a table); they go in batches, each part of which is read by
    the native reads off the lock while the next is mapped (see CachedReads). The first
    table tells. The rest go through
    the reader's walk over its sources in all the threads, as they mostly wait for storage.
    With the call's `columns`, each table is cut to them as it is read (`Projected`); for an
    Arrow output, tables read through ``get()`` are turned into Arrow in the reading thread.
    Before those reads, which tables storage holds is learned in one go (`held_keys`, or
    `holdings` when the caller learned it for more days): a table no source holds is missing
    without a read. `workers` None: as `stored_workers` chooses. When the call revalidates,
    the cached copies of `keys` that storage does not hold as copied are dropped first (unless
    the caller did so for more days: `revalidated`). `reader(key)` gives the reader of a key
    (by default, built here)."""
    if not keys:
        return []
    if reader is None:
        reader = readers_of(call)

    if call.revalidate and not revalidated:
        revalidate_days(call, keys, reader)

    columns = call.columns
    normalised = core.is_time_normalised(call.options.data_type)

    def cached(batch: list[tuple[Instrument, int]], threads: int = 1) -> list[ArrowDay | Projected | None]:
        # Map the batch's files a part at a time, each part read while the next is mapped, then
        # decode them (see ServedMapping and CachedReads).
        reads = [CachedReads([reader(key) for key in batch[start:start + _MAPPED_AT_ONCE]], normalised, columns, threads)
                 for start in range(0, len(batch), _MAPPED_AT_ONCE)]
        days = [day for part in reads for day in part.days()]
        if bar is not None:
            bar.update(sum(day is not None for day in days))
        return days

    spill = call.window.spill if call.window is not None else None
    # Tables the caller already knows no source holds, and of which no copy is cached, are
    # missing without another look (a stream's empty stretches cost next to nothing).
    known_missing: dict[int, Missing] = {}
    if holdings is not None:
        for position, key in enumerate(keys):
            if key not in holdings.held and not has_cache_entry(reader(key), holdings.paths.get(key, ())):
                known_missing[position] = holdings.missing(key)  # type: ignore[assignment]
        if bar is not None:
            bar.update(len(known_missing))
    if known_missing:
        if len(known_missing) == len(keys):
            return _cut_at_missing([known_missing[position] for position in range(len(keys))], keys, spill,
                                   stop_at_missing)
        looked = [position for position in range(len(keys)) if position not in known_missing]
        wanted = [keys[position] for position in looked]
        # Each is held, or cached (the walk serves the copy): none is known missing any more.
        found = read_days(call, wanted, workers, bar, stop_at_missing=False, revalidated=True,
                          holdings=Holdings(set(wanted), holdings.storage, holdings.paths,  # type: ignore[union-attr]
                                            holdings.sources), reader=reader)  # type: ignore[union-attr]
        merged: list[Any] = [None] * len(keys)
        for position, missing in known_missing.items():
            merged[position] = missing
        for position, result in zip(looked, found):
            merged[position] = result
        return _cut_at_missing(merged, keys, spill, stop_at_missing)

    any_template = reader(keys[0])
    if not (any_template._use_cache and os.path.isdir(any_template.cache_dir)):
        # Nothing is cached (a worker's first read): every table goes to storage at once.
        return _stored_days(call, keys, reader, [None] * len(keys), workers, bar, stop_at_missing, holdings)
    results: list[Any] = cached(keys[:1])
    first = results[0].day if isinstance(results[0], Projected) else results[0]
    cached_threads = min(workers or default_workers(), os.cpu_count() or 1)
    small = isinstance(first, ArrowDay) and first.table.nbytes < _SMALL_TABLE_BYTES
    del first
    if small:  # a batch at a time in this thread, its files read natively in cached_threads threads
        batches = [keys[start:start + _SMALL_TABLE_BATCH] for start in range(1, len(keys), _SMALL_TABLE_BATCH)]
        threads = cached_threads
        for days in run_all(lambda some: cached(some, threads), batches, 1):
            results += days
    else:
        for days in run_all(cached, [keys[start:start + 1] for start in range(1, len(keys))], cached_threads):
            results += days
    return _stored_days(call, keys, reader, results, workers, bar, stop_at_missing, holdings)


def _stored_days(call: arguments.Call, keys: list[tuple[Instrument, int]], reader: Any, results: list[Any],
                 workers: int | None, bar: Any, stop_at_missing: bool, holdings: Holdings | None) -> list[Day]:
    """The second part of `read_days`: the tables of `keys` that `results` (those read from
    the cache so far) lacks, read from storage."""
    columns, arrow = call.columns, call.output != "pandas"
    spill = call.window.spill if call.window is not None else None
    rest = [position for position, result in enumerate(results) if result is None]
    if rest and holdings is None:
        found = run_all(lambda wanted: held_keys(wanted, reader), [[keys[position] for position in rest]], 1)
        holdings = found[0]
    if holdings is not None:
        for position in rest:
            # A cached copy is served even when storage lost its table, as get() serves it.
            if not has_cache_entry(reader(keys[position]), holdings.paths.get(keys[position], ())):
                results[position] = holdings.missing(keys[position])
        if bar is not None:
            bar.update(sum(results[position] is not None for position in rest))
        first_missing = next((position for position in rest if results[position] is not None
                              and keys[position][1] != spill), len(keys))
        limit = first_missing if stop_at_missing else len(keys)
        rest = [position for position in rest if results[position] is None and position < limit]
    stop_at = (lambda result: isinstance(result, Missing)) if stop_at_missing else None
    # How the copies of the tables read from storage are cached, read once a call, and only then.
    compression = arguments.configured_cache_compression() if rest and call.options.write_cache else "lz4"
    # A cold table's stored bytes become its cache copy as they are: only where the copies
    # take the default form, not where the configuration asks for another.
    sources = {} if holdings is None or compression != "lz4" else holdings.sources

    # A copy filled while a writer replaced its table must not stay (see _FillChecks).
    checks = _FillChecks([keys[position] for position in rest], {} if holdings is None else holdings.paths)

    def stored_day(position: int) -> Day | None:
        key = keys[position]
        found: Any = None
        try:
            if key in sources:  # not cached (else the fast path had served it, or it was left to the walk)
                found = cold_day(reader(key), sources[key], columns,
                                 holdings.paths.get(key))  # type: ignore[union-attr]
            if found is None:
                found = read_stored_day(reader(key), columns, arrow, compression)
        finally:
            checks.read(key, reader(key) if found is not None and not isinstance(found, Missing) else None)
        # The spill day's table is read for the rows it may hold; its absence is no missing day.
        return NOT_STORED if isinstance(found, Missing) and keys[position][1] == spill else found

    stored = run_all(stored_day, rest, stored_workers(workers, reader(keys[0])), bar, stop_at=stop_at)
    for position, result in zip(rest, stored):
        results[position] = result
    unchecked = checks.unchecked()
    if unchecked:
        run_all(checks.check, [unchecked], 1)
    if len(stored) < len(rest):  # stopped at a missing table: nothing after it counts
        del results[rest[len(stored)]:]
    return _cut_at_missing(results, keys, spill, stop_at_missing)


class _FillChecks:
    """The cache copies filled by the reads of `keys` from storage, checked against what
    storage holds once they are in place (`check_fills`, one listing per folder). The copies of
    one instrument's tables, which share their folders, are checked as soon as the last of
    them is read, by the thread that read it, so that the listing overlaps the reads still in
    flight instead of following them all; the rest (of reads that were stopped) at the end.
    `paths` gives the storage paths of a key, source by source, where known."""

    def __init__(self, keys: list[tuple[Instrument, int]], paths: dict) -> None:
        self.lock = threading.Lock()
        self.left = Counter(str(instrument) for instrument, _ in keys)
        self.filled: dict[str, list] = {}
        self.paths_of: dict[int, Any] = {}
        self.known = paths

    def read(self, key: tuple[Instrument, int], filled: Any) -> None:
        """The read of `key` ended; `filled` is its reader when it gave a table (whose copy
        may have been filled), else None."""
        name = str(key[0])
        with self.lock:
            if filled is not None:
                self.filled.setdefault(name, []).append(filled)
                self.paths_of[id(filled)] = self.known.get(key)
            self.left[name] -= 1
            ready = self.filled.pop(name, None) if self.left[name] == 0 else None
        if ready:
            self.check(ready)

    def unchecked(self) -> list:
        with self.lock:
            readers = [reader for group in self.filled.values() for reader in group]
            self.filled.clear()
        return readers

    def check(self, readers: list) -> None:
        check_fills(readers, lambda one: self.paths_of[id(one)] or source_paths(one))


def _cut_at_missing(results: list[Any], keys: list[tuple[Instrument, int]], spill: int | None,
                    stop_at_missing: bool) -> list[Any]:
    """`results` ending at the first missing table when `stop_at_missing`; the spill day's
    absent table is no missing day (NOT_STORED)."""
    if stop_at_missing:
        first_missing = next((position for position, result in enumerate(results) if isinstance(result, Missing)
                              and keys[position][1] != spill), None)
        if first_missing is not None:
            del results[first_missing + 1:]
    for position, result in enumerate(results):
        if isinstance(result, Missing) and keys[position][1] == spill:
            results[position] = NOT_STORED
    return results
