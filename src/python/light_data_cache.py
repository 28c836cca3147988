"""See and manage the local Feather cache of ``CryptoMktData`` readers.

The command ``light-data-cache`` (also ``python -m halvorn.orrery_data.light_data_cache``)
and the functions :func:`info`, :func:`ls`, :func:`where`, :func:`verify`, :func:`prune`,
:func:`clean_temp` and :func:`clear` work on the cache folder of the configuration
(``LOCAL_DATA_CACHE_DIR``) or on another folder given to them. Each function returns plain
data (dataclasses); the command prints it, as JSON with ``--json``.

Which entries are the reader's, how a cache file is named and opened, and when a writer's
temporary file is a leftover are decided by the reader's own code (the private module
``_light_data_core``), never restated here. Only entries named as the reader names them are
ever looked at or removed: cache files and the reader's temporary files. Entries are examined
through one descriptor of the folder and opened as the reader opens them, so a symbolic link
is never followed and nothing outside the folder is touched; an entry is removed only if it
is still the one examined, and an entry that another process replaced or removed meanwhile is
skipped. Readers in other processes may use the cache at the same time: a reader whose cache
file is removed reads the table from storage again.
"""

from __future__ import annotations

import argparse
import configparser
import contextlib
import dataclasses
import datetime as dt
import decimal
import json
import math
import os
import re
import stat
import struct
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any, BinaryIO

import pyarrow as pa
import pyarrow.ipc

from halvorn.orrery_data import _light_data_core as _core

__all__ = [
    "OTHER_HOST_LEFTOVER_AGE", "STORAGE_PATH_KEY", "TemporaryName", "cache_name_for", "host_label",
    "parse_temporary_name", "is_leftover", "CacheCommandError", "configured_cache_dir", "CacheFile",
    "Info", "Listing", "Location", "Locations", "BadEntry", "Verification", "Removed", "Removal",
    "info", "ls", "where", "verify", "prune", "clean_temp", "clear", "parse_size", "parse_age",
    "parse_date", "main",
]

# ---------------------------------------------------------------------------------------------
# The reader's rules, from the reader itself.
#
# A cache file is "<sha256 of the storage path, lowercase hex>.feather", directly in the folder.
# A writer writes it to "<cache file name>.tmp-<host>-<pid>-<random hex digits>" beside it and
# renames that onto the cache name. A temporary file is a leftover when its writer is gone:
# on this host its process no longer exists; from another host it has not changed for
# OTHER_HOST_LEFTOVER_AGE seconds.

# Seconds after which another host's temporary file is taken for a crashed writer's.
OTHER_HOST_LEFTOVER_AGE: float = _core.OTHER_HOST_LEFTOVER_AGE
# The schema metadata key under which a cache file records the storage path it holds.
STORAGE_PATH_KEY: bytes = _core.STORAGE_PATH_KEY


def cache_name_for(storage_path: str) -> str:
    """The name of the cache file of one storage path."""
    return _core.cache_name(storage_path)


def host_label() -> str:
    """The host field that writers on this machine put in their temporary file names."""
    return _core.host_label()


@dataclass(frozen=True)
class TemporaryName:
    cache_name: str  # the cache file it is written for
    host: str
    pid: int
    name: str  # the temporary file's own name


def _is_cache_name(name: str) -> bool:
    try:
        return _core.is_cache_name(name)
    except UnicodeEncodeError:  # bytes that are not UTF-8: no reader writes such a name
        return False


def parse_temporary_name(name: str) -> TemporaryName | None:
    """The fields of a writer's temporary file name, or None when ``name`` is not one."""
    try:
        fields = _core.parse_temporary_name(name)
    except UnicodeEncodeError:  # bytes that are not UTF-8: no reader writes such a name
        return None
    return None if fields is None else TemporaryName(*fields, name)


def is_leftover(name: TemporaryName | str, status: os.stat_result, now: float | None = None) -> bool:
    """Whether a temporary file (``status`` from ``lstat``) belongs to a writer that is gone.

    Only a regular file or a symbolic link (the link itself) can be a leftover: a folder, or
    any other kind of entry, is left alone; so is a name that is not a temporary file name.
    """
    text = name.name if isinstance(name, TemporaryName) else name
    try:
        return _core.is_leftover(text, status.st_mode, status.st_mtime, time.time() if now is None else now)
    except UnicodeEncodeError:
        return False


# ---------------------------------------------------------------------------------------------
# The cache folder and its entries.

class CacheCommandError(Exception):
    """The command cannot run as asked (configuration, arguments or the folder itself)."""


# What a configuration that cannot be used raises: a missing file, section or option, or an
# unusable value.
_CONFIGURATION_ERRORS = (OSError, LookupError, ValueError, TypeError, configparser.Error)


