"""See and manage the local Feather cache of ``CryptoMktData`` readers.

The command ``light-data-cache`` (also ``python -m halvorn.orrery_data.light_data_cache``)
and the functions :func:`info`, :func:`ls`, :func:`where`, :func:`verify`, :func:`prune`,
:func:`clean_temp` and :func:`clear` work on the cache folder of the configuration
(``LOCAL_DATA_CACHE_DIR``) or on another folder given to them. Each function returns plain
data (dataclasses); the command prints it, as JSON with ``--json``.

Only entries named as the reader names them are ever looked at or removed: cache files and the
reader's temporary files (see the rule below). Entries are examined through one descriptor of
the folder, with ``lstat`` and ``O_NOFOLLOW``, so a symbolic link is never followed and nothing
outside the folder is touched; an entry is removed only if it is still the one examined, and an
entry that disappears meanwhile (a reader replaced or removed it) is skipped. Readers in other
processes may use the cache at the same time: a reader whose cache file is removed reads the
table from storage again.
"""

from __future__ import annotations

import argparse
import configparser
import contextlib
import dataclasses
import hashlib
import json
import os
import re
import stat
import struct
import sys
import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any, BinaryIO

import pyarrow as pa
import pyarrow.ipc

__all__ = [
    "CACHE_NAME", "TEMPORARY_NAME", "OTHER_HOST_LEFTOVER_AGE", "TemporaryName", "cache_name_for",
    "host_label", "parse_temporary_name", "is_leftover", "CacheCommandError", "configured_cache_dir",
    "CacheFile", "Info", "Listing", "Location", "Locations", "BadEntry", "Verification", "Removed",
    "Removal", "info", "ls", "where", "verify", "prune", "clean_temp", "clear", "parse_size",
    "parse_age", "main",
]

# ---------------------------------------------------------------------------------------------
# What the reader puts in its cache folder, and when a temporary file is the leftover of a
# writer that died. The reader applies the same rule; nothing else in this module decides
# which entries are ours or which temporary files may go.
#
# A cache file is "<sha256 of the storage path, lowercase hex>.feather", directly in the folder.
# A writer writes it to "<cache file name>.tmp-<host>-<pid>-<random hex digits>" (the reader
# writes 16 of them) in the same folder, then renames that onto the cache name. <host> is the
# writer's node name with every character outside [A-Za-z0-9._-] replaced by "_"; it may contain
# "-", so the pid and the random part are the last two fields. A name that does not match
# exactly is not ours.

CACHE_NAME = re.compile(r"[0-9a-f]{64}\.feather")
TEMPORARY_NAME = re.compile(
    r"(?P<cache_name>[0-9a-f]{64}\.feather)\.tmp-(?P<host>[A-Za-z0-9._-]+)"
    r"-(?P<pid>[1-9][0-9]{0,8})-(?P<token>[0-9a-fA-F]{1,64})"
)
# A temporary file of another host is a leftover once it has not changed for this many
# seconds: its writer's pid cannot be checked from here.
OTHER_HOST_LEFTOVER_AGE = 3600.0


def cache_name_for(storage_path: str) -> str:
    """The name of the cache file of one storage path."""
    return hashlib.sha256(storage_path.encode()).hexdigest() + ".feather"


def host_label(nodename: str | None = None) -> str:
    """The host field that writers on this machine (or on ``nodename``) put in their names."""
    return re.sub(r"[^A-Za-z0-9._-]", "_", os.uname().nodename if nodename is None else nodename)


@dataclass(frozen=True)
class TemporaryName:
    cache_name: str
    host: str
    pid: int


def parse_temporary_name(name: str) -> TemporaryName | None:
    """The fields of a writer's temporary file name, or None when ``name`` is not one."""
    match = TEMPORARY_NAME.fullmatch(name)
    if match is None:
        return None
    return TemporaryName(match["cache_name"], match["host"], int(match["pid"]))


def _process_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OverflowError:
        return False  # beyond any pid the system hands out
    except PermissionError:
        return True  # it exists, under another user
    return True


def is_leftover(name: TemporaryName, status: os.stat_result, now: float | None = None) -> bool:
    """Whether a temporary file (``status`` from ``lstat``) belongs to a writer that is gone.

    On this host the writer is gone when its pid is no longer alive; a file of another host is
    a leftover once it is more than an hour old. Only a regular file or a symbolic link (the
    link itself) can be a leftover: a folder, or any other kind of entry, is left alone.
    """
    if not (stat.S_ISREG(status.st_mode) or stat.S_ISLNK(status.st_mode)):
        return False
    if name.host == host_label():
        return not _process_alive(name.pid)
    now = time.time() if now is None else now
    return now - status.st_mtime > OTHER_HOST_LEFTOVER_AGE


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
        return ConfigLoader().config["data_related"]["LOCAL_DATA_CACHE_DIR"]
    except _CONFIGURATION_ERRORS as error:
        raise CacheCommandError(f"cannot read the cache folder from the configuration: {error}") from None


