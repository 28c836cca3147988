"""An open file's bytes mapped read-only into memory, owned by the Arrow buffer over them.

The cache files are read through the descriptor that ``_light_data_core.open_cache_entry``
opened by the reader's rules (never through a link, only a regular file), so the mapping is
made from that descriptor itself; nothing opens the path again. Python's own ``mmap`` keeps a
duplicate of the descriptor for as long as the mapping lives, and tables built on their cache
files keep their mappings: a range of a few thousand tables would hold as many descriptors and
run into the process's limit. A mapping made here holds none, and is unmapped when the last
Arrow buffer sliced from it (or a pandas or Polars column built on one) is freed.

Cache files are replaced by renaming a new file into place and removed by unlinking, which
leave a mapped file's pages intact. Truncating a cache file in place while a process has it
mapped would make that process fail with SIGBUS when it touches the lost pages; nothing in this
system does that.
"""

from __future__ import annotations

import ctypes
import mmap
import os

import pyarrow as pa

# PyDLL: these calls return at once, so they keep the interpreter lock instead of handing
# it to another thread and waiting to get it back.
_libc = ctypes.PyDLL(None, use_errno=True)
_mmap = _libc.mmap
_mmap.restype = ctypes.c_void_p
_mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
_munmap = _libc.munmap
_munmap.restype = ctypes.c_int
_munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
_MAP_FAILED = ctypes.c_void_p(-1).value


class _Mapping:
    """Owns one mapping; Arrow keeps it alive as the base of the buffer over it."""

    __slots__ = ("address", "size")

    def __init__(self, address: int, size: int) -> None:
        self.address, self.size = address, size

    def __del__(self, _munmap=_munmap) -> None:  # bound here: at exit, module globals may be gone first
        _munmap(self.address, self.size)


def mapped_file(descriptor: int, size: int) -> pa.Buffer:
    """The first `size` bytes of the file open at `descriptor`, mapped read-only. The
    descriptor may be closed right after: the mapping does not need it."""
    if size <= 0:
        raise ValueError("an empty file cannot be mapped")
    address = _mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, descriptor, 0)
    if address is None or address == _MAP_FAILED:
        error = ctypes.get_errno()
        raise OSError(error, f"cannot map the file: {os.strerror(error)}")
    return pa.foreign_buffer(address, size, base=_Mapping(address, size))