def configured_cache_dir() -> str:
    """``LOCAL_DATA_CACHE_DIR`` of section ``[data_related]`` of the platform configuration."""
    from halvorn.orrery_utils.config_loader.config_loader import ConfigLoader

    try:
        folder = ConfigLoader().config["data_related"]["LOCAL_DATA_CACHE_DIR"]
    except _CONFIGURATION_ERRORS as error:
        raise CacheCommandError(f"cannot read the cache folder from the configuration: {error}") from None
    if not folder:
        raise CacheCommandError("LOCAL_DATA_CACHE_DIR is empty in the configuration")
    return folder


def _resolved(cache_dir: str | None) -> str:
    # An empty folder name would be the current folder: never what was meant.
    if cache_dir is not None and not cache_dir:
        raise CacheCommandError("the cache folder must not be empty")
    return os.path.abspath(cache_dir or configured_cache_dir())


@dataclass(frozen=True)
class _Entry:
    name: str
    status: os.stat_result
    temporary: TemporaryName | None  # None for a cache name

    @property
    def last_used(self) -> float:
        # Access times are not kept on noatime mounts and only roughly on relatime ones, so the
        # later of the access and modification times stands for the last use.
        return max(self.status.st_atime, self.status.st_mtime)


class _Changed(Exception):
    """The entry is no longer the one examined: another process replaced or removed it."""


class _Folder:
    """The cache folder, held open by one descriptor (a link to a folder is followed) so that
    every entry is reached through it; a missing folder has no entries."""

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            self._fd: int | None = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except FileNotFoundError:
            self._fd = None
        except NotADirectoryError:
            raise CacheCommandError(f"{path} is not a folder") from None

    def __enter__(self) -> _Folder:
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None

    @property
    def exists(self) -> bool:
        return self._fd is not None

    def _dir_fd(self) -> int:
        if self._fd is None:
            raise FileNotFoundError(f"{self.path} does not exist")
        return self._fd

    def lstat(self, name: str) -> os.stat_result:
        return os.stat(name, dir_fd=self._dir_fd(), follow_symlinks=False)

    def entries(self) -> list[_Entry]:
        """The entries with a cache or temporary name, as ``lstat`` sees them."""
        if self._fd is None:
            return []
        with os.scandir(self._fd) as scan:
            names = sorted(entry.name for entry in scan)
        found = []
        for name in names:
            temporary = None
            if not _is_cache_name(name):
                temporary = parse_temporary_name(name)
                if temporary is None:
                    continue
            try:
                found.append(_Entry(name, self.lstat(name), temporary))
            except FileNotFoundError:
                continue
        return found

    def cache_files(self) -> list[_Entry]:
        return [e for e in self.entries() if e.temporary is None and stat.S_ISREG(e.status.st_mode)]

    def remove(self, name: str, status: os.stat_result) -> None:
        """Unlink the entry if it is still the one examined (``status``); raises _Changed when
        it went or was replaced. A folder is never removed."""
        if stat.S_ISDIR(status.st_mode):
            raise ValueError(f"{name} is a folder: folders at the reader's names are left alone")
        try:
            if _identity(self.lstat(name)) != _identity(status):
                raise _Changed(name)
            os.unlink(name, dir_fd=self._dir_fd())
        except FileNotFoundError:
            raise _Changed(name) from None

    @contextlib.contextmanager
    def open(self, name: str) -> Iterator[tuple[BinaryIO, os.stat_result]]:
        """The cache entry opened as the reader opens it (never through a link, and nothing but
        a regular file), with its ``fstat``.

        The access time is kept where the system allows it (the file's owner, or root):
        otherwise looking at the cache would make every file look recently used.
        """
        fd = _core.open_cache_entry(name, dir_fd=self._dir_fd(), keep_access_time=True)
        try:
            status = os.fstat(fd)
            handle = os.fdopen(fd, "rb")
        except BaseException:
            os.close(fd)
            raise
        with handle:
            yield handle, status


def _identity(status: os.stat_result) -> tuple[int, int, int, int, int]:
    return status.st_dev, status.st_ino, status.st_mode, status.st_size, status.st_mtime_ns


# ---------------------------------------------------------------------------------------------
# What a cache file holds, from its metadata only: the schema (and the storage path recorded in
# it) from the footer, the rows from the record batch headers. No column data is read.
#
# pyarrow counts rows without reading the batches' data only from a memory-mapped file
# (RecordBatchFileReader.count_rows); from a plain file it reads every batch body. Measured on
# a 1M-row LZ4 Feather file (41 MB, 16 record batches) and on 365 files of 8,640 rows each,
# page cache warm:
#   pread of the footer and batch headers (below)     0.16 ms, 11 kB read;  365 files 23 ms
#   mmap + ipc.open_file + count_rows                 0.11 ms, 18 pages;    365 files 13 ms
#   mmap + get_batch(i).num_rows (decompresses)      22.6 ms;               365 files 126 ms
#   plain file + count_rows                            2.5 ms, 41 MB read;  365 files 39 ms
# The mapped file is faster by 10 ms a year of files, but a mapped page that is gone when it is
# touched (a file truncated in place, a network file system's stale handle: the cache folder may
# be shared between hosts) kills the process with SIGBUS, where pread raises an OSError and the
# file is listed without its rows. So the few fixed-layout fields below are read by hand.

