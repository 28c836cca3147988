"""The frame ``write_range`` writes: the day each row goes to, and the checks that ``get()`` can
read each day's table back (a time column it can index by, epoch counts of one unit that fit in
nanoseconds).

A day comes from raw epoch counts where the frame has them (no conversion of millions of rows to
times just to take their dates), otherwise from the time ``get()`` would index the row by.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_data.enums import DataType

RECEIVE_TIME = "local_timestamp"
CLOSE_TIME = "CloseTime"
_UNITS = {10: "seconds", 13: "milliseconds", 16: "microseconds", 19: "nanoseconds"}
_POWERS_OF_TEN = 10 ** np.arange(19, dtype=np.int64)
_NS_A_DAY = 86_400 * 10**9


@dataclass(frozen=True)
class Day:
    """One day's rows of the frame, and get()'s time of each (UTC; None when not a time)."""

    table: pd.DataFrame
    times: pd.DatetimeIndex | None


class Frame:
    """The frame to write, with the time ``get()`` would index it by (UTC, or None when that
    time is not a time), checked so that ``get()`` can read each day's table back."""

    def __init__(self, frame: pd.DataFrame, data_type: DataType, what: str):
        self.frame, self.data_type, self.what = frame, data_type, what
        self.normalised = bool(core.is_time_normalised(data_type))
        self.indexed_by_time = frame.index.name == core.INDEX_LABEL and core.INDEX_LABEL not in frame.columns
        self._times: pd.DatetimeIndex | None | str = "not yet read"
        self._check_time_column()

    @property
    def times(self) -> pd.DatetimeIndex | None:
        """The time get() indexes each row by, UTC; None when it is not a time."""
        if isinstance(self._times, str):
            self._times = self._indexed_times()
        return self._times

    def _needed(self) -> tuple[str, ...]:
        return (core.INDEX_LABEL, *core.TIME_LABELS) if self.normalised else (core.INDEX_LABEL,)

    def _check_time_column(self) -> None:
        frame, needed = self.frame, self._needed()
        if not self.indexed_by_time and not any(label in frame.columns for label in needed):
            labels = ", ".join(f'"{label}"' for label in needed)
            index = frame.index
            hint = ""
            if isinstance(index, pd.DatetimeIndex):
                hint = f'; its index is a time named {index.name!r}: name it "DateTime" (frame.rename_axis("DateTime"))'
            elif isinstance(index, pd.MultiIndex) and core.INDEX_LABEL in index.names:
                hint = ('; its index has the levels ' + ", ".join(map(repr, index.names)) +
                        ': write one instrument at a time (frame.xs(name, level="instrument"))')
            raise ValueError(f"cannot write {self.what}: get() could not read it back, the frame has no time "
                             f"column ({labels}) and no \"DateTime\" index{hint}")

    def check_readable(self) -> None:
        """Refuses a frame whose time get() could not read back. An integer epoch column of one
        unit whose counts fit in nanoseconds needs no reading: get() reads every such column."""
        label = self._epoch_time_label()
        if label is None or not _counts_fit(self.frame[label], label == CLOSE_TIME):
            self.times  # noqa: B018  (reads the time, raising for one that get() could not read)

    def span(self) -> pd.Timedelta | None:
        """The time from the first to the last row, as get() indexes them; None when that time
        is not a time. From the least and largest count of an integer epoch column."""
        label = self._epoch_time_label()
        if label is not None:
            column = self.frame[label]
            if len(column) == 0:
                return pd.Timedelta(0)
            close_time = label == CLOSE_TIME
            if _one_digit_count(column) and _counts_fit(column, close_time):
                least, largest = int(column.min()), int(column.max())
                digits = int(np.searchsorted(_POWERS_OF_TEN, least + close_time, side="right"))
                return pd.Timedelta((largest - least) * 10 ** max(19 - digits, 0))
        return _span(self.times)

    def _epoch_time_label(self) -> object:
        """The label of the integer epoch column get() takes the time from, if it is one."""
        if not self.normalised or self.indexed_by_time or core.INDEX_LABEL in self.frame.columns:
            return None
        found = core.time_column(self.frame.columns)
        if found is None or not self.frame.columns.is_unique or self.frame[found[0]].dtype.kind != "i":
            return None
        return found[0]

    def _indexed_times(self) -> pd.DatetimeIndex | None:
        frame, needed = self.frame, self._needed()
        if self.indexed_by_time:
            return _as_utc(frame.index)
        # Only the columns get() looks at: a copy of the whole frame would split its blocks.
        looked_at = [label for label in needed if label in frame.columns]
        if frame.columns.is_unique:
            frame = pd.DataFrame({label: frame[label] for label in looked_at}, copy=False)
        try:
            indexed = core.index_by_time(self.data_type, frame.copy(deep=False))
        except (ValueError, TypeError, OverflowError, KeyError) as error:
            raise ValueError(f"cannot write {self.what}: get() could not read its time back: "
                             f"{type(error).__name__}: {error}") from error
        return _as_utc(indexed.index)

    def _day_column(self, day_by: object) -> object:
        """The label of the column that gives each row its day, or None for get()'s time."""
        columns = self.frame.columns
        if day_by is not None:
            return day_by if _is_label(day_by) else None
        if self.normalised and RECEIVE_TIME in columns:
            return RECEIVE_TIME
        # A bar's close time lies in its own day, whether the table is stamped with the bar's
        # open or its end (close plus one, which for a day's last bar is the next midnight).
        if CLOSE_TIME in columns and (not self.normalised or core.time_column(
                [label for label in columns if label != core.INDEX_LABEL]) == (CLOSE_TIME, True)):
            return CLOSE_TIME
        return None

    def rule(self, day_by: object) -> str:
        if day_by is not None and not _is_label(day_by):
            return "day_by (one day a row)"
        label = self._day_column(day_by)
        return "the time get() indexes" if label is None else f"column {label!r}"

    def days(self, day_by: object) -> tuple[np.ndarray, int]:
        """The UTC day of each row: keys, and how many of them make a day since 1970-01-01
        (epoch counts and their count a day, nanoseconds, or days)."""
        frame = self.frame
        if day_by is not None and not _is_label(day_by):
            return _given_days(day_by, len(frame), self.what), 1
        label = self._day_column(day_by)
        if label is None:
            if self.times is None:
                raise ValueError(f"cannot write {self.what}: its \"DateTime\" is not a time, so no row has a day; "
                                 "pass day_by (a column, or one YYYYMMDD int a row)")
            times = self.times
        elif label not in frame.columns:
            raise ValueError(f"day_by names no column of the frame: {label!r}")
        else:
            days = _epoch_days(frame[label])
            if days is not None:
                return days
            times = self._column_times(label)
        if times.hasnans:
            position = int(np.flatnonzero(times.isna())[0])
            where = "its time" if label is None else f"{label!r}"
            raise ValueError(f"cannot write {self.what}: row {frame.index[position]!r} (position {position}) has no "
                             f"{where}, so no day; nothing was written. Give it one, or pass day_by")
        return times.asi8, _NS_A_DAY

    def _column_times(self, label: object) -> pd.DatetimeIndex:
        """The UTC times of an epoch or time column, read by get()'s own rules."""
        column = self.frame[label]
        if isinstance(column, pd.DataFrame):
            raise ValueError(f"cannot write {self.what}: the frame has {len(column.columns)} columns named {label!r}")
        kind = self.data_type if self.normalised else DataType.DerivativeTicker
        try:
            indexed = core.index_by_time(kind, pd.DataFrame({core.TIME_LABELS[0]: column.reset_index(drop=True)}))
        except (ValueError, TypeError, OverflowError) as error:
            raise ValueError(f"cannot write {self.what}: column {label!r} is not a time: "
                             f"{type(error).__name__}: {error}") from error
        times = _as_utc(indexed.index)
        if times is None:
            raise ValueError(f"cannot write {self.what}: column {label!r} is not a time")
        return times

    def epoch_columns(self, day_by: object) -> list:
        """The columns whose counts get() or the split scale by their digit count."""
        columns = self.frame.columns
        labels: list[Any] = []
        if self.normalised and core.INDEX_LABEL not in columns and not self.indexed_by_time:
            found = core.time_column(columns)
            if found is not None:
                labels.append(found[0])
        day_column = self._day_column(day_by)
        if day_column is not None and day_column not in labels:
            labels.append(day_column)
        return labels

    def check_units(self, day_by: object) -> None:
        """Refuses an epoch column whose present counts do not all have the first one's digit
        count: get() reads the whole column in the first one's unit."""
        for label in self.epoch_columns(day_by):
            column = self.frame[label]
            if _one_digit_count(column):
                continue
            digits = _digit_counts(column)
            if digits is None:
                continue
            present = np.flatnonzero(digits >= 0)
            if present.size == 0:
                continue
            first = digits[present[0]]
            other = present[digits[present] != first]
            if other.size:
                position = int(other[0])
                raise ValueError(
                    f"cannot write {self.what}: column {label!r} mixes units: {unit_text(first)} first, then "
                    f"{unit_text(digits[position])} from row {self.frame.index[position]!r} (position {position}); "
                    "get() would read them all in the first one's unit. Nothing was written: convert the column "
                    "to one unit")

    def split(self, days: tuple[np.ndarray, int], with_times: bool) -> dict[int, Day]:
        """Each day's rows (by YYYYMMDD), in their order: slices without a copy when the keys
        (counts `per_day` to a day since 1970) are sorted, the common case."""
        frame, times = self.frame, self.times if with_times else None
        plain = isinstance(frame.index, pd.RangeIndex) and frame.index.name is None
        keys, per_day = days
        if keys.size == 0:
            return {}
        first, last = int(keys[0]) // per_day, int(keys[-1]) // per_day
        pieces: list[tuple[int, Any]] = []
        if pd.Index(keys, copy=False).is_monotonic_increasing and last < np.iinfo(np.int64).max // per_day - 1:
            cuts = np.searchsorted(keys, np.arange(first + 1, last + 1, dtype=np.int64) * per_day, side="left")
            edges = np.concatenate(([0], cuts, [keys.size]))
            pieces = [(first + i, slice(int(start), int(stop)))
                      for i, (start, stop) in enumerate(zip(edges[:-1], edges[1:])) if start < stop]
        else:
            day_keys = np.floor_divide(keys, per_day)
            order = np.argsort(day_keys, kind="stable")
            sorted_days = day_keys[order]
            edges = np.concatenate(([0], np.flatnonzero(np.diff(sorted_days)) + 1, [keys.size]))
            pieces = [(int(sorted_days[start]), order[start:stop]) for start, stop in zip(edges[:-1], edges[1:])]
        parts = {}
        for day, rows in pieces:
            table = frame.iloc[rows]
            parts[_yyyymmdd(day)] = Day(table.reset_index(drop=True) if plain else table,
                              None if times is None else times[rows])
        return parts

    def first_unit(self, table: pd.DataFrame) -> dict:
        """The digit count of the first present count of each epoch column of `table`."""
        units = {}
        for label in self.epoch_columns(None):
            if label in table.columns:
                column = table[label]
                # Only the first present count: the units within a table were checked apart.
                position = 0 if column.dtype.kind in "iu" else column.first_valid_index()
                if len(column) and position is not None:
                    first = column.iloc[:1] if column.dtype.kind in "iu" else column.loc[[position]]
                    digits = _digit_counts(first)
                    if digits is not None and digits[0] >= 0:
                        units[label] = int(digits[0])
        return units



