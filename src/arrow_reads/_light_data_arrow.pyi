"""Cache files read into Arrow tables many at a time, off the interpreter lock (private)."""

from collections.abc import Sequence
from typing import Any, final

PYARROW_VERSION: str

@final
class CacheTableReads:
    def tables(self) -> list[Any | None]: ...

def start_reads(files: Sequence[str | Any | None], threads: int = 1, names: Sequence[str] | None = None,
                fields: Sequence[int] | None = None) -> CacheTableReads: ...