class _FlatBuffer:
    """Bounds-checked reads of the few flatbuffer tables needed here."""

    def __init__(self, data: bytes) -> None:
        self.data = data

    def read(self, fmt: str, at: int) -> Any:
        if at < 0:
            raise ValueError("offset outside the buffer")
        return struct.unpack_from("<" + fmt, self.data, at)[0]  # struct.error past the end

    def root(self) -> int:
        return self.read("I", 0)

    def _field(self, table: int, index: int) -> int | None:
        vtable = table - self.read("i", table)
        slot = 4 + 2 * index
        if slot + 2 > self.read("H", vtable):
            return None
        offset = self.read("H", vtable + slot)
        return table + offset if offset else None

    def scalar(self, table: int, index: int, fmt: str) -> Any:
        at = self._field(table, index)
        return 0 if at is None else self.read(fmt, at)

    def table(self, table: int, index: int) -> int:
        at = self._field(table, index)
        if at is None:
            raise ValueError("missing table")
        return at + self.read("I", at)

    def vector(self, table: int, index: int, item_size: int) -> Iterator[int]:
        """The positions of a vector's items."""
        at = self._field(table, index)
        if at is None:
            return
        start = at + self.read("I", at)
        count = self.read("I", start)
        if start + 4 + count * item_size > len(self.data):
            raise ValueError("vector outside the buffer")
        yield from range(start + 4, start + 4 + count * item_size, item_size)


_ARROW_MAGIC = b"ARROW1"
_RECORD_BATCH = 3  # MessageHeader.RecordBatch
_MAX_HEADER = 1 << 24


def _arrow_rows(fd: int, size: int) -> int:
    """Rows of an Arrow IPC file: the sum of its record batches' lengths."""
    tail = os.pread(fd, 10, size - 10) if size >= 18 else b""
    if tail[4:] != _ARROW_MAGIC:
        raise ValueError("no Arrow file footer")
    length = int.from_bytes(tail[:4], "little")
    if not 0 < length <= size - 18:
        raise ValueError("bad footer length")
    footer = _FlatBuffer(os.pread(fd, length, size - 10 - length))
    rows = 0
    for block in footer.vector(footer.root(), 3, 24):  # Footer.recordBatches: [Block]
        offset, header_length = struct.unpack_from("<qi", footer.data, block)
        if not (8 <= offset and 8 <= header_length <= _MAX_HEADER and offset + header_length <= size):
            raise ValueError("record batch outside the file")
        header = os.pread(fd, header_length, offset)
        skip = 8 if header[:4] == b"\xff\xff\xff\xff" else 4  # continuation marker, then length
        message = _FlatBuffer(header[skip:])
        root = message.root()
        if message.scalar(root, 1, "B") != _RECORD_BATCH:  # Message.header_type
            raise ValueError("block is not a record batch")
        rows += message.scalar(message.table(root, 2), 0, "q")  # RecordBatch.length
    return rows


@dataclass
class _Contents:
    rows: int | None = None
    columns: int | None = None
    storage_path: str | None = None


def _contents(handle: BinaryIO, size: int) -> _Contents:
    """Rows, columns and recorded storage path of a Feather file; None for what cannot be read."""
    found = _Contents()
    try:
        schema = pyarrow.ipc.open_file(handle).schema
    except (pa.ArrowException, OSError, ValueError):
        return found
    metadata = schema.metadata or {}
    path = metadata.get(STORAGE_PATH_KEY)
    if path is not None:
        found.storage_path = path.decode("utf-8", "backslashreplace")
    try:
        # A stored index is kept as extra columns, named in the pandas metadata.
        index = sum(isinstance(name, str) for name in schema.pandas_metadata["index_columns"])
    except (KeyError, TypeError, ValueError):  # no pandas metadata, or metadata not as pandas writes it
        index = 0
    found.columns = len(schema) - index
    try:
        found.rows = _arrow_rows(handle.fileno(), size)
    except (ValueError, struct.error, OSError):
        pass
    return found


def _read_contents(folder: _Folder, name: str) -> _Contents | None:
    """What the cache file ``name`` holds: nothing known when it is no longer a regular file
    (replaced by something else meanwhile), None when it is gone."""
    try:
        with folder.open(name) as (handle, status):
            return _contents(handle, status.st_size)
    except FileNotFoundError:
        return None
    except OSError:
        return _Contents()


