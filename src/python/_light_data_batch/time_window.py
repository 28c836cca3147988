"""The span of a range read: whole calendar days, or a time window [start, end) in UTC.

`start` and `end` are each either an int date YYYYMMDD (any integral type; the whole day) or
an instant: a ``pd.Timestamp``, a ``datetime.datetime``, a ``numpy.datetime64`` or ISO-8601
text such as "2024-03-01T12:00:00+02:00" (an instant without an offset is taken as UTC).
Two dates read whole days and keep every row of their tables. As soon as one end is an
instant the call reads a window: a date at the start stands for its day's 00:00 UTC, a date
at the end for the next day's 00:00 UTC (the date stays included), every UTC calendar day
that overlaps the window is read, and rows outside ``start <= DateTime < end`` are dropped.
Vendors cut their files by the time a row reached them, so a day's table holds rows stamped
shortly before its midnight: a window that ends within `SPILL_NS` of a midnight also reads
the next day's table (its `spill` day) for the rows stamped inside the window. That table
may be absent, as the latest day's often is: it is then not a missing day.

No table can hold a day after tomorrow (UTC, by this machine's clock; tomorrow is kept for
clocks running behind the vendors'): the days of a range end there (`last_possible_day`). A
range whose end lies past it reads up to it, and those later days are neither read nor listed
as missing; a range that starts after it is refused.
"""

from __future__ import annotations

import datetime as dt
import numbers
import re
from dataclasses import dataclass

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

from halvorn.orrery_data import _light_data_core as core

INDEX = core.INDEX_LABEL
_EPOCH = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
_DAY_NS = 86_400 * 10**9
_NS_PER = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1
# How long before a midnight a window's end makes the next day's table worth reading: far more
# than the milliseconds to seconds by which vendors' receive times trail the exchange's.
SPILL_NS = 3_600 * 10**9
# ISO-8601 with separators: a date, then optionally a time and an offset. Text of digits alone
# ("20240301") is refused: it reads like an int date but would mean an instant.
_ISO_INSTANT = re.compile(r"\d{4}-\d{2}-\d{2}"
                          r"([T ]\d{2}(:\d{2}(:\d{2}([.,]\d{1,9})?)?)?)?"
                          r"(Z|[+-]\d{2}(:?\d{2})?)?", re.ASCII)


def _is_integer(value: object) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, (bool, np.bool_))


