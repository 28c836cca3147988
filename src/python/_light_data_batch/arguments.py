"""The arguments that the range reads share, checked once."""

from __future__ import annotations

from collections.abc import Hashable, Iterable
from dataclasses import dataclass

from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_utils.config_loader.config_loader import ConfigLoader
from halvorn.orrery_utils.priceable.instrument import Instrument

from .revalidation import revalidate_flag
from .time_window import Window, span

OUTPUTS = ("pandas", "arrow", "polars")
# How the cache copies that range reads write are compressed: "lz4" as to_feather writes them,
# "none" so that Arrow and Polars outputs map their columns uncopied, or "zstd" (smallest).
CACHE_COMPRESSIONS = ("lz4", "none", "zstd")


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
    names = list(columns)
    seen: set = set()
    for name in names:
        if not isinstance(name, Hashable):
            raise TypeError(f"columns must hold column names, got {type(name).__name__} {name!r}")
        if name == core.INDEX_LABEL:
            raise ValueError(f"columns lists {name!r}, which every table has as its index: leave it out")
        if name in seen:
            raise ValueError(f"columns lists {name!r} twice")
        seen.add(name)
    return names


def output_kind(output: object) -> str:
    if output not in OUTPUTS:
        raise ValueError(f"output must be one of {', '.join(map(repr, OUTPUTS))}, got {output!r}")
    return output


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


def configured_cache_compression() -> str:
    """The key ``cache_compression`` of section ``data_related`` of this process's configuration
    ("lz4" when it is not set), checked: one of CACHE_COMPRESSIONS, with its codec in pyarrow.
    Read once a call, and only by a call that writes cache files: warm reads never read it."""
    loader = ConfigLoader()
    value = loader.config["data_related"].get("cache_compression", "lz4")
    where = f"cache_compression in section [data_related] of {getattr(loader, 'path', 'the configuration')}"
    if not isinstance(value, str) or value.strip().lower() not in CACHE_COMPRESSIONS:
        raise ValueError(f"{where} must be one of {', '.join(CACHE_COMPRESSIONS)}, got {value!r}")
    value = value.strip().lower()
    if value == "zstd":
        import pyarrow as pa

        if not pa.Codec.is_available("zstd"):
            raise ValueError(f"{where} is zstd, which this pyarrow cannot write")
    return value


def worker_count(max_workers: object) -> int | None:
    """`max_workers` when it is a positive int or None."""
    if max_workers is not None and (not isinstance(max_workers, int) or isinstance(max_workers, bool)
                                    or max_workers < 1):
        raise ValueError(f"max_workers must be a positive int or None, got {max_workers!r}")
    return max_workers


def missing_policy(missing: object) -> str:
    if missing not in ("skip", "raise"):
        raise ValueError(f"missing must be 'skip' or 'raise', got {missing!r}")
    return missing


@dataclass(frozen=True)
class Call:
    """The checked arguments that the range reads share."""

    instruments: list[Instrument]
    single: bool  # one Instrument was given, not a list
    days: list[int]
    options: Options
    columns: list | None
    window: Window | None = None  # rows outside it are dropped; None keeps whole days
    output: str = "pandas"  # "pandas", "arrow" or "polars"
    revalidate: bool = False  # cached copies are checked against storage first


def call(instruments: object, data_type: object, start: object, end: object, columns: object,
         data_sources: object, use_minio_storage: object, use_cache: object, write_cache: object,
         output: object = "pandas", revalidate: object = False) -> Call:
    items, single = instrument_list(instruments)
    days, window = span(start, end)
    return Call(items, single, days, options(data_type, data_sources, use_minio_storage, use_cache, write_cache),
                column_list(columns), window, output_kind(output), revalidate_flag(revalidate))