# ---------------------------------------------------------------------------------------------
# The operations. Each returns plain data; times are UTC ISO 8601 text, ages seconds.

def _iso(timestamp: float) -> str:
    return dt.datetime.fromtimestamp(timestamp, dt.timezone.utc).isoformat(timespec="seconds")


@dataclass
class CacheFile:
    name: str
    size: int
    last_used: str
    age_seconds: float
    rows: int | None = None
    columns: int | None = None
    storage_path: str | None = None  # recorded in the file by the reader; None in older files
    url: str | None = None  # where storage keeps that table (ls: s3://bucket/key on an object store)


def _cache_file(folder: _Folder, entry: _Entry, now: float) -> CacheFile | None:
    """The cache file as listed, None when it is gone."""
    held = _read_contents(folder, entry.name)
    if held is None:
        return None
    return CacheFile(entry.name, entry.status.st_size, _iso(entry.last_used),
                     round(max(0.0, now - entry.last_used), 3), held.rows, held.columns, held.storage_path)


@dataclass
class Info:
    cache_dir: str
    exists: bool
    files: int = 0
    bytes: int = 0
    oldest: CacheFile | None = None
    newest: CacheFile | None = None
    leftovers: int = 0  # temporary files of writers that died
    leftover_bytes: int = 0
    in_progress: int = 0  # temporary files of writers still at work (or of another host, recent)


def info(cache_dir: str | None = None) -> Info:
    """What the cache folder holds: its cache files, their size and ages, and the leftovers."""
    cache_dir = _resolved(cache_dir)
    now = time.time()
    with _Folder(cache_dir) as folder:
        result = Info(cache_dir, folder.exists)
        entries = folder.entries()
        files = sorted((e for e in entries if e.temporary is None and stat.S_ISREG(e.status.st_mode)),
                       key=lambda e: e.last_used)
        result.files, result.bytes = len(files), sum(e.status.st_size for e in files)
        if files:
            result.oldest, result.newest = _cache_file(folder, files[0], now), _cache_file(folder, files[-1], now)
    for entry in entries:
        mode = entry.status.st_mode
        if entry.temporary is None or not (stat.S_ISREG(mode) or stat.S_ISLNK(mode)):
            continue
        if is_leftover(entry.temporary, entry.status, now):
            result.leftovers += 1
            result.leftover_bytes += entry.status.st_size
        else:
            result.in_progress += 1
    return result


@dataclass
class Listing:
    cache_dir: str
    files: list[CacheFile] = field(default_factory=list)


_SORT_KEYS = {
    "name": lambda e: e.name,
    "size": lambda e: (-e.status.st_size, e.name),
    "age": lambda e: (e.last_used, e.name),
}


def ls(cache_dir: str | None = None, *, sort: str = "name", limit: int | None = None) -> Listing:
    """The cache files with size, rows, columns, age and the storage path each holds (all read
    from the file's metadata, not its data). ``sort``: "name", "size" (largest first) or "age"
    (least recently used first)."""
    if sort not in _SORT_KEYS:
        raise ValueError(f"sort must be one of {', '.join(_SORT_KEYS)}, got {sort!r}")
    cache_dir = _resolved(cache_dir)
    now = time.time()
    with _Folder(cache_dir) as folder:
        files = sorted(folder.cache_files(), key=_SORT_KEYS[sort])
        listed = [each for each in (_cache_file(folder, entry, now) for entry in files[:limit]) if each is not None]
    from halvorn.orrery_data._light_data_cache_copies.storage import configured_storage, url_namer

    name_url = url_namer(configured_storage())
    for each in listed:
        each.url = name_url(each.storage_path)
    return Listing(cache_dir, listed)


@dataclass
class Location:
    source: str
    storage_path: str
    stored: bool  # storage holds the table
    url: str  # where storage keeps it: the object's URL on an object store, else the path
    cache_file: str
    cache_entry: str  # what is at the cache name: "absent", "regular file", "directory", ...
    present: bool  # a regular file is at the cache name


@dataclass
class Locations:
    date: int
    instrument: str
    data_type: str
    cache_dir: str
    locations: list[Location] = field(default_factory=list)


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


