"""``write_range``: a frame of many days written as one table a day, each day whole or not at all."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import cast

import pandas as pd

from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_utils.priceable.instrument import Instrument

from . import arguments
from .day_read import reader_on
from .threads import default_workers, run_all

_POLICIES = ("error", "replace", "skip")


@dataclass
class WrittenRange:
    """What ``write_range`` did: the days written, and the days left as they were because a
    table was already stored (``if_exists="skip"``)."""

    written: list[int] = field(default_factory=list)
    skipped: list[int] = field(default_factory=list)


class RangeWriteError(Exception):
    """Some days could not be written. ``written`` lists the days that were (each whole),
    ``failed`` maps each day that was not to its cause; the exception is chained to the first
    cause."""

    def __init__(self, message: str, written: list[int], failed: dict[int, BaseException]):
        super().__init__(message)
        self.written, self.failed = written, failed


def day_of_each_row(frame: pd.DataFrame, data_type: DataType) -> pd.Series:
    """The UTC day (int YYYYMMDD) of each row of `frame`, from its time as ``get()`` would
    read it: the "DateTime" index or column, or for the time-normalised kinds their stored time
    column by the reader's own rules."""
    if frame.index.name == core.INDEX_LABEL and core.INDEX_LABEL not in frame.columns:
        times = frame.index
    else:
        indexed = core.index_by_time(data_type, frame.copy(deep=False))
        times = indexed.index
    if not isinstance(times, pd.DatetimeIndex):
        try:
            times = pd.DatetimeIndex(times)
        except (TypeError, ValueError) as error:
            raise ValueError(f"the time of the frame is {times.dtype}, not a time: cannot split it by day") from error
    times = times.tz_localize("UTC") if times.tz is None else times.tz_convert("UTC")
    if times.hasnans:
        raise ValueError("the frame has rows without a time: cannot tell their day")
    return pd.Series(times.year * 10_000 + times.month * 100 + times.day, index=frame.index)


def write_range(
    frame: pd.DataFrame,
    instrument: Instrument,
    data_type: DataType,
    *,
    data_sources: Sequence[DataSource] | None = None,
    use_minio_storage: bool | None = None,
    if_exists: str = "error",
    max_workers: int | None = None,
) -> WrittenRange:
    """Writes `frame` as one table a day, split by the UTC day of each row's time (its
    "DateTime" index or column, or the stored time column of the time-normalised kinds, read by
    the reader's own rules), each day's rows in their order and with the frame's columns, at
    the path ``CryptoMktData(day, instrument, data_type, ...).write`` uses (the first data
    source), in threads.

    `if_exists`: "error" (the default) refuses the whole call, before anything is written,
    when a day's table is already stored; "replace" writes over it; "skip" leaves it and lists
    the day as skipped. Each day is written whole or not at all (the storage module's writes
    are atomic). This machine's cached copies of the written days are removed, so that a read
    after ``write_range`` is fresh here; other machines' caches keep serving their copies until
    they are removed there (``remove_cache()``, ``light-data-cache prune``). A day that fails
    raises `RangeWriteError` once the others are done, saying which were written."""
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"frame must be a pandas DataFrame, got {type(frame).__name__}")
    if not isinstance(instrument, Instrument):
        raise TypeError(f"instrument must be an Instrument, got {type(instrument).__name__}")
    if if_exists not in _POLICIES:
        raise ValueError(f"if_exists must be one of {', '.join(map(repr, _POLICIES))}, got {if_exists!r}")
    options = arguments.options(data_type, data_sources, use_minio_storage, True, False)
    days = day_of_each_row(frame, options.data_type)
    # A frame with a plain row numbering is stored without it, as each day's own table would be.
    plain = isinstance(frame.index, pd.RangeIndex) and frame.index.name is None
    # Grouped by an array (not a Series, which would align on the index): each key is one day.
    by_day = {int(cast(int, day)): rows.reset_index(drop=True) if plain else rows
              for day, rows in frame.groupby(days.to_numpy(), sort=True)}
    result = WrittenRange()
    if not by_day:
        return result
    template = options.reader(instrument, next(iter(by_day)))
    readers = {day: reader_on(template, day) for day in by_day}
    if not template.data_sources:
        raise ValueError("write_range needs at least one data source to write to")
    workers = max_workers or default_workers()
    to_write = list(by_day)
    if if_exists != "replace":
        source = template.data_sources[0]
        stored = run_all(lambda day: bool(readers[day].io_obj.exists(readers[day].get_path(data_source=source))),
                         to_write, workers)
        present = [day for day, is_stored in zip(to_write, stored) if is_stored]
        if present and if_exists == "error":
            raise FileExistsError(f"{len(present)} of {len(to_write)} days of {options.data_type.name} for "
                                  f"{instrument} are already stored ({_days_text(present)}); nothing was written. "
                                  "Pass if_exists='replace' or 'skip'")
        result.skipped = present
        skipped = set(present)
        to_write = [day for day in to_write if day not in skipped]

    def write(day: int) -> tuple[BaseException | None]:
        # The failure is kept as a value: the other days are written all the same.
        try:
            readers[day].write(by_day[day])
            readers[day].remove_cache()
        except Exception as error:
            error.add_note(f"writing {options.data_type.name} of {instrument} on {day}")
            return (error,)
        return (None,)

    outcomes = run_all(write, to_write, workers)
    failed = {day: outcome[0] for day, outcome in zip(to_write, outcomes) if outcome[0] is not None}
    result.written = [day for day in to_write if day not in failed]
    if failed:
        first = next(iter(failed.values()))
        raise RangeWriteError(f"{len(failed)} of {len(to_write)} days of {options.data_type.name} for {instrument} "
                              f"could not be written ({_days_text(list(failed))}); {len(result.written)} were: "
                              f"{type(first).__name__}: {first}", result.written, failed) from first
    return result


def _days_text(days: list[int], shown: int = 5) -> str:
    text = ", ".join(map(str, days[:shown]))
    return text + (f" and {len(days) - shown} more" if len(days) > shown else "")