def _resolved(cache_dir: str | None) -> str:
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


_O_NOATIME = getattr(os, "O_NOATIME", 0)


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
            if not CACHE_NAME.fullmatch(name):
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

    def remove(self, entry: _Entry) -> bool:
        """Unlink the entry if it is still the one examined; False when it went or was replaced."""
        if stat.S_ISDIR(entry.status.st_mode):
            return False
        try:
            if _identity(self.lstat(entry.name)) != _identity(entry.status):
                return False
            os.unlink(entry.name, dir_fd=self._dir_fd())
        except FileNotFoundError:
            return False
        return True

    @contextlib.contextmanager
    def open_regular(self, name: str) -> Iterator[BinaryIO]:
        """The entry opened for reading; refuses a link, and anything but a regular file.

        Reading does not update the access time where the system allows it (the owner of the
        file, or root): otherwise looking at the cache would make every file look recently used.
        """
        flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
        try:
            fd = os.open(name, flags | _O_NOATIME, dir_fd=self._dir_fd())
        except PermissionError:
            if not _O_NOATIME:
                raise
            fd = os.open(name, flags, dir_fd=self._dir_fd())
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise OSError(f"{name} is not a regular file")
            handle = os.fdopen(fd, "rb")
        except BaseException:
            os.close(fd)
            raise
        with handle:
            yield handle


def _identity(status: os.stat_result) -> tuple[int, int, int, int, int]:
    return status.st_dev, status.st_ino, status.st_mode, status.st_size, status.st_mtime_ns


# ---------------------------------------------------------------------------------------------
# Rows and columns from the Arrow file's metadata. The footer lists where each record batch
# starts; each batch's header (a few hundred bytes) holds its row count. No column data is read.

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


def _shape(handle: BinaryIO, size: int) -> tuple[int | None, int | None]:
    """(rows, columns) of a Feather file, None for what cannot be read."""
    try:
        schema = pyarrow.ipc.open_file(handle).schema
    except (pa.ArrowException, OSError, ValueError):
        return None, None
    try:
        # A stored index is kept as extra columns, named in the pandas metadata.
        index = sum(isinstance(name, str) for name in schema.pandas_metadata["index_columns"])
    except (KeyError, TypeError, ValueError):  # no pandas metadata, or metadata not as pandas writes it
        index = 0
    columns = len(schema) - index
    try:
        rows: int | None = _arrow_rows(handle.fileno(), size)
    except (ValueError, struct.error, OSError):
        rows = None
    return rows, columns


# ---------------------------------------------------------------------------------------------
# The operations. Each returns plain data; times are UTC ISO 8601 text, ages seconds.

def _iso(timestamp: float) -> str:
    return datetime.fromtimestamp(timestamp, timezone.utc).isoformat(timespec="seconds")


@dataclass
class CacheFile:
    name: str
    size: int
    last_used: str
    age_seconds: float
    rows: int | None = None
    columns: int | None = None


def _cache_file(entry: _Entry, now: float) -> CacheFile:
    return CacheFile(entry.name, entry.status.st_size, _iso(entry.last_used),
                     round(max(0.0, now - entry.last_used), 3))


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
        result.oldest, result.newest = _cache_file(files[0], now), _cache_file(files[-1], now)
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
    """The cache files with size, rows, columns and age (rows and columns from each file's
    metadata, without reading its data). ``sort``: "name", "size" (largest first) or "age"
    (least recently used first)."""
    if sort not in _SORT_KEYS:
        raise ValueError(f"sort must be one of {', '.join(_SORT_KEYS)}, got {sort!r}")
    cache_dir = _resolved(cache_dir)
    now = time.time()
    result = Listing(cache_dir)
    with _Folder(cache_dir) as folder:
        files = sorted(folder.cache_files(), key=_SORT_KEYS[sort])
        for entry in files[:limit]:
            listed = _cache_file(entry, now)
            try:
                with folder.open_regular(entry.name) as handle:
                    listed.rows, listed.columns = _shape(handle, entry.status.st_size)
            except FileNotFoundError:
                continue
            except OSError:
                pass  # replaced by something else meanwhile: listed without its shape
            result.files.append(listed)
    return result


@dataclass
class Location:
    source: str
    storage_path: str
    cache_file: str
    present: bool  # a regular file is at the cache name


@dataclass
class Locations:
    date: int
    instrument: str
    data_type: str
    cache_dir: str
    locations: list[Location] = field(default_factory=list)