def calendar_day(value: object, what: str) -> dt.date:
    """The calendar date of an int YYYYMMDD (of any integral type; bool is refused)."""
    if not _is_integer(value):
        raise ValueError(f"{what} must be an int date YYYYMMDD, got {type(value).__name__} {value!r}")
    number = int(value)  # type: ignore[call-overload]
    if not 10_000_101 <= number <= 99_991_231:
        raise ValueError(f"{what} must be a date YYYYMMDD, got {number}")
    try:
        return dt.date(number // 10_000, number // 100 % 100, number % 100)
    except ValueError:
        raise ValueError(f"{what} {number} is not a calendar date") from None


def _date_number(day: dt.date) -> int:
    return day.year * 10_000 + day.month * 100 + day.day


def _day_start_ns(day: dt.date) -> int:
    return (day - _EPOCH.date()).days * _DAY_NS


def instant_ns(value: object, what: str) -> int:
    """Nanoseconds since the epoch of the instant `value`, in UTC; naive instants are UTC."""
    if isinstance(value, str):
        if not _ISO_INSTANT.fullmatch(value.strip()):
            hint = (f"; for the whole day give the int {value.strip()}"
                    if value.strip().isdigit() and len(value.strip()) == 8 else "")
            raise ValueError(f"{what} must be an int date YYYYMMDD or an instant; the text {value!r} is not "
                             f"ISO-8601 such as '2024-03-01T12:00:00+00:00'{hint}")
        try:
            value = pd.Timestamp(value.strip())
        except ValueError as error:
            raise ValueError(f"{what} {value!r} is not an instant: {error}") from None
    elif isinstance(value, np.datetime64):
        value = pd.Timestamp(value)
    if value is pd.NaT:
        raise ValueError(f"{what} is NaT, not an instant")
    if isinstance(value, pd.Timestamp):
        if value.tz is not None:
            value = value.tz_convert("UTC").tz_localize(None)
        try:
            return int(value.as_unit("ns").value)
        except (OverflowError, ValueError):
            raise ValueError(f"{what} {value} lies outside the times of nanosecond precision (1677 to 2262)") from None
    if isinstance(value, dt.datetime):
        if value.tzinfo is None or value.utcoffset() is None:
            value = value.replace(tzinfo=dt.timezone.utc)
        return (value - _EPOCH) // dt.timedelta(microseconds=1) * 1000
    raise ValueError(f"{what} must be an int date YYYYMMDD or an instant (pd.Timestamp, datetime, ISO-8601 "
                     f"text), got {type(value).__name__} {value!r}")


@dataclass(frozen=True)
class Window:
    """Rows with ``start_ns <= DateTime < end_ns`` (UTC nanoseconds since the epoch) are kept."""

    start_ns: int
    end_ns: int
    spill: int | None = None  # the day after the window whose table may hold rows inside it

    def bounds(self, unit: str) -> tuple[int, int]:
        """The window in counts of `unit`: a count c is inside when low <= c < high."""
        per = _NS_PER[unit]
        low, high = -(-self.start_ns // per), -(-self.end_ns // per)  # both rounded up
        # NaT is the smallest int64: a low bound above it keeps missing times out.
        return max(low, _INT64_MIN + 1), min(high, _INT64_MAX)

    def __str__(self) -> str:
        return f"[{_text(self.start_ns)}, {_text(self.end_ns)})"


def _text(ns: int) -> str:
    try:
        return pd.Timestamp(ns, tz="UTC").isoformat()
    except (OverflowError, ValueError):
        return f"{ns} ns"


def last_possible_day() -> dt.date:
    """The last day whose table can exist: tomorrow in UTC (see the module's docstring)."""
    return dt.datetime.now(dt.timezone.utc).date() + dt.timedelta(days=1)


def _up_to_possible(first: dt.date, last: dt.date, start: object) -> dt.date:
    """`last`, or the last possible day when it comes earlier; a range that starts after that
    day is refused."""
    possible = last_possible_day()
    if first > possible:
        raise ValueError(f"start {start!r} is after {_date_number(possible)}, the last day whose table can "
                         "exist (tomorrow, UTC): no day of the range can have data")
    return min(last, possible)


def span(start: object, end: object) -> tuple[list[int], Window | None]:
    """The days to read (int YYYYMMDD, every UTC calendar day from the first to the last,
    ending at the last possible day) and the window to cut their rows to; None when both
    ends are whole days."""
    if _is_integer(start) and _is_integer(end):
        first, last = calendar_day(start, "start"), calendar_day(end, "end")
        if first > last:
            raise ValueError(f"start {start} is after end {end}")
        return _days(first, _up_to_possible(first, last, start)), None
    start_ns = _day_start_ns(calendar_day(start, "start")) if _is_integer(start) else instant_ns(start, "start")
    end_ns = (_day_start_ns(calendar_day(end, "end")) + _DAY_NS if _is_integer(end) else instant_ns(end, "end"))
    window = Window(start_ns, end_ns)
    if start_ns >= end_ns:
        raise ValueError(f"start {start!r} is not before end {end!r}: the window {window} holds no time")
    first = (_EPOCH + dt.timedelta(microseconds=start_ns // 1000)).date()
    last = (_EPOCH + dt.timedelta(microseconds=(end_ns - 1) // 1000)).date()
    for day, what in ((first, "start"), (last, "end")):
        if not 1000 <= day.year <= 9999:
            raise ValueError(f"{what} {window} lies outside the dates YYYYMMDD")
    possible = _up_to_possible(first, last, start)
    if possible < last:  # no day after the last possible one has a table to spill from
        return _days(first, possible), window
    if last < dt.date.max:
        following = last + dt.timedelta(days=1)
        if end_ns > _day_start_ns(following) - SPILL_NS:
            window = Window(start_ns, end_ns, _date_number(following))
    return _days(first, last), window


def _days(first: dt.date, last: dt.date) -> list[int]:
    return [_date_number(first + dt.timedelta(days=i)) for i in range((last - first).days + 1)]


class WindowError(ValueError):
    """A table whose "DateTime" is not a time cannot be cut to a time window."""


def _refuse(kind: str, what: str) -> WindowError:
    return WindowError(f"a time window needs times, but the DateTime of this {kind} table is {what}; "
                       "read whole days with int dates YYYYMMDD")


def arrow_rows(table: pa.Table, window: Window, kind: str) -> pa.Table:
    """The rows of `table` whose "DateTime" column lies in `window` (tz-aware times compared
    in UTC, naive times taken as UTC); `table` itself when every row does."""
    column = table.column(INDEX)
    if not pa.types.is_timestamp(column.type):
        raise _refuse(kind, str(column.type))
    low, high = window.bounds(column.type.unit)
    if column.null_count == 0 and len(column):
        extremes = pc.min_max(column)
        if extremes["min"].value >= low and extremes["max"].value < high:
            return table
    bound = column.type
    inside = pc.and_(pc.greater_equal(column, pa.scalar(low, bound)), pc.less(column, pa.scalar(high, bound)))
    return table.filter(inside)  # rows without a time (null) are dropped


def frame_rows(frame: pd.DataFrame, window: Window, kind: str) -> pd.DataFrame:
    """The rows of `frame` whose "DateTime" index lies in `window`, compared as `arrow_rows` does."""
    index = frame.index
    if not isinstance(index, pd.DatetimeIndex):
        raise _refuse(kind, str(index.dtype))
    low, high = window.bounds(index.unit)
    counts = index.asi8
    inside = (counts >= low) & (counts < high)
    return frame if inside.all() else frame[inside]
