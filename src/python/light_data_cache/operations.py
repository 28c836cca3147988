"""The operations on the cache folder. Each returns plain data (dataclasses); times are UTC
ISO 8601 text, ages seconds."""

from __future__ import annotations

import datetime as dt
import os
import stat
import sys
import time
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

from halvorn.orrery_data import _light_data_core as _core
from halvorn.orrery_data._light_data_inputs import parse_date, parse_instrument

from .cache_folder import CONFIGURATION_ERRORS, CacheCommandError, Changed, Entry, Folder, resolved
from .file_contents import contents, problem, read_contents
from .reader_rules import cache_name_for, is_leftover


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
    url: str | None = None  # where storage keeps that table (s3://bucket/key on an object store)


def _cache_file(folder: Folder, entry: Entry, now: float) -> CacheFile | None:
    """The cache file as listed, None when it is gone."""
    held = read_contents(folder, entry.name)
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
    cache_dir = resolved(cache_dir)
    now = time.time()
    with Folder(cache_dir) as folder:
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
    """The cache files with size, rows, columns, age and the storage path each holds (read
    from the file's footer and record batches; no column is decoded). ``sort``: "name", "size" (largest first) or "age"
    (least recently used first)."""
    if sort not in _SORT_KEYS:
        raise ValueError(f"sort must be one of {', '.join(_SORT_KEYS)}, got {sort!r}")
    cache_dir = resolved(cache_dir)
    now = time.time()
    with Folder(cache_dir) as folder:
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
    try:
        exchange, symbol = parse_instrument(instrument)
    except ValueError as error:
        raise CacheCommandError(str(error)) from None
    kind = _member(DataType, data_type)
    sources = None if source is None else [_member(DataSource, source)]
    try:
        reader = CryptoMktData(date, Instrument(exchange, symbol), kind, data_sources=sources)
        paths: list[tuple[str, str | None]] = [(each.name, reader.get_path(each)) for each in reader.data_sources]
    except CONFIGURATION_ERRORS as error:
        raise CacheCommandError(str(error)) from None
    folder_path = resolved(reader.cache_dir if cache_dir is None else cache_dir)
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


def _check(folder: Folder, entry: Entry) -> tuple[str | None, os.stat_result, str | None]:
    """Why the cache entry is unusable to the reader (None when it is a good one), the status
    of the entry judged, and the storage path it records.

    Raises Changed when the entry is gone, or turned into a regular file or a folder since it
    was listed (whatever is there now was not examined, or is not to be removed).
    """
    try:
        with folder.open(entry.name) as (handle, status):
            storage_path = contents(handle, rows=False).storage_path
            return problem(handle), status, storage_path
    except FileNotFoundError:
        raise Changed(entry.name) from None
    except OSError as error:  # not a regular file: the reader's own refusal, or unreadable
        try:
            status = folder.lstat(entry.name)
        except FileNotFoundError:
            raise Changed(entry.name) from None
        if stat.S_ISDIR(status.st_mode) or (stat.S_ISREG(status.st_mode) and not stat.S_ISREG(entry.status.st_mode)):
            raise Changed(entry.name) from None
        return str(error), status, None


def _progress(items: list[Entry], shown: bool) -> Iterable[Entry]:
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
    cache_dir = resolved(cache_dir)
    result = Verification(cache_dir)
    with Folder(cache_dir) as folder:
        entries = [e for e in folder.entries() if e.temporary is None]
        for entry in _progress(entries, progress):
            if stat.S_ISDIR(entry.status.st_mode):
                result.checked += 1
                result.folders.append(entry.name)
                continue
            try:
                reason, status, storage_path = _check(folder, entry)
            except Changed:
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
                except Changed:
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


def _remove_chosen(folder: Folder, entries: list[Entry], chosen: list[bool], dry_run: bool = False,
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
        held = read_contents(folder, entry.name) if describe else None
        storage_path = None if held is None else held.storage_path
        try:
            if not dry_run:
                folder.remove(entry.name, entry.status)
        except Changed:
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
    cache_dir = resolved(cache_dir)
    now = time.time()
    with Folder(cache_dir) as folder:
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
    cache_dir = resolved(cache_dir)
    now = time.time()
    with Folder(cache_dir) as folder:
        temporary = [e for e in folder.entries() if e.temporary is not None]
        return _remove_chosen(folder, temporary, [is_leftover(e.name, e.status, now) for e in temporary],
                              dry_run)


def clear(cache_dir: str | None = None) -> Removal:
    """Remove every entry at a cache name (a link itself, never its target); folders stay."""
    cache_dir = resolved(cache_dir)
    with Folder(cache_dir) as folder:
        entries = [e for e in folder.entries() if e.temporary is None]
        return _remove_chosen(folder, entries, [not stat.S_ISDIR(e.status.st_mode) for e in entries])

