"""``write_range``: a frame of many days written as one table a day, each day whole or not at all.

Where a row goes is the rule that cut the source's files. Vendors cut their daily files by the
time a row reached them, the receive time ``local_timestamp``: the file of 2025-04-05 starts
with rows whose exchange time (``timestamp``) is a few milliseconds before its midnight. Such a
file, split by ``timestamp``, would put those rows on 2025-04-04 and cut that day to a sliver;
split by ``local_timestamp`` it lands whole on 2025-04-05, as the vendor delivered it. So:

1. ``day_by=`` (a column name, or an array of ``YYYYMMDD`` ints, one a row) when given;
2. for derivative tickers, liquidations and metrics: ``local_timestamp`` when the frame has it;
3. for bars, "CloseTime" when the frame has it (and, for the kinds above, no "timestamp" or
   "Time" comes first): a table stamped with the bar's end ("CloseTime" plus one) stamps the
   day's last bar with the next midnight, and its close time keeps it in its day;
4. otherwise the time ``get()`` indexes the table by.

Before anything is written the whole call is checked: every row has a day, epoch counts have
one unit, each day's columns have one type, ``get()`` can read each table back, and under
"replace" no stored day shrinks to a sliver of its time span unless the caller says so.
"""

from __future__ import annotations

import logging
import os
import threading
from collections.abc import Callable, Collection, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_utils.priceable.instrument import Instrument

from . import arguments
from .day_read import reader_on
from .frame_days import Day, Frame, unit_text
from .threads import default_workers, run_all

_POLICIES = ("error", "replace", "update", "skip")


@dataclass(frozen=True)
class DayPlan:
    """What ``write_range`` does (with ``dry_run``, would do) to one day: `action` is "write"
    (nothing stored yet), "replace", "update" or "skip"; the stored rows before and after
    (None for a skipped day, whose table is not read)."""

    day: int
    action: str
    rows_before: int | None
    rows_after: int | None


@dataclass
class WrittenRange:
    """What ``write_range`` did: the days written, the days left as they were because a table
    was already stored (``if_exists="skip"``), the plan day by day, and the rule that gave
    each row its day (`split_by`). With ``dry_run=True`` nothing is written and `written` is
    empty."""

    written: list[int] = field(default_factory=list)
    skipped: list[int] = field(default_factory=list)
    plan: list[DayPlan] = field(default_factory=list)
    split_by: str = ""


class RangeWriteError(Exception):
    """Some days could not be written. ``written`` lists the days that were (each whole),
    ``failed`` maps each day that was not to its cause (such a day holds its old table, or
    the new one when the store kept an upload whose answer was lost); the exception is
    chained to the first cause."""

    def __init__(self, message: str, written: list[int], failed: dict[int, BaseException]):
        super().__init__(message)
        self.written, self.failed = written, failed


class RangeWriteInterrupted(KeyboardInterrupt):
    """An interrupt (Ctrl-C) stopped ``write_range``. ``written``: days written whole;
    ``in_flight``: days being written when it came, each holding its old table or the whole
    new one (their writes may still finish); ``not_started``: days left as they were;
    ``failed``: days that failed before it, with their causes."""

    def __init__(self, written: list[int], in_flight: list[int], not_started: list[int],
                 failed: dict[int, BaseException]):
        super().__init__(f"write_range interrupted: {len(written)} days written ({_days_text(written)}), "
                         f"{len(in_flight)} in flight with their outcome unknown ({_days_text(in_flight)}), "
                         f"{len(not_started)} not started")
        self.written, self.in_flight, self.not_started, self.failed = written, in_flight, not_started, failed


