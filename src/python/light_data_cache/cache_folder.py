"""The cache folder, reached through one descriptor, and its entries at the reader's names."""

from __future__ import annotations

import configparser
import contextlib
import os
import stat
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO

from halvorn.orrery_data import _light_data_core as _core

from .reader_rules import TemporaryName, is_cache_name, parse_temporary_name


class CacheCommandError(Exception):
    """The command cannot run as asked (configuration, arguments or the folder itself)."""


# What a configuration that cannot be used raises: a missing file, section or option, or an
# unusable value.
CONFIGURATION_ERRORS = (OSError, LookupError, ValueError, TypeError, configparser.Error)


def configured_cache_dir() -> str:
    """``LOCAL_DATA_CACHE_DIR`` of section ``[data_related]`` of the platform configuration."""
    from halvorn.orrery_utils.config_loader.config_loader import ConfigLoader

    try:
        folder = ConfigLoader().config["data_related"]["LOCAL_DATA_CACHE_DIR"]
    except CONFIGURATION_ERRORS as error:
        raise CacheCommandError(f"cannot read the cache folder from the configuration: {error}") from None
    if not folder:
        raise CacheCommandError("LOCAL_DATA_CACHE_DIR is empty in the configuration")
    return folder


def resolved(cache_dir: str | None) -> str:
    # An empty folder name would be the current folder: never what was meant.
    if cache_dir is not None and not cache_dir:
        raise CacheCommandError("the cache folder must not be empty")
    return os.path.abspath(cache_dir or configured_cache_dir())


@dataclass(frozen=True)
class Entry:
    name: str
    status: os.stat_result
    temporary: TemporaryName | None  # None for a cache name

    @property
    def last_used(self) -> float:
        # Access times are not kept on noatime mounts and only roughly on relatime ones, so the
        # later of the access and modification times stands for the last use.
        return max(self.status.st_atime, self.status.st_mtime)


class Changed(Exception):
    """The entry is no longer the one examined: another process replaced or removed it."""


class Folder:
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

    def __enter__(self) -> Folder:
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

    def entries(self) -> list[Entry]:
        """The entries with a cache or temporary name, as ``lstat`` sees them."""
        if self._fd is None:
            return []
        with os.scandir(self._fd) as scan:
            names = sorted(entry.name for entry in scan)
        found = []
        for name in names:
            temporary = None
            if not is_cache_name(name):
                temporary = parse_temporary_name(name)
                if temporary is None:
                    continue
            try:
                found.append(Entry(name, self.lstat(name), temporary))
            except FileNotFoundError:
                continue
        return found

    def cache_files(self) -> list[Entry]:
        return [e for e in self.entries() if e.temporary is None and stat.S_ISREG(e.status.st_mode)]

    def remove(self, name: str, status: os.stat_result) -> None:
        """Unlink the entry if it is still the one examined (``status``); raises Changed when
        it went or was replaced. A folder is never removed."""
        if stat.S_ISDIR(status.st_mode):
            raise ValueError(f"{name} is a folder: folders at the reader's names are left alone")
        try:
            if identity(self.lstat(name)) != identity(status):
                raise Changed(name)
            os.unlink(name, dir_fd=self._dir_fd())
        except FileNotFoundError:
            raise Changed(name) from None

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


def identity(status: os.stat_result) -> tuple[int, int, int, int, int]:
    return status.st_dev, status.st_ino, status.st_mode, status.st_size, status.st_mtime_ns

