"""The text that the commands take, read one way by every command: sizes, ages, dates and
instruments.

A size is a number of bytes, optionally with a unit: K, M, G, T or P, with or without a
following "B" or "iB", in any case ("500M", "10G", "1.5GiB", "128MB", "64 kib"). Every unit is a
power of 1024: the sizes are of files and of memory, and the cache command prints them in KiB,
MiB and GiB, so what it prints can be given back to it. A date is ``YYYYMMDD`` or
``YYYY-MM-DD``; an instrument is ``exchange:symbol``.

Private: the commands and the companions call these; a wrong text raises ValueError with a
message that says what was expected. ``argument_type`` makes any of them an argparse type.
"""

from __future__ import annotations

import argparse
import datetime as dt
import decimal
import math
import re
from collections.abc import Callable
from typing import TypeVar

_T = TypeVar("_T")

_SIZE = re.compile(r"(\d+(?:\.\d*)?)\s*(?:([KMGTP])(?:I?B)?|B)?", re.IGNORECASE)
_AGE = re.compile(r"(\d+(?:\.\d*)?)([smhdw])")
_AGE_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 7 * 86400}
# The largest size a file system can report (off_t); anything above is a typing slip.
_MAX_SIZE = 2**63 - 1


def parse_size(text: str) -> int:
    """Bytes from "1234", "500M", "10G", "1.5GiB" or "128MB" (every unit a power of 1024)."""
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"size must be a number of bytes, optionally with K, M, G, T or P (powers of 1024, "
                         f"e.g. 10G or 512MiB): {text!r}")
    # Exact decimal arithmetic: a float would round large sizes and overflow on long ones.
    with decimal.localcontext() as context:
        context.prec = len(match[1]) + 20
        size = int(decimal.Decimal(match[1]) * 1024 ** " KMGTP".index((match[2] or " ").upper()))
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


def parse_instrument(text: str) -> tuple[str, str]:
    """The exchange and the symbol of "exchange:symbol" (space around it ignored)."""
    exchange, colon, symbol = text.strip().partition(":")
    if not (colon and exchange and symbol):
        raise ValueError(f"instrument must be exchange:symbol, got {text!r}")
    return exchange, symbol


def argument_type(parse: Callable[[str], _T]) -> Callable[[str], _T]:
    """``parse`` as an argparse type: its ValueError becomes a usage error with its message."""
    def convert(text: str) -> _T:
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    convert.__name__ = parse.__name__
    return convert
