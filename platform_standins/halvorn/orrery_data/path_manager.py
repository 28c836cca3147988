"""Storage paths of market-data tables.

One stored table lives at::

    <root>/<data_destination.name>/<data_source.name>/<data_type.name>/<instrument.exchange>/<instrument.symbol>/<date>

where ``<root>`` is ``LOCAL_DATA_ROOT`` of section ``[data_related]`` in the
platform configuration (it must be absolute) and ``<date>`` is the trading
date as YYYYMMDD. There is no file extension: the path is a storage key, and
the file format is the reader's business (``DataIOModule``).

Every segment is validated so that a path can never leave its own folder:
a segment must be non-empty, must not be ``.`` or ``..``, and must contain no
``/``, no ``\\``, no control character and no lone surrogate (the path must
encode as UTF-8).
"""

from __future__ import annotations

import os
import unicodedata
from enum import Enum

from halvorn.orrery_data.enums import DataDestination, DataSource, DataType
from halvorn.orrery_utils.config_loader.config_loader import ConfigLoader, configuration_key
from halvorn.orrery_utils.priceable.instrument import Instrument
from halvorn.orrery_utils.time_utils import date_from_int

__all__ = ["PathManager"]


# Segments found safe so far: each instrument's exchange and symbol are checked once, not on
# every path built (str is immutable, so a value once safe stays safe).
_safe_segments: set[str] = set()
_SAFE_SEGMENTS_KEPT = 4096


def _segment(value: object, what: str) -> str:
    """Return ``value`` if it is safe as a single path segment, else raise."""
    if type(value) is str and value in _safe_segments:
        return value
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, got {type(value).__name__}")
    if value in ("", ".", ".."):
        raise ValueError(f"{what} {value!r} is not a usable path segment")
    if "/" in value or "\\" in value:
        raise ValueError(f"{what} {value!r} must not contain a path separator")
    if any(unicodedata.category(ch) in ("Cc", "Cs") for ch in value):
        raise ValueError(f"{what} {value!r} must not contain control or surrogate characters")
    if type(value) is str:  # a subclass could compare equal to a safe value yet render otherwise
        if len(_safe_segments) >= _SAFE_SEGMENTS_KEPT:
            _safe_segments.clear()
        _safe_segments.add(value)
    return value


def _member(value: object, enum_cls: type[Enum], what: str) -> str:
    if not isinstance(value, enum_cls):
        raise TypeError(f"{what} must be a {enum_cls.__name__} member, got {type(value).__name__}")
    return value.name


# Storage root of the configuration last read, by configuration_key(): the
# file is parsed again only when it, or what it depends on, has changed.
_root_cache: dict[tuple, str] = {}


class PathManager:
    """Builds storage paths; used through its class methods, never instantiated."""

    @staticmethod
    def storage_root() -> str:
        """Return the configured storage root, normalised (no trailing separator)."""
        key = configuration_key()
        cached = _root_cache.get(key)
        if cached is not None:
            return cached
        root = ConfigLoader().config["data_related"]["LOCAL_DATA_ROOT"]
        if not os.path.isabs(root):
            # A relative root would make the same key name different files
            # depending on the working directory.
            raise ValueError(f"LOCAL_DATA_ROOT must be an absolute path, got {root!r}")
        root = os.path.normpath(root)
        _root_cache.clear()
        _root_cache[key] = root
        return root

    @staticmethod
    def get_mktdata_path(
        *,
        date: int,
        instrument: Instrument,
        data_type: DataType,
        data_source: DataSource,
        data_destination: DataDestination,
    ) -> str:
        """Return the storage path of one table (see the module docstring)."""
        date_from_int(date, "date")  # type, 8 digits and calendar checks
        if not isinstance(instrument, Instrument):
            raise TypeError(f"instrument must be an Instrument, got {type(instrument).__name__}")
        segments = [
            _member(data_destination, DataDestination, "data_destination"),
            _member(data_source, DataSource, "data_source"),
            _member(data_type, DataType, "data_type"),
            _segment(instrument.exchange, "instrument exchange"),
            _segment(instrument.symbol, "instrument symbol"),
            str(date),
        ]
        return os.path.join(PathManager.storage_root(), *segments)