def where(date: int | str, instrument: str, data_type: Any, source: Any = None,
          cache_dir: str | None = None) -> Locations:
    """Where a reader finds one table: for each of its sources the storage path, whether
    storage holds the table (and its object URL on an object store), and the cache file.

    ``date`` is an ``int`` YYYYMMDD or text "YYYYMMDD" / "YYYY-MM-DD"; ``instrument`` is
    "exchange:symbol"; ``data_type`` and ``source`` are ``DataType`` and ``DataSource`` members
    or their names. Without ``source``, each of the reader's default sources is listed. The
    reader is built on the configured storage, so an unreachable object store raises its
    ``OSError``. ``cache_dir`` replaces the reader's configured cache folder.
    """
    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_utils.priceable.instrument import Instrument

    if isinstance(date, str):
        try:
            date = parse_date(date)
        except ValueError as error:
            raise CacheCommandError(str(error)) from None
    exchange, colon, symbol = instrument.partition(":")
    if not (colon and exchange and symbol):
        raise CacheCommandError(f"instrument must be exchange:symbol, got {instrument!r}")
    kind = _member(DataType, data_type)
    sources = None if source is None else [_member(DataSource, source)]
    try:
        reader = CryptoMktData(date, Instrument(exchange, symbol), kind, data_sources=sources)
        paths: list[tuple[str, str | None]] = [(each.name, reader.get_path(each)) for each in reader.data_sources]
    except _CONFIGURATION_ERRORS as error:
        raise CacheCommandError(str(error)) from None
    folder_path = _resolved(reader.cache_dir if cache_dir is None else cache_dir)
    storage_url = getattr(reader.io_obj, "storage_url", None)
    result = Locations(date, f"{exchange}:{symbol}", kind.name, folder_path)
    for source_name, storage_path in paths:
        if storage_path is None:
            raise CacheCommandError(f"the path manager gave no storage path for {source_name}")
        stored = bool(reader.io_obj.exists(storage_path))  # an unreachable store raises OSError
        url = storage_path if storage_url is None else storage_url(storage_path)
        cache_file = os.path.join(folder_path, cache_name_for(storage_path))
        kind_at_name = _core.cache_entry_kind(cache_file)
        result.locations.append(Location(source_name, storage_path, stored, url, cache_file,
                                         kind_at_name, kind_at_name == "regular file"))
    return result


def _member(enum: Any, value: Any) -> Any:
    if isinstance(value, enum):
        return value
    if value not in enum.__members__:
        raise CacheCommandError(f"unknown {enum.__name__} {value!r}; one of {', '.join(enum.__members__)}")
    return enum[value]


@dataclass
class BadEntry:
    name: str
    reason: str
    removed: bool = False
    # Another process replaced or removed it after it was checked: what is there now is not
    # the bad entry.
    changed: bool = False
    storage_path: str | None = None


@dataclass
class Verification:
    cache_dir: str
    checked: int = 0
    bad: list[BadEntry] = field(default_factory=list)
    # Folders at cache names: left alone by design (readers bypass the cache for those tables).
    folders: list[str] = field(default_factory=list)

    @property
    def left_bad(self) -> int:
        """Bad entries still in the folder."""
        return sum(not (b.removed or b.changed) for b in self.bad)


def _check(folder: _Folder, entry: _Entry) -> tuple[str | None, os.stat_result, str | None]:
    """Why the cache entry is unusable to the reader (None when it is a good one), the status
    of the entry judged, and the storage path it records.

    Raises _Changed when the entry is gone, or turned into a regular file or a folder since it
    was listed (whatever is there now was not examined, or is not to be removed).
    """
    import pandas as pd

    try:
        with folder.open(entry.name) as (handle, status):
            storage_path = _contents(handle, status.st_size).storage_path
            handle.seek(0)
            try:
                table = pd.read_feather(handle)
            except Exception as error:  # whatever the reader would fail on makes the entry bad
                return f"unreadable: {type(error).__name__}: {error}", status, storage_path
        return ("empty table" if table.empty else None), status, storage_path
    except FileNotFoundError:
        raise _Changed(entry.name) from None
    except OSError as error:  # not a regular file: the reader's own refusal, or unreadable
        try:
            status = folder.lstat(entry.name)
        except FileNotFoundError:
            raise _Changed(entry.name) from None
        if stat.S_ISDIR(status.st_mode) or (stat.S_ISREG(status.st_mode) and not stat.S_ISREG(entry.status.st_mode)):
            raise _Changed(entry.name) from None
        return str(error), status, None


def _progress(items: list[_Entry], shown: bool) -> Iterable[_Entry]:
    if not shown:
        return items
    try:
        from tqdm import tqdm
    except ImportError:
        return items
    return tqdm(items, desc="verify", unit="file", delay=1.0, leave=False, file=sys.stderr)


