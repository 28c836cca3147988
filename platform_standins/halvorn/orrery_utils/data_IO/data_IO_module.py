"""Storage reads, writes and existence tests for pandas tables.

``DataIOModule`` combines a file format, chosen by :class:`FileType`, with a
storage back end, chosen by ``use_minio_storage`` when the object is built:

* false: the local file system; a storage path is a file path. Writes are
  atomic: the table is written to a temporary file in the target's folder,
  flushed to disk, then renamed over the target, so a concurrent reader sees
  either the old file or the complete new one, never half a file. The
  temporary file's name carries the writer's host and process; a killed
  writer's file is removed by the next write to that folder once the writer
  is known dead (see :mod:`.leftovers`).
* true: an S3-compatible object store configured in section
  ``[object_store]``; a storage path names the object whose key is the path
  below ``LOCAL_DATA_ROOT``. See :mod:`.object_store`.

The configuration is read when the object is built; a true switch with an
unusable object-store configuration fails there, not at the first read.

Besides reads, writes and ``exists``, both back ends answer ``exists_many``
(the existence of many paths in one call) and ``storage_url`` (where a path's
table lives, as a URL or file path for messages); ``requests_in_flight`` says
how many reads the back end serves well at once (None: as many as the caller's
cores suit). ``identities_many`` names the version of each stored table (the
object's ETag, a file's size and modification time), and the reads
``read_file_identified`` and ``read_file_bytes`` answer with the version of the
table they read, so that a copy of it can later be checked against storage.
"""

from __future__ import annotations

import contextlib
import os
import stat
from collections.abc import Callable, Iterable
from enum import Enum
from typing import BinaryIO

import pandas as pd

from halvorn.orrery_data.path_manager import PathManager
from halvorn.orrery_utils.config_loader.config_loader import ConfigLoader
from halvorn.orrery_utils.data_IO import leftovers
from halvorn.orrery_utils.data_IO.object_store import ObjectStorage, ObjectStoreConfigError, ObjectStoreError

__all__ = ["DataIOModule", "FileType", "ObjectStoreConfigError", "ObjectStoreError"]

_Decode = Callable[[BinaryIO], pd.DataFrame]
_Encode = Callable[[BinaryIO], None]


class FileType(Enum):
    """File format of stored tables."""

    Feather = "Feather"
    Parquet = "Parquet"
    CSV = "CSV"


def _write_csv(frame: pd.DataFrame, handle: BinaryIO) -> None:
    # Drop only the default 0..n-1 index; any other index is data and is kept
    # (it reads back as leading columns).
    default_index = frame.index.name is None and frame.index.equals(pd.RangeIndex(len(frame)))
    frame.to_csv(handle, index=not default_index)


_READERS: dict[FileType, _Decode] = {
    FileType.Feather: pd.read_feather,
    FileType.Parquet: pd.read_parquet,
    FileType.CSV: pd.read_csv,
}
_WRITERS: dict[FileType, Callable[[pd.DataFrame, BinaryIO], None]] = {
    FileType.Feather: lambda frame, handle: frame.to_feather(handle),
    FileType.Parquet: lambda frame, handle: frame.to_parquet(handle),
    FileType.CSV: _write_csv,
}


def _file_path(path: str | os.PathLike[str]) -> str:
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError(f"storage path must be a str, got {type(text).__name__}")
    return text


def _file_identity(status: os.stat_result) -> str:
    """The identity of a stored file's version: its size and modification time. Writes replace
    a file whole (a new file renamed over it), so a new version has a new modification time."""
    return f"size {status.st_size} mtime_ns {status.st_mtime_ns}"


class _LocalStorage:
    """Back end that keeps each table in a file named by its storage path."""

    requests_in_flight = None

    def exists(self, path: str | os.PathLike[str] | None) -> bool:
        # Only "no such file" (or a file where a folder should be) means the table is not stored;
        # a folder that cannot be searched or a symlink loop is an error, not an absent table.
        if path is None:
            return False
        try:
            return stat.S_ISREG(os.stat(_file_path(path)).st_mode)
        except (FileNotFoundError, NotADirectoryError):
            return False

    def exists_many(self, paths: Iterable[str | os.PathLike[str] | None]) -> list[bool]:
        return [self.exists(path) for path in paths]

    def storage_url(self, path: str | os.PathLike[str]) -> str:
        return os.path.abspath(_file_path(path))

    def identities_many(self, paths: Iterable[str | os.PathLike[str] | None]) -> list[str | None]:
        found: list[str | None] = []
        for path in paths:
            try:
                status = None if path is None else os.stat(_file_path(path))
            except (FileNotFoundError, NotADirectoryError):
                status = None
            found.append(None if status is None or not stat.S_ISREG(status.st_mode) else _file_identity(status))
        return found

    def read_bytes(self, path: str | os.PathLike[str]) -> tuple[bytes, str]:
        with open(_file_path(path), "rb") as handle:
            return handle.read(), _file_identity(os.fstat(handle.fileno()))

    def read_identified(self, path: str | os.PathLike[str], decode: _Decode) -> tuple[pd.DataFrame, str]:
        with open(_file_path(path), "rb") as handle:
            identity = _file_identity(os.fstat(handle.fileno()))  # of the file read, whatever replaces it
            return decode(handle), identity

    def read(self, path: str | os.PathLike[str], decode: _Decode) -> pd.DataFrame:
        # open() raises FileNotFoundError naming the path when nothing is stored.
        with open(_file_path(path), "rb") as handle:
            return decode(handle)

    def write(self, path: str | os.PathLike[str], encode: _Encode) -> None:
        target = _file_path(path)
        folder, base = os.path.split(target)
        if base in ("", ".", ".."):
            raise ValueError(f"storage path {target!r} does not name a file")
        folder = folder or os.curdir
        os.makedirs(folder, exist_ok=True)
        leftovers.reclaim_now_and_then(folder)
        temp = os.path.join(folder, leftovers.temporary_name(base))
        handle = open(temp, "xb")  # exclusive: never truncate a file we did not create
        try:
            with handle:
                encode(handle)
                handle.flush()
                os.fsync(handle.fileno())
            os.replace(temp, target)
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.remove(temp)
            raise


