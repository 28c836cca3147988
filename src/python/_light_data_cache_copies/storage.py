"""The configured storage, as the cache command sees it: where it keeps a table, and the
identity of the table it holds now."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any


def configured_storage() -> Any:
    """The storage module a reader of this configuration reads through (the object store when
    ``[env] use_minio_storage`` is on); None when it cannot be set up here (no credentials)."""
    from halvorn.orrery_utils.config_loader.config_loader import ConfigLoader
    from halvorn.orrery_utils.data_IO.data_IO_module import DataIOModule

    try:
        on_store = ConfigLoader().config.getboolean("env", "use_minio_storage", fallback=False)
        return DataIOModule(use_minio_storage=on_store)
    except (OSError, LookupError, ValueError, TypeError):
        return None


def url_namer(storage: Any) -> Callable[[str | None], str | None]:
    """A function naming where `storage` keeps the table of a storage path: ``s3://bucket/key``
    on an object store, else the path itself (also when it cannot be named)."""
    from halvorn.orrery_data._light_data_batch.day_read import where_stored

    return lambda path: where_stored(storage, path)
