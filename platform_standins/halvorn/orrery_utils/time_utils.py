"""Trading calendar helpers for dates written as ``int`` YYYYMMDD.

Dates travel through the platform as plain integers such as ``20240107``.
:func:`date_from_int` is the one place that checks such a value: it must be an
``int`` (``bool`` is refused even though it subclasses ``int``) of exactly
eight digits naming a real calendar day.
"""

from __future__ import annotations

import datetime as _dt

__all__ = ["TradingDay", "date_from_int", "date_to_int"]

_MIN_DATE_INT = 10000101
_MAX_DATE_INT = 99991231


def date_from_int(value: object, name: str = "date") -> _dt.date:
    """Parse an ``int`` YYYYMMDD into a :class:`datetime.date`.

    Raises ``TypeError`` for anything but a plain ``int`` and ``ValueError``
    for a number that is not eight digits or not a real calendar day.
    """
    if type(value) is not int:
        raise TypeError(f"{name} must be an int YYYYMMDD, got {type(value).__name__}")
    if not _MIN_DATE_INT <= value <= _MAX_DATE_INT:
        raise ValueError(f"{name} must be an 8-digit YYYYMMDD date, got {value}")
    year, rest = divmod(value, 10000)
    month, day = divmod(rest, 100)
    try:
        return _dt.date(year, month, day)
    except ValueError as exc:
        raise ValueError(f"{name} {value} is not a calendar date: {exc}") from None


def date_to_int(day: _dt.date) -> int:
    """Write a :class:`datetime.date` as an ``int`` YYYYMMDD."""
    value = day.year * 10000 + day.month * 100 + day.day
    if not _MIN_DATE_INT <= value <= _MAX_DATE_INT:
        raise ValueError(f"{day.isoformat()} has no 8-digit YYYYMMDD form")
    return value


class TradingDay:
    """Calendar rules used to pick snapshot dates."""

    def get_last_sunday(self, date_int: int) -> int:
        """Return the Sunday on or before ``date_int`` (a Sunday maps to itself)."""
        day = date_from_int(date_int, "date_int")
        # weekday(): Monday is 0 and Sunday is 6, so Sunday steps back 0 days.
        return date_to_int(day - _dt.timedelta(days=(day.weekday() + 1) % 7))