def _span(times: pd.DatetimeIndex | None) -> pd.Timedelta | None:
    if times is None:
        return None
    stamps = times.asi8
    present = stamps[stamps != np.iinfo(np.int64).min]
    return pd.Timedelta(int(present.max() - present.min()) if present.size else 0)


def _as_utc(values: Any) -> pd.DatetimeIndex | None:
    """`values` as a UTC DatetimeIndex in nanoseconds (naive times taken as UTC); None when they
    are not times."""
    if not isinstance(values, pd.DatetimeIndex):
        if pd.api.types.infer_dtype(values, skipna=True) not in ("datetime", "datetime64", "date"):
            return None
        values = pd.DatetimeIndex(pd.to_datetime(values, utc=True))
    values = values.tz_localize("UTC") if values.tz is None else values.tz_convert("UTC")
    return values if values.unit == "ns" else values.as_unit("ns")


def _given_days(day_by: object, rows: int, what: str) -> np.ndarray:
    days = np.asarray(day_by)
    if days.shape != (rows,):
        raise ValueError(f"day_by must name a column or hold one YYYYMMDD day for each of the {rows} rows, "
                         f"got shape {days.shape}")
    if days.dtype.kind not in "iu":
        raise TypeError(f"day_by must hold int days YYYYMMDD, got {days.dtype}")
    days = days.astype(np.int64)
    text = pd.Series(days).astype(str)
    parsed = pd.to_datetime(text, format="%Y%m%d", errors="coerce")
    if parsed.isna().any():
        position = int(np.flatnonzero(parsed.isna().to_numpy())[0])
        raise ValueError(f"cannot write {what}: day_by holds {days[position]} at position {position}, "
                         "which is not a day YYYYMMDD")
    return parsed.to_numpy(dtype="datetime64[D]").astype(np.int64)


