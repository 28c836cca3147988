# The private module of halvorn.orrery_data.light_data's companions: the
# reader's rules, implemented once in C++. Not a public interface.
import os
from typing import Any, Literal, final

from halvorn.orrery_data.enums import DataType

INDEX_LABEL: str
TIME_LABELS: tuple[str, str, str, str]
MISSING_PREFIX: str
STORAGE_PATH_KEY: bytes
STORAGE_IDENTITY_KEY: bytes
OTHER_HOST_LEFTOVER_AGE: float

def cache_name(path: str) -> str: ...
def is_cache_name(name: str) -> bool: ...
def temporary_cache_path(cache_path: str) -> str: ...
def cache_entry_kind(path: str) -> str: ...
def open_cache_entry(path: str, *, dir_fd: int | None = None, keep_access_time: bool = False) -> int: ...
def host_label() -> str: ...
def parse_temporary_name(name: str) -> tuple[str, str, int] | None: ...
def is_leftover(name: str, mode: int, mtime: float, now: float) -> bool: ...
def describe_cache_file(file: Any, *, rows: bool = True) -> tuple[int | None, int | None, str | None, str | None]:
    """What the cache file open as the binary file object `file` holds, from its schema and
    record batches without decoding a column: (rows, columns without a stored index, storage
    path, stored table's identity), each None when it cannot be read or is not recorded.
    Read whole through the file object, never mapped. Without `rows`, only the footer is
    looked at."""
def cache_file_problem(file: Any) -> str | None:
    """Why the cache file open as `file` cannot be served, read as get() reads it
    ("unreadable: <type>: <message>" or "empty table"); None when it can."""
def read_cache_arrow(data: Any, included_fields: list[int] | None = None) -> Any:
    """The Arrow table in the cache file whose bytes are `data` (a pyarrow Buffer), read on
    this thread; with `included_fields`, only the columns at those positions."""
def cache_arrow_names(data: Any) -> list[str]:
    """The column names of the cache file whose bytes are `data`, from its footer."""
def write_cache_arrow(file: Any, table: Any, metadata: dict[bytes, bytes]) -> None:
    """The Arrow `table` written into the binary file object `file` as a cache file, with
    `metadata` as its schema metadata."""
def is_time_normalised(data_type: DataType) -> bool: ...
def time_column(columns: Any) -> tuple[str, bool] | None: ...
def scale_epoch_counts(values: Any, out: Any, *, close_time: bool = False) -> int:
    """Scales int64 epoch counts (a buffer, or a list of chunk buffers) to nanoseconds into
    `out` (new buffers of the same shape) by the digit count of the first value of the whole
    column; returns the power of ten used. OverflowError when a value does not fit."""
def index_by_time(data_type: DataType, df: Any) -> Any: ...
def read_sources(reader: Any, *, log_failures: bool = True, identify: bool = False, compression: str = "lz4") -> tuple[Literal["found", "missing", "failed"], Any, list[tuple[Any, str | None, BaseException | None]]]: ...
def served_cache_file(reader: Any) -> tuple[str, Any, str] | None: ...

@final
class CacheMapping:
    """A cache file mapped read-only; its buffer is the file's bytes."""

def served_cache_mappings(readers: Any) -> list[CacheMapping | None]:
    """For each reader, the cache file its get_raw would serve unchanged, mapped read-only; None
    when it would serve none or the file cannot be opened or mapped."""

def served_cache_paths(readers: Any) -> list[str | None]:
    """For each reader, the path of the cache file its get_raw would serve unchanged; None when
    it would serve none or its lookup fails."""