def write_range(
    frame: pd.DataFrame,
    instrument: Instrument,
    data_type: DataType,
    *,
    data_sources: Sequence[DataSource] | None = None,
    use_minio_storage: bool | None = None,
    if_exists: str = "error",
    day_by: object = None,
    allow_shrink: bool | Collection[int] = False,
    dry_run: bool = False,
    max_workers: int | None = None,
) -> WrittenRange:
    """Writes `frame` as one table a day at the path ``CryptoMktData(day, instrument,
    data_type, ...).write`` uses (the first data source), each day's rows in their order and
    with the frame's columns, in threads. The day of each row is given by the module's rule
    (``local_timestamp`` for vendor files, "CloseTime" for bars, else the time ``get()``
    indexes) or by `day_by`: a column name, or one ``YYYYMMDD`` int a row.

    `if_exists`, when a day's table is already stored: "error" (the default) refuses the whole
    call; "skip" leaves the day; "replace" writes the frame's rows over it, but refuses,
    before anything is written, a day where the frame's rows span less than half the time the
    stored rows span (a sliver from a file cut another way) unless `allow_shrink` is True or
    lists that day; "update" replaces the stored rows whose time lies from the frame's first
    to its last time on that day and keeps the others, in the stored columns (a frame of
    another shape, column type or epoch unit than the stored day is refused). Two updates of
    one day at the same time are not serialised: the last write wins.

    Refused before anything is written (``ValueError``): a row without a day, an epoch column
    whose counts are not all of one unit, a column whose days would get different types, a
    frame that ``get()`` could not read back. `dry_run` returns the plan without writing.

    Each day is written whole or not at all. This machine's cached copies of a day are removed
    before it is written and after. A day that fails raises `RangeWriteError` once the others
    are done; an interrupt raises `RangeWriteInterrupted`, saying which days were written and
    which were in flight."""
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"frame must be a pandas DataFrame, got {type(frame).__name__}")
    if not isinstance(instrument, Instrument):
        raise TypeError(f"instrument must be an Instrument, got {type(instrument).__name__}")
    if if_exists not in _POLICIES:
        raise ValueError(f"if_exists must be one of {', '.join(map(repr, _POLICIES))}, got {if_exists!r}")
    workers = arguments.worker_count(max_workers) or default_workers()
    options = arguments.options(data_type, data_sources, use_minio_storage, True, False)
    shape = Frame(frame, options.data_type, f"{options.data_type.name} of {instrument}")
    result = WrittenRange(split_by=shape.rule(day_by))
    shape.check_units(day_by)
    shape.check_readable()
    days = shape.days(day_by)
    parts = shape.split(days, with_times=if_exists == "update")
    _check_types(parts, shape.what)
    if not parts:
        return result
    template = options.reader(instrument, next(iter(parts)))
    if not template.data_sources:
        raise ValueError("write_range needs at least one data source to write to")
    source = template.data_sources[0]
    readers = {day: reader_on(template, day) for day in parts}
    paths: dict[int, Any] = {day: reader.get_path(data_source=source) for day, reader in readers.items()}
    try:
        stored_days = [day for day, held in zip(parts, _held(template, list(paths.values()))) if held]
    except KeyboardInterrupt:
        raise RangeWriteInterrupted([], [], list(parts), {}) from None
    if stored_days and if_exists == "error":
        raise FileExistsError(f"{len(stored_days)} of {len(parts)} days of {shape.what} are already stored "
                              f"({_days_text(stored_days)}); nothing was written. "
                              "Pass if_exists='replace', 'update' or 'skip'")
    stored: dict[int, _Stored] = {}
    if if_exists in ("replace", "update") and stored_days:
        def read(day: int) -> _Stored:
            table = readers[day].io_obj.read_file_wrapper(load_path=paths[day])
            return _Stored.of(table, shape, day, if_exists == "update")

        try:
            stored = dict(zip(stored_days, run_all(read, stored_days, workers)))
        except KeyboardInterrupt:
            raise RangeWriteInterrupted([], [], list(parts), {}) from None
    tables_to_write, result.plan = _plan(parts, stored, set(stored_days), if_exists, allow_shrink, shape)
    result.skipped = [entry.day for entry in result.plan if entry.action == "skip"]
    if dry_run:
        return result

    # This machine's cached copies of each day, one for each source's path, named here once:
    # building a path is the costly part of a reader's remove_cache().
    copies = {day: _cache_paths(readers[day]) for day in tables_to_write}

    def write(day: int) -> None:
        # What reader.write() does, with the path built above.
        _drop_copies(copies[day])  # a copy from before the write is never served after it
        readers[day].io_obj.write_file_wrapper(dataframe=tables_to_write[day], write_path=paths[day])
        _drop_copies(copies[day])  # nor one a read cached while the write was under way

    written, failed = _write_days(write, list(tables_to_write), workers, shape.what)
    result.written = written
    if failed:
        first = next(iter(failed.values()))
        raise RangeWriteError(f"{len(failed)} of {len(tables_to_write)} days of {shape.what} could not be written "
                              f"({_days_text(list(failed))}); {len(written)} were: {type(first).__name__}: {first}",
                              written, failed) from first
    return result