def _yyyymmdd(epoch_day: int) -> int:
    day = np.datetime64(epoch_day, "D").astype(object)
    return day.year * 10_000 + day.month * 100 + day.day


def _is_label(day_by: object) -> bool:
    return isinstance(day_by, (str, bytes, int, tuple)) and not isinstance(day_by, bool) or np.isscalar(day_by)


def _digit_counts(column: pd.Series) -> np.ndarray | None:
    """The digit count of each count of an epoch column (-1 where missing, 0 for a negative
    count), or None for a column that does not hold counts."""
    kind = column.dtype.kind
    missing = column.isna().to_numpy()
    if kind in "iuf":
        values = column.to_numpy(dtype="float64" if kind == "f" else "int64", na_value=0)
        if kind == "f":
            values = np.trunc(np.where(missing, 0, values))
            if np.any(np.abs(values) >= 2.0 ** 63):
                return None  # get() refuses such a count itself
            values = values.astype(np.int64)
        counts = np.searchsorted(_POWERS_OF_TEN, values, side="right").astype(np.int64)
        counts[values < 0] = 0
    elif kind in "OUT" or isinstance(column.dtype, pd.StringDtype):
        text = column.astype(object).where(~missing, "").to_numpy(dtype=object)
        text = np.array([value if isinstance(value, str) else str(value) for value in text], dtype=object)
        missing = missing | (text == "")
        first = np.flatnonzero(~missing)
        if first.size == 0 or not text[first[0]].isdigit():
            return None
        counts = np.fromiter((len(value) for value in text), dtype=np.int64, count=len(text))
    else:
        return None
    counts[missing] = -1
    return counts


