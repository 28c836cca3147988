"""A table not cached yet, read from storage and decoded once.

The reader's own walk decodes a stored Feather file into pandas, encodes that frame again into
the cache file, and the range read then converts it once more: about 5 ms of CPU a table, where
a warm read costs a tenth of a millisecond. Where the storage module hands over a stored file's
bytes (``read_file_bytes``, with the identity of the version read) and they are a Feather file
that the cache's fast path serves as ``get()`` would (written by pandas, with rows and a usable
time), the bytes are decoded once into Arrow: that table becomes the cache file (with the
storage path and identity in its schema metadata, written to a temporary file and renamed into
place, as the reader writes its own) and the day read. Anything else (no such call, another
file format, a table the fast path does not serve, a failed read) is left to the walk, which
reads and reports it as ``get()`` does.
"""

from __future__ import annotations

import logging
import os
from typing import Any

import pyarrow as pa

from halvorn.orrery_data import _light_data_core as core

from .day_read import Day, ServedMapping, cached_day, usable

_log = logging.getLogger(__name__)
_CREATE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC


def cold_day(reader: Any, source: Any, columns: list | None, known_paths: list | None = None) -> Day | None:
    """The table of `reader` from `source` (the first source that holds it; the earlier ones
    were seen not to), decoded once and cached as described above; None to leave it to the
    reader's walk. `known_paths`: the storage paths of the sources up to `source`, in order,
    when the caller has them."""
    storage = reader.io_obj
    read_bytes = getattr(storage, "read_file_bytes", None)
    file_type = getattr(getattr(storage, "file_type", None), "name", None)
    if read_bytes is None or file_type != "Feather" or not (reader._use_cache and reader._write_cache):
        return None
    sources = list(reader.data_sources)
    if known_paths is None or len(known_paths) != sources.index(source) + 1:
        known_paths = [reader.get_path(data_source=each) for each in sources[:sources.index(source) + 1]]
    path = known_paths[-1]
    if path is None:
        return None
    # A copy of any source is the walk's to serve or heal; the later sources' matter too.
    later = [reader.get_path(data_source=each) for each in sources[len(known_paths):]]
    for other in [*known_paths, *later]:
        if other is not None and os.path.lexists(os.path.join(reader.cache_dir, core.cache_name(other))):
            return None
    try:
        data, identity = read_bytes(path)
        buffer = pa.py_buffer(data)
        del data
        table = core.read_cache_arrow(buffer)
    except Exception:  # gone meanwhile, failing, or not a Feather file: the walk reads and reports it
        return None
    metadata = table.schema.metadata or {}
    if b"pandas" not in metadata:
        return None
    normalised = core.is_time_normalised(reader.data_type)
    try:
        whole = usable(table, normalised)
    except Exception:  # a time that does not convert: the walk raises it, naming the table
        return None
    if whole is None:
        return None
    day: Day | None = whole if columns is None else cached_day(ServedMapping(buffer, normalised), columns)
    del whole
    if day is None:
        return None
    _write_copy(reader, path, table, {**metadata, core.STORAGE_PATH_KEY: path.encode(),
                                      core.STORAGE_IDENTITY_KEY: str(identity).encode()})
    return day


def _write_copy(reader: Any, path: str, table: pa.Table, metadata: dict) -> None:
    """`table` written as the cache file of `path`, whole or not at all. A cache that cannot
    be written costs only speed: the failure is logged and the read goes on."""
    cache_file = os.path.join(reader.cache_dir, core.cache_name(path))
    temporary = None
    try:
        if os.path.isdir(cache_file):  # a folder at the cache name is left alone, as the reader leaves it
            return
        temporary = core.temporary_cache_path(cache_file)
        try:
            descriptor = os.open(temporary, _CREATE, 0o666)
        except FileNotFoundError:  # no cache folder yet
            os.makedirs(reader.cache_dir, exist_ok=True)
            descriptor = os.open(temporary, _CREATE, 0o666)
        with os.fdopen(descriptor, "wb") as handle:
            core.write_cache_arrow(handle, table, metadata)
        os.replace(temporary, cache_file)
        temporary = None
    except Exception as error:  # noqa: BLE001 - the table was read; only its copy is lost
        _log.warning("Error writing cache %s, Exception = %s", cache_file, error)
    finally:
        if temporary is not None:
            try:
                os.unlink(temporary)
            except OSError:
                pass
