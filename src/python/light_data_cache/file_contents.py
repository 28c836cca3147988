"""What a cache file holds, read by the reader's own code (``_light_data_core``): the columns,
the storage path and the stored table's identity from the footer, the rows from the record
batches, and whether the reader would serve it. No column is decoded.

The file is read whole through its descriptor into memory of Arrow's own, never mapped: a
mapped page that is gone when it is touched (a file truncated in place, a network file
system's stale handle: the cache folder may be shared between hosts) would kill the process
with SIGBUS, where a read comes up short and the file is listed as far as it goes. Nor is the
file object handed to Arrow, whose IO threads may release it after the call has returned (at
exit, after the interpreter is gone: an abort). Page cache warm, per file listed: a 1M-row,
five-column LZ4 cache file (37 MB) about 3 ms; 365 files of 8,640 rows each about 37 ms.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import BinaryIO

from halvorn.orrery_data import _light_data_core as _core

from .cache_folder import Folder


@dataclass
class Contents:
    rows: int | None = None
    columns: int | None = None
    storage_path: str | None = None
    identity: str | None = None  # of the stored table the file copies, when recorded


def contents(handle: BinaryIO, rows: bool = True) -> Contents:
    """Rows, columns (a stored index aside), recorded storage path and identity of a cache
    file; None for what cannot be read or is not recorded. Without `rows`, only the footer is
    looked at and the rows are None."""
    return Contents(*_core.describe_cache_file(handle, rows=rows))


def problem(handle: BinaryIO) -> str | None:
    """Why the reader would not serve the cache file (unreadable, or an empty table), read as
    the reader reads it; None when it would."""
    handle.seek(0)
    return _core.cache_file_problem(handle)


def read_contents(folder: Folder, name: str) -> Contents | None:
    """What the cache file ``name`` holds: nothing known when it is no longer a regular file
    (replaced by something else meanwhile), None when it is gone."""
    try:
        with folder.open(name) as (handle, _):
            return contents(handle)
    except FileNotFoundError:
        return None
    except OSError:
        return Contents()
