"""Helpers for the read and cache tests: cache file names and log record shapes."""

from __future__ import annotations

import hashlib
import os
import re
import traceback

import pytest

from halvorn.orrery_data.enums import DataSource, DataType

DATE = 20240102
TARDIS, BINANCE = DataSource.tardis, DataSource.binance
OTHER = DataType.Klines  # a kind whose time index is left as stored
# A cache folder holds nothing but files named by this pattern once every write is done.
CACHE_NAME = re.compile(r"^[0-9a-f]{64}\.feather$")


def path_of(date, instrument, data_type, data_source, data_destination):
    """Storage path builder for the recording fakes: one distinct path per source and date."""
    return f"store/{data_source.name}/{date}.feather"


P1 = path_of(DATE, None, None, TARDIS, None)
P2 = path_of(DATE, None, None, BINANCE, None)


def reader_factory(light_data, platform, instrument):
    """Builds readers over the fakes; by default the sources (tardis, binance) map to P1, P2."""
    platform.path_of = path_of

    def make(sources=(TARDIS, BINANCE), data_type=OTHER, cls=None, **kwargs):
        cls = cls or light_data.CryptoMktData
        return cls(DATE, instrument, data_type, data_sources=list(sources), **kwargs)

    return make


def failed(path) -> list[tuple[str, str]]:
    """The records of one source of a cached read that failed inside its guarded block."""
    return [("DEBUG", f"reading {path}"), ("ERROR", "<traceback>"), ("ERROR", f"Error reading {path}, Exception = <e>")]


def cache_path(cache_dir, path: str) -> str:
    """The cache file of one storage path, built independently of the reader."""
    return os.path.join(str(cache_dir), hashlib.sha256(path.encode("utf-8")).hexdigest() + ".feather")


def put(cache_dir, path: str, table) -> str:
    """Writes `table` as the cache file of `path`; returns the cache path."""
    os.makedirs(cache_dir, exist_ok=True)
    target = cache_path(cache_dir, path)
    table.to_feather(target)
    return target


def shapes(caplog: pytest.LogCaptureFixture) -> list[tuple[str, str]]:
    """Root-logger records as (level, message).

    A record whose message is the traceback text of the exception it carries becomes
    "<traceback>"; a message ending in ", Exception = " plus the text of the exception it
    carries ends in "<e>" instead. Anything else stays verbatim, so a wrong text, a missing
    attached exception or a traceback of the wrong exception shows up in the comparison.
    """
    out = []
    for record in caplog.records:
        if record.name != "root":
            continue
        message = record.getMessage()
        exc = record.exc_info[1] if record.exc_info else None
        if exc is not None:
            text = str(exc)
            if message.endswith(", Exception = " + text):
                message = message[: len(message) - len(text)] + "<e>"
            elif message.endswith(traceback.format_exception_only(type(exc), exc)[-1]):
                message = "<traceback>"
        out.append((record.levelname, message))
    return out