@dataclass(frozen=True)
class _Stored:
    """A stored day's table, with the time get() indexes it by (for an update) or the time its
    rows span (for a replace); `error` when get() cannot read that time: nothing of such a
    table can be kept, only replaced."""

    table: pd.DataFrame
    times: pd.DatetimeIndex | None
    span: pd.Timedelta | None
    error: ValueError | None

    @classmethod
    def of(cls, table: pd.DataFrame, shape: Frame, day: int, update: bool) -> _Stored:
        try:
            stored = Frame(table, shape.data_type, f"the stored {shape.what} on {day}")
            if update:
                return cls(table, stored.times, None, None)
            return cls(table, None, stored.span(), None)
        except ValueError as error:
            return cls(table, None, None, error)


def _plan(parts: dict[int, Day], stored: dict[int, _Stored], stored_days: set[int], if_exists: str,
          allow_shrink: bool | Collection[int], shape: Frame) -> tuple[dict[int, pd.DataFrame], list[DayPlan]]:
    """The table to write for each day, and the plan; refuses slivers and mismatched updates
    before anything is written."""
    tables: dict[int, pd.DataFrame] = {}
    plan: list[DayPlan] = []
    slivers: list[str] = []
    for day, part in parts.items():
        rows = len(part.table)
        if day not in stored_days:
            tables[day] = part.table
            plan.append(DayPlan(day, "write", 0, rows))
            continue
        if if_exists == "skip":
            plan.append(DayPlan(day, "skip", None, None))
            continue
        old, old_times, unreadable = stored[day].table, stored[day].times, stored[day].error
        old_span = stored[day].span
        if unreadable is not None:
            if if_exists == "update":
                raise unreadable
            old = old.iloc[:0]  # get() cannot read the stored table: nothing of it can be kept
        if if_exists == "update":
            tables[day] = _updated(old, old_times, part, shape, day)
            plan.append(DayPlan(day, "update", len(old), len(tables[day])))
            continue
        shrinks = allow_shrink is True or (not isinstance(allow_shrink, bool) and day in allow_shrink)
        if not shrinks:
            new_span = Frame(part.table, shape.data_type, shape.what).span()
            if _sliver(new_span, rows, old_span, len(old)):
                slivers.append(f"{day} ({rows} rows spanning {new_span} for {len(old)} stored spanning {old_span})")
        tables[day] = part.table
        plan.append(DayPlan(day, "replace", len(old), rows))
    if slivers:
        raise ValueError(f"cannot replace {shape.what}: on {len(slivers)} day(s) the frame's rows span less than half "
                         f"the time the stored rows span: {'; '.join(slivers[:5])}"
                         f"{' and more' if len(slivers) > 5 else ''}. Nothing was written. A file cut by another "
                         "rule than the day's may leave a few rows on a neighbouring day: pass day_by, use "
                         "if_exists='update' to patch part of a day, or allow_shrink=[days] if they are to shrink")
    return tables, plan


def _sliver(new_span: pd.Timedelta | None, new_rows: int, old_span: pd.Timedelta | None, old_rows: int) -> bool:
    """Whether the new rows span less than half the old ones' time (without times, whether
    they are fewer than half as many)."""
    if new_span is None or old_span is None:
        return new_rows * 2 < old_rows
    return new_span * 2 < old_span


def _updated(old: pd.DataFrame, old_times: pd.DatetimeIndex | None, part: Day, shape: Frame,
             day: int) -> pd.DataFrame:
    """The stored day with the rows from the frame's first to its last time replaced by the
    frame's rows, in the stored columns."""
    where = f"cannot update {shape.what} on {day}"
    new = part.table
    if old.index.name != new.index.name or set(old.columns) != set(new.columns):
        raise ValueError(f"{where}: the frame's columns {list(new.columns)} (index {new.index.name!r}) are not the "
                         f"stored table's {list(old.columns)} (index {old.index.name!r})")
    for label in old.columns:
        if old[label].dtype != new[label].dtype:
            raise ValueError(f"{where}: column {label!r} is {new[label].dtype} in the frame and "
                             f"{old[label].dtype} in the stored table")
    old_units, new_units = shape.first_unit(old), shape.first_unit(new)
    for label, digits in new_units.items():
        if label in old_units and old_units[label] != digits:
            raise ValueError(f"{where}: column {label!r} holds {unit_text(digits)} in the frame and "
                             f"{unit_text(old_units[label])} in the stored table")
    if part.times is None or old_times is None:
        raise ValueError(f"{where}: its \"DateTime\" is not a time, so no rows can be matched by time")
    present = part.times.dropna()
    if len(present) == 0:
        raise ValueError(f"{where}: no row of the frame has a time")
    first, last = present.min(), present.max()
    stamps = old_times.asi8
    lost = old_times.isna()
    # 0: before the frame's span, 1: within it (replaced), 2: after it; a row without a time
    # keeps the place of the row before it.
    group = np.where(stamps < first.value, 0, np.where(stamps > last.value, 2, 1))
    group = pd.Series(np.where(lost, np.nan, group)).ffill().fillna(0).to_numpy(copy=True)
    group[lost & (group == 1)] = 2
    plain = isinstance(old.index, pd.RangeIndex) and old.index.name is None
    pieces = [old[group == 0], new[list(old.columns)], old[group == 2]]
    return pd.concat(pieces, ignore_index=plain)


