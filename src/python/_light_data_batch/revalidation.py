"""Cached copies checked against storage: each cache file written by a range read records the
identity of the stored table it copies (the object's ETag, or the file's size and modification
time, from the very read that filled it); a revalidating read compares it with what storage
holds now, learned for many tables at once (one listing per folder on the object store), and
drops every copy that does not match before it reads. A copy without a recorded identity
(written by ``get()``, or before identities were recorded) is unknown, never fresh."""

from __future__ import annotations

import os
import stat
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any

from halvorn.orrery_data import _light_data_core as core

# The configuration key that makes every range read revalidate (section [data_related]).
CONFIG_KEY = "LOCAL_DATA_CACHE_REVALIDATE"
_TRUE, _FALSE = ("1", "true", "yes", "on"), ("0", "false", "no", "off", "")


def configured() -> bool:
    """Whether the configuration asks range reads to revalidate their cached copies
    (``LOCAL_DATA_CACHE_REVALIDATE = true`` in ``[data_related]``; off when not set)."""
    from halvorn.orrery_data import light_data

    try:
        section = light_data.ConfigLoader().config["data_related"]
        text = section.get(CONFIG_KEY)
    except (KeyError, AttributeError, TypeError):
        return False
    value = str(text or "").strip().lower()
    if value in _TRUE:
        return True
    if value in _FALSE:
        return False
    raise ValueError(f"[data_related] {CONFIG_KEY} must be true or false, got {text!r}")


def revalidate_flag(revalidate: object) -> bool:
    if revalidate is None:
        return configured()
    if not isinstance(revalidate, bool):
        raise TypeError(f"revalidate must be True, False or None, got {type(revalidate).__name__}")
    return revalidate


@dataclass(frozen=True)
class CopyRecord:
    """What a cache file says of the table it copies."""

    storage_path: str | None
    identity: str | None  # None: unknown


def copy_record(cache_file: str, dir_fd: int | None = None) -> CopyRecord:
    """The storage path and identity recorded in `cache_file` (its schema metadata; nothing
    of its data is read). Raises OSError when it cannot be opened; an unreadable file records
    nothing."""
    descriptor = core.open_cache_entry(cache_file, dir_fd=dir_fd, keep_access_time=True)
    with os.fdopen(descriptor, "rb") as handle:
        _, _, path, identity = core.describe_cache_file(handle, rows=False)
    return CopyRecord(path, identity)


def current_identities(storage: Any, paths: list[str]) -> list[str | None]:
    """What storage holds at each of `paths` now: its identity, or None where nothing is
    stored. Without ``identities_many`` in the storage module, every identity is unknown:
    an empty string, which matches no recorded one."""
    identities_many = getattr(storage, "identities_many", None)
    if identities_many is None:
        return ["" if storage.exists(path) else None for path in paths]
    return list(identities_many(paths))


def is_current(record: CopyRecord, now: str | None) -> bool:
    return record.identity is not None and now is not None and record.identity == now


def source_paths(reader: Any) -> list[str | None]:
    """The storage path of `reader`'s table for each of its sources, in their order."""
    return [reader.get_path(data_source=source) for source in reader.data_sources]


def check_fills(readers: list[Any], paths: Callable[[Any], Iterable[str | None]] = source_paths) -> None:
    """After a range read filled the cache copies of `readers`' tables from storage: drops each
    copy that storage no longer holds as copied, by one listing per folder. A writer that
    replaced a table while it was read removes this machine's copy after its upload; a copy
    renamed into place after that removal is caught here, since its table had changed before
    this listing (otherwise the writer's removal came after the copy and took it). Only
    where the storage module names identities, both on reads and in listings; when the
    listing fails, the fresh copies are dropped rather than trusted."""
    if not readers or not readers[0]._use_cache or not readers[0]._write_cache:
        return
    storage = readers[0].io_obj
    if getattr(storage, "identities_many", None) is None or getattr(storage, "read_file_identified", None) is None:
        return
    try:
        drop_changed_copies(readers, lambda: "", keep_unknown=True, paths=paths)  # fills record their identity
    except Exception:
        for reader in readers:
            for path in paths(reader):
                if path is not None:
                    try:
                        os.unlink(os.path.join(reader.cache_dir, core.cache_name(path)))
                    except OSError:
                        pass


def drop_changed_copies(readers: Iterable[Any], describe: Callable[[], str], keep_unknown: bool = False,
                        paths: Callable[[Any], Iterable[str | None]] = source_paths) -> int:
    """Removes the cached copies, for every source of each of `readers`, that do not copy what
    storage holds now (changed, gone, or of unknown identity); returns how many. Storage is
    asked once for all of them; a store that cannot be asked raises, with a note from
    `describe`: a revalidating read does not serve what it could not check. `keep_unknown`
    leaves the copies without a recorded identity. `paths(reader)` gives the storage paths
    whose copies to check (by default, every source's)."""
    copies: list[tuple[str, str, os.stat_result]] = []  # storage path, cache file, its status
    storage = None
    for reader in readers:
        if not reader._use_cache:
            return 0
        storage = reader.io_obj
        for path in paths(reader):
            if path is None:
                continue
            cache_file = os.path.join(reader.cache_dir, core.cache_name(path))
            try:
                status = os.lstat(cache_file)
            except (FileNotFoundError, NotADirectoryError):
                continue
            if stat.S_ISREG(status.st_mode):
                copies.append((path, cache_file, status))
    if not copies:
        return 0
    try:
        identities = current_identities(storage, [path for path, _, _ in copies])
    except Exception as error:
        error.add_note(describe())
        raise
    dropped = 0
    for (_, cache_file, status), now in zip(copies, identities):
        try:
            record = copy_record(cache_file)
            if is_current(record, now) or (keep_unknown and record.identity is None):
                continue
            again = os.lstat(cache_file)
            if (again.st_ino, again.st_mtime_ns) == (status.st_ino, status.st_mtime_ns):
                os.unlink(cache_file)  # replaced meanwhile: another reader's fresh copy stays
                dropped += 1
        except FileNotFoundError:
            continue
    return dropped
