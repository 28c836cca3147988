"""The arguments that the range reads share, checked once."""

from __future__ import annotations

import datetime as dt
from collections.abc import Iterable
from dataclasses import dataclass

from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_utils.priceable.instrument import Instrument


def calendar_day(value: object, what: str) -> dt.date:
    if not isinstance(value, int) or isinstance(value, bool):
        raise ValueError(f"{what} must be an int date YYYYMMDD, got {type(value).__name__} {value!r}")
    if not 10_000_101 <= value <= 99_991_231:
        raise ValueError(f"{what} must be a date YYYYMMDD, got {value}")
    try:
        return dt.date(value // 10_000, value // 100 % 100, value % 100)
    except ValueError:
        raise ValueError(f"{what} {value} is not a calendar date") from None


def days_between(start: object, end: object) -> list[int]:
    """Every calendar day from `start` to `end`, both included, as int YYYYMMDD."""
    first, last = calendar_day(start, "start"), calendar_day(end, "end")
    if first > last:
        raise ValueError(f"start {start} is after end {end}")
    count = (last - first).days + 1
    return [int((first + dt.timedelta(days=i)).strftime("%Y%m%d")) for i in range(count)]


def instrument_list(instruments: object) -> tuple[list[Instrument], bool]:
    """The instruments to read, and whether one was given on its own."""
    if isinstance(instruments, Instrument):
        return [instruments], True
    if not isinstance(instruments, (list, tuple)):
        raise TypeError(f"instruments must be an Instrument or a list of them, got {type(instruments).__name__}")
    if not instruments:
        raise ValueError("instruments is an empty list")
    names: set[str] = set()
    for item in instruments:
        if not isinstance(item, Instrument):
            raise TypeError(f"instruments must hold Instrument objects, got {type(item).__name__}")
        if str(item) in names:
            # The result is keyed by instrument name: a second entry would merge with the first.
            raise ValueError(f"instrument {item} is listed twice")
        names.add(str(item))
    return list(instruments), False


def column_list(columns: object) -> list | None:
    if columns is None:
        return None
    if isinstance(columns, (str, bytes)) or not isinstance(columns, Iterable):
        raise TypeError(f"columns must be a list of column names, got {type(columns).__name__}")
    return list(columns)


@dataclass(frozen=True)
class Options:
    """What every reader of one call is built with."""

    data_type: DataType
    data_sources: list[DataSource] | None
    use_minio_storage: bool | None
    use_cache: bool
    write_cache: bool

    def reader(self, instrument: Instrument, date: int) -> CryptoMktData:
        """A reader built here, from this process's configuration."""
        sources = None if self.data_sources is None else list(self.data_sources)
        return CryptoMktData(date, instrument, self.data_type, use_minio_storage=self.use_minio_storage,
                             data_sources=sources, use_cache=self.use_cache, write_cache=self.write_cache)


def options(data_type: object, data_sources: object, use_minio_storage: object, use_cache: object,
            write_cache: object) -> Options:
    if not isinstance(data_type, DataType):
        raise TypeError(f"data_type must be a DataType member, got {type(data_type).__name__}")
    if data_sources is not None:
        if isinstance(data_sources, (str, bytes)) or not isinstance(data_sources, Iterable):
            raise TypeError(f"data_sources must be a list of DataSource members, got {type(data_sources).__name__}")
        data_sources = list(data_sources)  # the call reads the sources as they are now
    return Options(data_type, data_sources, use_minio_storage, use_cache, write_cache)  # type: ignore[arg-type]


def missing_policy(missing: object) -> str:
    if missing not in ("skip", "raise"):
        raise ValueError(f"missing must be 'skip' or 'raise', got {missing!r}")
    return missing  # type: ignore[return-value]


@dataclass(frozen=True)
class Call:
    """The checked arguments that the range reads share."""

    instruments: list[Instrument]
    single: bool  # one Instrument was given, not a list
    days: list[int]
    options: Options
    columns: list | None


def call(instruments: object, data_type: object, start: object, end: object, columns: object,
         data_sources: object, use_minio_storage: object, use_cache: object, write_cache: object) -> Call:
    items, single = instrument_list(instruments)
    return Call(items, single, days_between(start, end),
                options(data_type, data_sources, use_minio_storage, use_cache, write_cache),
                column_list(columns))