def verify(cache_dir: str | None = None, *, fix: bool = False, progress: bool = False) -> Verification:
    """Read every cache entry as the reader would; with ``fix``, remove the bad ones.

    Bad: not a regular file, not a readable Feather file, or an empty table (no rows or no
    columns). A folder at a cache name is listed in ``folders`` and left alone. An entry that
    another process replaces or removes meanwhile is skipped, or marked ``changed`` when that
    happens between its check and its removal. ``progress`` shows a bar on stderr when the
    check takes more than a second (if tqdm is installed).
    """
    cache_dir = _resolved(cache_dir)
    result = Verification(cache_dir)
    with _Folder(cache_dir) as folder:
        entries = [e for e in folder.entries() if e.temporary is None]
        for entry in _progress(entries, progress):
            if stat.S_ISDIR(entry.status.st_mode):
                result.checked += 1
                result.folders.append(entry.name)
                continue
            try:
                reason, status, storage_path = _check(folder, entry)
            except _Changed:
                continue
            result.checked += 1
            if reason is None:
                continue
            bad = BadEntry(entry.name, reason, storage_path=storage_path)
            result.bad.append(bad)
            if fix:
                try:
                    folder.remove(entry.name, status)
                    bad.removed = True
                except _Changed:
                    bad.changed = True
                except OSError as error:
                    bad.reason += f"; not removed: {error}"
    return result


@dataclass
class Removed:
    name: str
    size: int
    storage_path: str | None = None  # recorded in a cache file (prune); None otherwise


@dataclass
class Removal:
    cache_dir: str
    dry_run: bool = False
    removed: list[Removed] = field(default_factory=list)
    bytes: int = 0
    remaining_files: int = 0
    remaining_bytes: int = 0
    failed: list[BadEntry] = field(default_factory=list)  # could not be removed, and why


def _remove_chosen(folder: _Folder, entries: list[_Entry], chosen: list[bool], dry_run: bool = False,
                   describe: bool = False) -> Removal:
    """Remove the entries marked in ``chosen``; the others count as remaining. An entry that
    another process replaced or removed meanwhile is neither. ``describe``: read the storage
    path of each cache file removed."""
    result = Removal(folder.path, dry_run)
    kept = []
    for entry, remove in zip(entries, chosen):
        if not remove:
            kept.append(entry)
            continue
        held = _read_contents(folder, entry.name) if describe else None
        storage_path = None if held is None else held.storage_path
        try:
            if not dry_run:
                folder.remove(entry.name, entry.status)
        except _Changed:
            continue
        except OSError as error:
            result.failed.append(BadEntry(entry.name, str(error)))
            kept.append(entry)
            continue
        result.removed.append(Removed(entry.name, entry.status.st_size, storage_path))
        result.bytes += entry.status.st_size
    kept = [e for e in kept if not stat.S_ISDIR(e.status.st_mode)]
    result.remaining_files = len(kept)
    result.remaining_bytes = sum(e.status.st_size for e in kept)
    return result


def prune(cache_dir: str | None = None, *, max_size: int | None = None,
          older_than: float | None = None, dry_run: bool = False) -> Removal:
    """Remove the cache files unused for more than ``older_than`` seconds, then the least
    recently used ones until the cache files total at most ``max_size`` bytes.

    A file's last use is the later of its access and modification times: access times alone
    are unreliable (noatime and relatime mounts do not keep them). Only cache files count
    towards the size, not the temporary files of writers.
    """
    if max_size is None and older_than is None:
        raise ValueError("prune needs max_size or older_than")
    cache_dir = _resolved(cache_dir)
    now = time.time()
    with _Folder(cache_dir) as folder:
        files = sorted(folder.cache_files(), key=lambda e: e.last_used)
        total = sum(e.status.st_size for e in files)
        chosen = []
        for entry in files:
            too_old = older_than is not None and now - entry.last_used > older_than
            remove = too_old or (max_size is not None and total > max_size)
            total -= entry.status.st_size if remove else 0
            chosen.append(remove)
        return _remove_chosen(folder, files, chosen, dry_run, describe=True)


def clean_temp(cache_dir: str | None = None, *, dry_run: bool = False) -> Removal:
    """Remove the temporary files of writers that died (see :func:`is_leftover`)."""
    cache_dir = _resolved(cache_dir)
    now = time.time()
    with _Folder(cache_dir) as folder:
        temporary = [e for e in folder.entries() if e.temporary is not None]
        return _remove_chosen(folder, temporary, [is_leftover(e.name, e.status, now) for e in temporary],
                              dry_run)


def clear(cache_dir: str | None = None) -> Removal:
    """Remove every entry at a cache name (a link itself, never its target); folders stay."""
    cache_dir = _resolved(cache_dir)
    with _Folder(cache_dir) as folder:
        entries = [e for e in folder.entries() if e.temporary is None]
        return _remove_chosen(folder, entries, [not stat.S_ISDIR(e.status.st_mode) for e in entries])


# ---------------------------------------------------------------------------------------------
# Sizes and ages, read and written.

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


