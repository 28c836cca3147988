"""The text that the commands take, read one way everywhere: sizes, ages and dates.

Private: the commands and the companions call these; a wrong text raises ValueError with a
message that says what was expected.
"""

from __future__ import annotations

import datetime as dt
import decimal
import math
import re

_SIZE = re.compile(r"(\d+(?:\.\d*)?)([KMGT]?)", re.IGNORECASE)
_AGE = re.compile(r"(\d+(?:\.\d*)?)([smhdw])")
_AGE_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}
# The largest size a file system can report (off_t); anything above is a typing slip.
_MAX_SIZE = 2**63 - 1


def parse_size(text: str) -> int:
    """Bytes from "1234", "500M", "10G" (K, M, G, T are powers of 1024)."""
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"size must be a number of bytes, optionally with K, M, G or T: {text!r}")
    # Exact decimal arithmetic: a float would round large sizes and overflow on long ones.
    with decimal.localcontext() as context:
        context.prec = len(match[1]) + 20
        size = int(decimal.Decimal(match[1]) * 1024 ** " KMGT".index(match[2].upper() or " "))
    if size > _MAX_SIZE:
        raise ValueError(f"size is larger than any file system holds (at most 8 EiB): {text!r}")
    return size


def parse_age(text: str) -> float:
    """Seconds from "90s", "90m", "12h", "30d", "2w"."""
    match = _AGE.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"age must be a number with s, m, h, d or w (e.g. 30d): {text!r}")
    seconds = float(match[1]) * _AGE_UNITS[match[2]]
    if not math.isfinite(seconds):
        raise ValueError(f"age is too large: {text!r}")
    return seconds


_DATE = re.compile(r"\d{8}|\d{4}-\d{2}-\d{2}")


def parse_date(text: str) -> int:
    """A trading date ``YYYYMMDD`` from "20240301" or "2024-03-01"."""
    try:
        if _DATE.fullmatch(text) is None:
            raise ValueError
        day = dt.date.fromisoformat(text)
    except ValueError:
        raise ValueError(f"date must be a calendar date YYYYMMDD or YYYY-MM-DD: {text!r}") from None
    return day.year * 10000 + day.month * 100 + day.day