def _select_storage(use_minio_storage: object) -> _LocalStorage | ObjectStorage:
    if use_minio_storage:
        return ObjectStorage(ConfigLoader().config, PathManager.storage_root())
    return _LocalStorage()


class DataIOModule:
    """Reads, writes and probes stored tables in one file format.

    ``file_type`` selects the format; a true ``use_minio_storage`` selects the
    object-store back end (``ObjectStoreConfigError`` when it is not configured).
    """

    def __init__(self, file_type: FileType = FileType.Feather, use_minio_storage: bool = False) -> None:
        if not isinstance(file_type, FileType):
            raise TypeError(f"file_type must be a FileType member, got {type(file_type).__name__}")
        self.file_type = file_type
        self.use_minio_storage = use_minio_storage
        self._storage = _select_storage(use_minio_storage)

    def exists(self, path: str | os.PathLike[str] | None) -> bool:
        """Tell whether a table is stored at ``path`` (``None`` gives False). Storage that
        cannot be asked (an unreachable store, a folder that cannot be searched) raises."""
        return self._storage.exists(path)

    def exists_many(self, paths: Iterable[str | os.PathLike[str] | None]) -> list[bool]:
        """Tell, in order, whether a table is stored at each of ``paths`` (``None`` gives False).

        On the object store, keys that share a folder are answered by one listing of that
        folder, a lone key by one HEAD; a store that cannot be asked raises
        ``ObjectStoreError`` rather than answering False. A path outside ``LOCAL_DATA_ROOT``
        raises ``ValueError`` before any request is sent.
        """
        return self._storage.exists_many(paths)

    def storage_url(self, path: str | os.PathLike[str]) -> str:
        """Where the table of ``path`` is stored: ``s3://<bucket>/<key>`` on the object store,
        the absolute file path on local storage."""
        return self._storage.storage_url(path)

    @property
    def requests_in_flight(self) -> int | None:
        """Reads this storage serves well at once: the object store's ``max_connections``;
        None on local storage (as many as the caller's cores suit)."""
        return self._storage.requests_in_flight

    def identities_many(self, paths: Iterable[str | os.PathLike[str] | None]) -> list[str | None]:
        """The identity of the table stored at each of ``paths``, in order (None where none is
        stored): text that changes whenever the table is written again, the object's ETag on
        the object store (one listing per folder, as ``exists_many``), its size and
        modification time on local storage. A store that cannot be asked raises."""
        return self._storage.identities_many(paths)

    def read_file_identified(self, load_path: str | os.PathLike[str]) -> tuple[pd.DataFrame, str]:
        """``read_file_wrapper``, with the identity (as ``identities_many`` gives it) of the very
        version of the table that was read, taken from the same answer or open file."""
        return self._storage.read_identified(load_path, _READERS[self.file_type])

    def read_file_bytes(self, load_path: str | os.PathLike[str]) -> tuple[bytes, str]:
        """The stored file at ``load_path`` as it is stored (its bytes, in the module's
        ``file_type``, not decoded), with its identity as ``read_file_identified`` gives it;
        ``FileNotFoundError`` if there is none. For callers that keep the bytes as they are
        (a cache of Feather files) and decode them once."""
        return self._storage.read_bytes(load_path)

    def read_file_wrapper(self, load_path: str | os.PathLike[str]) -> pd.DataFrame:
        """Read the table stored at ``load_path``; ``FileNotFoundError`` if there is none.

        On the object store, a failed request raises ``ObjectStoreError`` (an
        ``OSError``) naming the endpoint and the object.
        """
        return self._storage.read(load_path, _READERS[self.file_type])

    def write_file_wrapper(self, dataframe: pd.DataFrame, write_path: str | os.PathLike[str]) -> None:
        """Store ``dataframe`` at ``write_path`` atomically (creating parent folders on local storage)."""
        if not isinstance(dataframe, pd.DataFrame):
            raise TypeError(f"dataframe must be a pandas DataFrame, got {type(dataframe).__name__}")
        write = _WRITERS[self.file_type]
        self._storage.write(write_path, lambda handle: write(dataframe, handle))