def where(date: int, instrument: str, data_type: Any, source: Any = None,
          cache_dir: str | None = None) -> Locations:
    """The storage path and cache file that a reader uses for each of its sources.

    ``instrument`` is "exchange:symbol"; ``data_type`` and ``source`` are ``DataType`` and
    ``DataSource`` members or their names. Without ``source``, each of the reader's default
    sources is listed. ``cache_dir`` replaces the reader's configured cache folder.
    """
    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_utils.priceable.instrument import Instrument

    exchange, colon, symbol = instrument.partition(":")
    if not (colon and exchange and symbol):
        raise CacheCommandError(f"instrument must be exchange:symbol, got {instrument!r}")
    kind = _member(DataType, data_type)
    sources = None if source is None else [_member(DataSource, source)]
    try:
        # Paths do not depend on the storage back end; the local one needs no credentials.
        reader = CryptoMktData(date, Instrument(exchange, symbol), kind, use_minio_storage=False,
                               data_sources=sources)
        paths: list[tuple[str, str | None]] = [(each.name, reader.get_path(each)) for each in reader.data_sources]
    except _CONFIGURATION_ERRORS as error:
        raise CacheCommandError(str(error)) from None
    folder_path = os.path.abspath(cache_dir or reader.cache_dir)
    result = Locations(date, f"{exchange}:{symbol}", kind.name, folder_path)
    with _Folder(folder_path) as folder:
        for source_name, storage_path in paths:
            if storage_path is None:
                raise CacheCommandError(f"the path manager gave no storage path for {source_name}")
            name = cache_name_for(storage_path)
            try:
                present = stat.S_ISREG(folder.lstat(name).st_mode)
            except FileNotFoundError:
                present = False
            result.locations.append(Location(source_name, storage_path,
                                             os.path.join(folder_path, name), present))
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


@dataclass
class Verification:
    cache_dir: str
    checked: int = 0
    bad: list[BadEntry] = field(default_factory=list)

    @property
    def left_bad(self) -> int:
        """Bad entries still in the folder."""
        return sum(not b.removed for b in self.bad)


