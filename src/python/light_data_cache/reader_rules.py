"""The reader's rules for the entries of its cache folder, from the reader itself.

A cache file is "<sha256 of the storage path, lowercase hex>.feather", directly in the folder.
A writer writes it to "<cache file name>.tmp-<host>-<pid>-<random hex digits>" beside it and
renames that onto the cache name. A temporary file is a leftover when its writer is gone:
on this host its process no longer exists; from another host it has not changed for
OTHER_HOST_LEFTOVER_AGE seconds.
"""

from __future__ import annotations

import os
import time
from dataclasses import dataclass

from halvorn.orrery_data import _light_data_core as _core

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


def is_cache_name(name: str) -> bool:
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