def _epoch_days(column: pd.Series) -> tuple[np.ndarray, int] | None:
    """The counts of an int64 epoch column of one unit of a whole second or finer, and how many
    make a day: its days straight from the counts; None for any other column."""
    if column.dtype != np.int64 or len(column) == 0 or not _one_digit_count(column):
        return None
    values = column.to_numpy()
    digits = int(np.searchsorted(_POWERS_OF_TEN, values[0], side="right"))
    if digits < 10 or values[0] < 0:
        return None
    return values, 86_400 * 10 ** (digits - 10)


def _counts_fit(column: pd.Series, close_time: bool) -> bool:
    """True when get() scales every count of an integer epoch column of one unit (checked
    before) to nanoseconds without leaving int64."""
    if len(column) == 0:
        return True
    least, largest = int(column.min()), int(column.max())
    if least < 0:
        return False
    digits = int(np.searchsorted(_POWERS_OF_TEN, least + close_time, side="right"))
    return largest + close_time <= np.iinfo(np.int64).max // 10 ** max(19 - digits, 0)


def _one_digit_count(column: pd.Series) -> bool:
    """True when a numeric column's present counts surely share one digit count (its least and
    its largest do, and none is negative): the common case, told without a pass a row."""
    if column.dtype.kind not in "iuf" or len(column) == 0:
        return False
    least, largest = column.min(), column.max()
    if pd.isna(least) or least < 0:
        return pd.isna(least)
    ends = np.trunc(np.array([least, largest], dtype="float64"))
    if ends[1] >= 2.0 ** 62:
        return False
    digits = np.searchsorted(_POWERS_OF_TEN, ends.astype(np.int64), side="right")
    return bool(digits[0] == digits[1])


def unit_text(digits: int) -> str:
    if digits == 0:
        return "negative counts (taken as nanoseconds)"
    name = _UNITS.get(int(digits))
    return f"{name} ({digits} digits)" if name else f"{digits}-digit counts"