def human_size(size: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024:
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    return f"{size:.1f} TiB"


def human_age(seconds: float) -> str:
    parts: list[str] = []
    rest = int(seconds)
    for unit, length in (("d", 86400), ("h", 3600), ("m", 60), ("s", 1)):
        if rest >= length or (unit == "s" and not parts):
            parts.append(f"{rest // length}{unit}")
            rest %= length
    return " ".join(parts[:2])


# ---------------------------------------------------------------------------------------------
# The command.

def _shape_text(each: CacheFile) -> str:
    rows = "?" if each.rows is None else str(each.rows)
    columns = "?" if each.columns is None else str(each.columns)
    return f"{rows} rows, {columns} columns"


def _print_info(result: Info) -> None:
    print(f"cache folder  {result.cache_dir}" + ("" if result.exists else "  (not created yet)"))
    print(f"cache files   {result.files} ({human_size(result.bytes)})")
    for label, each in (("oldest", result.oldest), ("newest", result.newest)):
        if each is not None:
            print(f"{label:<13} {each.name}  last used {each.last_used} ({human_age(each.age_seconds)} ago), "
                  f"{_shape_text(each)}" + (f"\n{'':<13} holds {each.storage_path}" if each.storage_path else ""))
    print(f"leftovers     {result.leftovers} temporary files of writers that died "
          f"({human_size(result.leftover_bytes)})" + ("; clean-temp removes them" if result.leftovers else ""))
    if result.in_progress:
        print(f"in progress   {result.in_progress} temporary files of writers still at work")


def _print_listing(result: Listing) -> None:
    print(f"{'SIZE':>10} {'ROWS':>10} {'COLS':>5} {'AGE':>8}  NAME  STORAGE PATH")
    for f in result.files:
        rows = "?" if f.rows is None else str(f.rows)
        columns = "?" if f.columns is None else str(f.columns)
        print(f"{human_size(f.size):>10} {rows:>10} {columns:>5} {human_age(f.age_seconds):>8}  {f.name}  "
              f"{f.url or f.storage_path or '-'}")


def _print_locations(result: Locations) -> None:
    print(f"{result.data_type} of {result.instrument} on {result.date}, cache folder {result.cache_dir}")
    for each in result.locations:
        print(f"{each.source}:\n  storage     {each.storage_path} ({'stored' if each.stored else 'not stored'})")
        if each.url != each.storage_path:
            print(f"  object      {each.url}")
        print(f"  cache file  {each.cache_file} ({'cached' if each.present else each.cache_entry})")


def _print_verification(result: Verification) -> None:
    for bad in result.bad:
        state = "removed" if bad.removed else "changed" if bad.changed else "bad"
        held = f" (holds {bad.storage_path})" if bad.storage_path else ""
        note = "; since replaced or removed by another process" if bad.changed else ""
        print(f"{state:<8} {bad.name}{held}: {bad.reason}{note}")
    for name in result.folders:
        print(f"{'folder':<8} {name}: left alone; readers bypass the cache for this table")
    print(f"checked {result.checked} entries: {len(result.bad)} bad, "
          f"{sum(b.removed for b in result.bad)} removed, {result.left_bad} left bad")


def _print_removal(result: Removal) -> None:
    verb = "would remove" if result.dry_run else "removed"
    for each in result.removed:
        held = f"  {each.storage_path}" if each.storage_path else ""
        print(f"{verb} {each.name} ({human_size(each.size)}){held}")
    for failure in result.failed:
        print(f"could not remove {failure.name}: {failure.reason}", file=sys.stderr)
    print(f"{verb} {len(result.removed)} files ({human_size(result.bytes)}); "
          f"{result.remaining_files} left ({human_size(result.remaining_bytes)})")


def _argument(parse: Any) -> Any:
    def convert(text: str) -> Any:
        try:
            return parse(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
    convert.__name__ = parse.__name__
    return convert


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(f"must be at least 1: {text}")
    return value


def _folder_name(text: str) -> str:
    if not text:
        raise ValueError("the cache folder must not be empty")
    return text


def _add_common_options(parser: argparse.ArgumentParser, default: Any) -> None:
    parser.add_argument("--cache-dir", type=_argument(_folder_name), default=default,
                        help="the cache folder (default: LOCAL_DATA_CACHE_DIR of the configuration)")
    parser.add_argument("--json", action="store_true", default=default, help="print the result as JSON")


def _parser() -> argparse.ArgumentParser:
    # --cache-dir and --json go before or after the command; after it they are set only when
    # given, so that they do not undo the same options given before it.
    common = argparse.ArgumentParser(add_help=False)
    _add_common_options(common, argparse.SUPPRESS)
    parser = argparse.ArgumentParser(
        prog="light-data-cache",
        description="See and manage the local Feather cache of CryptoMktData readers. Only cache "
                    "files and the readers' temporary files are touched; it is safe while readers use the cache.",
        epilog="Exit status: 0 on success, 1 when verify leaves bad entries, an entry could not "
               "be removed or storage could not be reached, 2 on usage or configuration errors.")
    _add_common_options(parser, None)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("info", parents=[common], help="the folder, its size, oldest and newest files, leftovers")
    listing = commands.add_parser("ls", parents=[common],
                                  help="each cache file with size, rows, columns, age and the storage path it holds")
    listing.add_argument("--sort", choices=["name", "size", "age"], default="name",
                         help="size: largest first; age: least recently used first")
    listing.add_argument("--limit", type=_argument(_positive), metavar="N", help="list at most N files")
    place = commands.add_parser("where", parents=[common],
                                help="whether storage holds one table, where, and its cache file")
    place.add_argument("date", type=_argument(parse_date), metavar="DATE",
                       help="trading date YYYYMMDD or YYYY-MM-DD")
    place.add_argument("instrument", metavar="INSTRUMENT", help="exchange:symbol, e.g. binance-futures:BTCUSDT")
    place.add_argument("data_type", metavar="DATA_TYPE", help="a DataType name, e.g. Klines")
    place.add_argument("--source", metavar="S", help="a DataSource name (default: each of the reader's default sources)")
    check = commands.add_parser("verify", parents=[common], help="read every cache file; report the bad ones")
    check.add_argument("--fix", action="store_true", help="remove the bad entries, as a reader would")
    trim = commands.add_parser(
        "prune", parents=[common], help="remove old or least recently used cache files",
        description="Remove cache files unused for longer than AGE, then the least recently used "
                    "until the cache files total at most SIZE. The last use of a file is the later "
                    "of its access and modification times: access times alone are unreliable "
                    "(noatime mounts never change them, relatime ones at most once a day). ls and "
                    "verify read files without counting as a use.")
    trim.add_argument("--max-size", type=_argument(parse_size), metavar="SIZE",
                      help="bytes, or with K, M, G or T (powers of 1024), e.g. 10G")
    trim.add_argument("--older-than", type=_argument(parse_age), metavar="AGE",
                      help="a number with s, m, h, d or w, e.g. 90m, 12h, 30d")
    trim.add_argument("--dry-run", action="store_true", help="only say what would be removed")
    temporary = commands.add_parser("clean-temp", parents=[common], help="remove temporary files of writers that died")
    temporary.add_argument("--dry-run", action="store_true", help="only say what would be removed")
    wipe = commands.add_parser("clear", parents=[common], help="remove every cache file")
    wipe.add_argument("--yes", action="store_true", help="required: confirms the removal")
    from halvorn.orrery_data._light_data_cache_copies import commands as copies

    copies.add_commands(commands, common)
    for command in commands.choices.values():
        command.set_defaults(usage=command)  # usage errors name the command
    return parser


def _run(args: argparse.Namespace) -> tuple[Any, int]:
    command = args.command
    if command == "where":
        result: Any = where(args.date, args.instrument, args.data_type, args.source, args.cache_dir)
        return result, 0
    if command in ("rm", "stale"):
        from halvorn.orrery_data._light_data_cache_copies import commands as copies

        return copies.run(args)
    cache_dir = _resolved(args.cache_dir)
    if command == "info":
        return info(cache_dir), 0
    if command == "ls":
        return ls(cache_dir, sort=args.sort, limit=args.limit), 0
    if command == "verify":
        result = verify(cache_dir, fix=args.fix, progress=not args.json and sys.stderr.isatty())
        return result, 1 if result.left_bad else 0
    if command == "prune":
        if args.max_size is None and args.older_than is None:
            args.usage.error("give --max-size, --older-than or both")
        result = prune(cache_dir, max_size=args.max_size, older_than=args.older_than, dry_run=args.dry_run)
    elif command == "clean-temp":
        result = clean_temp(cache_dir, dry_run=args.dry_run)
    else:
        if not args.yes:
            args.usage.error("clear removes every cache file: add --yes to confirm")
        result = clear(cache_dir)
    return result, 1 if result.failed else 0


_PRINTERS: dict[type, Callable[[Any], None]] = {Info: _print_info, Listing: _print_listing, Locations: _print_locations,
             Verification: _print_verification, Removal: _print_removal}


def _printer(result: Any) -> Callable[[Any], None]:
    from halvorn.orrery_data._light_data_cache_copies import commands as copies

    return {**_PRINTERS, **copies.PRINTERS}[type(result)]


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        result, status = _run(args)
    except CacheCommandError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 1
    try:
        if args.json:
            data = dataclasses.asdict(result)
            if isinstance(result, Verification):
                data["left_bad"] = result.left_bad
            print(json.dumps(data, indent=2))
        else:
            _printer(result)(result)
        sys.stdout.flush()
    except BrokenPipeError:
        # Whoever read the output stopped early (`| head`): the work is done, only the rest of
        # the report is lost. Point stdout at nothing so that closing it at exit cannot fail too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return status


if __name__ == "__main__":
    sys.exit(main())