def _fault(folder: _Folder, entry: _Entry) -> str | None:
    """Why a cache entry is unusable to the reader, or None when it is a good one."""
    import pandas as pd

    if stat.S_ISDIR(entry.status.st_mode):
        return "a folder (left alone; readers bypass the cache for this table)"
    if not stat.S_ISREG(entry.status.st_mode):
        return "not a regular file"
    with folder.open_regular(entry.name) as handle:
        try:
            table = pd.read_feather(handle)
        except Exception as error:  # whatever the reader would fail on makes the entry bad
            return f"unreadable: {type(error).__name__}: {error}"
    return "empty table" if table.empty else None


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
    columns). A folder at a cache name is reported but never removed. ``progress`` shows a bar
    on stderr when the check takes more than a second (if tqdm is installed).
    """
    cache_dir = _resolved(cache_dir)
    result = Verification(cache_dir)
    with _Folder(cache_dir) as folder:
        entries = [e for e in folder.entries() if e.temporary is None]
        for entry in _progress(entries, progress):
            try:
                reason = _fault(folder, entry)
            except FileNotFoundError:
                continue  # removed by a reader meanwhile
            except OSError as error:  # e.g. swapped for a link since it was examined
                reason = str(error)
            result.checked += 1
            if reason is not None:
                result.bad.append(BadEntry(entry.name, reason, fix and folder.remove(entry)))
    return result


@dataclass
class Removed:
    name: str
    size: int


@dataclass
class Removal:
    cache_dir: str
    dry_run: bool = False
    removed: list[Removed] = field(default_factory=list)
    bytes: int = 0
    remaining_files: int = 0
    remaining_bytes: int = 0
    failed: list[BadEntry] = field(default_factory=list)  # could not be removed, and why


def _remove_chosen(folder: _Folder, entries: list[_Entry], chosen: list[bool],
                   dry_run: bool = False) -> Removal:
    """Remove the entries marked in ``chosen``; the others count as remaining."""
    result = Removal(folder.path, dry_run)
    kept = []
    for entry, remove in zip(entries, chosen):
        if not remove:
            kept.append(entry)
            continue
        try:
            gone = dry_run or folder.remove(entry)
        except OSError as error:
            result.failed.append(BadEntry(entry.name, str(error)))
            kept.append(entry)
            continue
        if gone:
            result.removed.append(Removed(entry.name, entry.status.st_size))
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
        return _remove_chosen(folder, files, chosen, dry_run)


def clean_temp(cache_dir: str | None = None) -> Removal:
    """Remove the temporary files of writers that died (see :func:`is_leftover`)."""
    cache_dir = _resolved(cache_dir)
    now = time.time()
    with _Folder(cache_dir) as folder:
        temporary = [(e, e.temporary) for e in folder.entries() if e.temporary is not None]
        return _remove_chosen(folder, [e for e, _ in temporary],
                              [is_leftover(name, e.status, now) for e, name in temporary])


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


def parse_size(text: str) -> int:
    """Bytes from "1234", "500M", "10G" (K, M, G, T are powers of 1024)."""
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"size must be a number of bytes, optionally with K, M, G or T: {text!r}")
    return int(float(match[1]) * 1024 ** " KMGT".index(match[2].upper() or " "))


def parse_age(text: str) -> float:
    """Seconds from "90s", "90m", "12h", "30d", "2w"."""
    match = _AGE.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"age must be a number with s, m, h, d or w (e.g. 30d): {text!r}")
    return float(match[1]) * _AGE_UNITS[match[2]]


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

def _print_info(result: Info) -> None:
    print(f"cache folder  {result.cache_dir}" + ("" if result.exists else "  (not created yet)"))
    print(f"cache files   {result.files} ({human_size(result.bytes)})")
    for label, each in (("oldest", result.oldest), ("newest", result.newest)):
        if each is not None:
            print(f"{label:<13} {each.name}  last used {each.last_used} ({human_age(each.age_seconds)} ago)")
    print(f"leftovers     {result.leftovers} temporary files of writers that died "
          f"({human_size(result.leftover_bytes)})" + ("; clean-temp removes them" if result.leftovers else ""))
    if result.in_progress:
        print(f"in progress   {result.in_progress} temporary files of writers still at work")


def _print_listing(result: Listing) -> None:
    print(f"{'SIZE':>10} {'ROWS':>10} {'COLS':>5} {'AGE':>8}  NAME")
    for f in result.files:
        rows = "?" if f.rows is None else str(f.rows)
        columns = "?" if f.columns is None else str(f.columns)
        print(f"{human_size(f.size):>10} {rows:>10} {columns:>5} {human_age(f.age_seconds):>8}  {f.name}")


def _print_locations(result: Locations) -> None:
    print(f"{result.data_type} of {result.instrument} on {result.date}, cache folder {result.cache_dir}")
    for each in result.locations:
        state = "cached" if each.present else "not cached"
        print(f"{each.source}:\n  storage     {each.storage_path}\n  cache file  {each.cache_file} ({state})")


def _print_verification(result: Verification) -> None:
    for bad in result.bad:
        print(f"{'removed' if bad.removed else 'bad':<8} {bad.name}: {bad.reason}")
    print(f"checked {result.checked} entries: {len(result.bad)} bad, "
          f"{len(result.bad) - result.left_bad} removed")


def _print_removal(result: Removal) -> None:
    verb = "would remove" if result.dry_run else "removed"
    for each in result.removed:
        print(f"{verb} {each.name} ({human_size(each.size)})")
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


def _add_common_options(parser: argparse.ArgumentParser, default: Any) -> None:
    parser.add_argument("--cache-dir", default=default,
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
        epilog="Exit status: 0 on success, 1 when verify leaves bad entries or an entry could not "
               "be removed, 2 on usage or configuration errors.")
    _add_common_options(parser, None)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("info", parents=[common], help="the folder, its size, oldest and newest files, leftovers")
    listing = commands.add_parser("ls", parents=[common], help="each cache file with size, rows, columns and age")
    listing.add_argument("--sort", choices=["name", "size", "age"], default="name",
                         help="size: largest first; age: least recently used first")
    listing.add_argument("--limit", type=_argument(_positive), metavar="N", help="list at most N files")
    place = commands.add_parser("where", parents=[common], help="the storage path and cache file of one table")
    place.add_argument("date", type=_argument(int), metavar="DATE", help="trading date YYYYMMDD")
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
    commands.add_parser("clean-temp", parents=[common], help="remove temporary files of writers that died")
    wipe = commands.add_parser("clear", parents=[common], help="remove every cache file")
    wipe.add_argument("--yes", action="store_true", help="required: confirms the removal")
    for command in commands.choices.values():
        command.set_defaults(usage=command)  # usage errors name the command
    return parser


def _run(args: argparse.Namespace) -> tuple[Any, int]:
    command = args.command
    if command == "where":
        result: Any = where(args.date, args.instrument, args.data_type, args.source, args.cache_dir)
        return result, 0
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
        result = clean_temp(cache_dir)
    else:
        if not args.yes:
            args.usage.error("clear removes every cache file: add --yes to confirm")
        result = clear(cache_dir)
    return result, 1 if result.failed else 0


_PRINTERS: dict[type, Callable[[Any], None]] = {Info: _print_info, Listing: _print_listing, Locations: _print_locations,
             Verification: _print_verification, Removal: _print_removal}


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
            _PRINTERS[type(result)](result)
        sys.stdout.flush()
    except BrokenPipeError:
        # Whoever read the output stopped early (`| head`): the work is done, only the rest of
        # the report is lost. Point stdout at nothing so that closing it at exit cannot fail too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return status


if __name__ == "__main__":
    sys.exit(main())