def _write_days(write: Callable[[int], None], days: list[int], workers: int,
                what: str) -> tuple[list[int], dict[int, BaseException]]:
    """write(day) for every day in daemon threads; (written, failed). An interrupt raises
    `RangeWriteInterrupted` at once: the writes in flight are left to finish in the background
    (each day whole, old or new) and never keep the process from exiting."""
    lock = threading.Lock()
    pending = iter(days)
    state: dict[int, str] = {}
    failed: dict[int, BaseException] = {}
    stop = threading.Event()
    finished = threading.Semaphore(0)

    def work() -> None:
        try:
            while not stop.is_set():
                with lock:
                    day = next(pending, None)
                    if day is None:
                        return
                    state[day] = "in flight"
                try:
                    write(day)
                    outcome = "written"
                except Exception as error:
                    error.add_note(f"writing {what} on {day}")
                    failed[day] = error
                    outcome = "failed"
                with lock:
                    state[day] = outcome
        finally:
            finished.release()

    threads = [threading.Thread(target=work, name="light_data_batch-write", daemon=True)
               for _ in range(min(workers, len(days)))]
    try:
        for thread in threads:
            thread.start()
        for _ in threads:
            while not finished.acquire(timeout=0.25):
                pass
    except KeyboardInterrupt:
        stop.set()
        with lock:
            written = [day for day in days if state.get(day) == "written"]
            in_flight = [day for day in days if state.get(day) == "in flight"]
            not_started = [day for day in days if day not in state]
            done_failed = {day: failed[day] for day in days if state.get(day) == "failed"}
        raise RangeWriteInterrupted(written, in_flight, not_started, done_failed) from None
    written = [day for day in days if state.get(day) == "written"]
    return written, {day: failed[day] for day in days if day in failed}


def _cache_paths(reader: CryptoMktData) -> list[str]:
    paths = (reader.get_path(data_source=source) for source in reader.data_sources)
    return [os.path.join(reader.cache_dir, core.cache_name(path)) for path in paths if isinstance(path, str)]


def _drop_copies(cache_paths: list[str]) -> None:
    """Removes these cached copies, as remove_cache() does: a copy already gone, or a folder
    in its place, is left; any other failure is logged and the next copy removed."""
    for path in cache_paths:
        try:
            os.remove(path)
        except (FileNotFoundError, IsADirectoryError):
            pass
        except OSError as error:
            logging.exception(f"Error removing cache {path}, Exception = {error}")


def _held(reader: CryptoMktData, paths: list) -> list[bool]:
    """Whether a table is stored at each path: one listing per folder where the storage
    module can (``exists_many``), else one probe a path."""
    storage = reader.io_obj
    exists_many = getattr(storage, "exists_many", None)
    if exists_many is not None:
        return [bool(flag) for flag in exists_many(paths)]
    return [bool(storage.exists(path)) for path in paths]


def _check_types(parts: dict[int, Day], what: str) -> None:
    """Refuses an object column whose values would be stored as different types on different
    days (text on one, numbers on another), or as no single type on one day: such tables
    could not be read back together."""
    if not parts:
        return
    frame = next(iter(parts.values())).table
    for label in frame.columns:
        if frame[label].dtype != object:
            continue
        kinds: dict[str, int] = {}
        for day, part in parts.items():
            kind = pd.api.types.infer_dtype(part.table[label], skipna=True)
            if kind == "empty":
                continue
            if kind.startswith("mixed") and kind != "mixed-integer-float":
                raise ValueError(f"cannot write {what}: column {label!r} mixes types on {day} ({kind}); "
                                 "nothing was written")
            kinds.setdefault(kind, day)
        if len(kinds) > 1:
            shown = ", ".join(f"{kind} on {day}" for kind, day in kinds.items())
            raise ValueError(f"cannot write {what}: column {label!r} would be stored with different types on "
                             f"different days ({shown}); nothing was written")


def _days_text(days: Iterable[int], shown: int = 5) -> str:
    days = list(days)
    text = ", ".join(map(str, days[:shown]))
    return text + (f" and {len(days) - shown} more" if len(days) > shown else "")
