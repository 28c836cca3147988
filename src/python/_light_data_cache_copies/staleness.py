"""``light-data-cache stale``: the cached copies whose stored table changed or is gone, found by
comparing the identity each cache file records with what storage holds now (one listing per
folder on the object store); with ``fix``, removed."""

from __future__ import annotations

from dataclasses import dataclass, field

from halvorn.orrery_data.light_data_cache.cache_folder import CacheCommandError, Changed, Folder, resolved
from halvorn.orrery_data.light_data_cache.operations import BadEntry
from halvorn.orrery_data._light_data_batch.revalidation import copy_record, current_identities, is_current

from .storage import configured_storage, url_namer

# What a cached copy is, against storage.
CHANGED, GONE, UNKNOWN = "changed", "gone", "unknown"


@dataclass
class StaleCopy:
    name: str
    storage_path: str | None
    url: str | None  # where storage keeps the table: s3://bucket/key on an object store
    state: str  # "changed": storage holds another version; "gone": nothing; "unknown": no identity recorded
    removed: bool = False


@dataclass
class Staleness:
    cache_dir: str
    checked: int = 0
    fresh: int = 0
    fixed: bool = False
    copies: list[StaleCopy] = field(default_factory=list)  # every copy that is not fresh
    failed: list[BadEntry] = field(default_factory=list)  # stale but could not be removed


def stale(cache_dir: str | None = None, *, fix: bool = False) -> Staleness:
    """Each cache file compared with the table storage holds now. A copy is fresh when the
    identity it records is that of the stored table; "changed" when storage holds another
    version, "gone" when it holds none, "unknown" when the copy records no identity (written
    by ``get()`` or before identities were recorded: never taken for fresh). `fix` removes
    the changed and gone copies (a revalidating range read refetches the unknown ones). The
    configured storage is asked, once for all copies; an unreachable store raises OSError."""
    storage = configured_storage()
    if storage is None:
        raise CacheCommandError("the configured storage cannot be set up here (credentials?): "
                                      "stale compares the cache with it")
    name_url = url_namer(storage)
    result = Staleness(resolved(cache_dir), fixed=fix)
    with Folder(result.cache_dir) as folder:
        entries, records = [], []
        for entry in folder.cache_files():
            try:
                record = copy_record(entry.name, dir_fd=folder._dir_fd())
            except FileNotFoundError:
                continue
            except OSError:
                continue  # not a readable regular file any more: verify reports such entries
            entries.append(entry)
            records.append(record)
        known = [position for position, record in enumerate(records) if record.storage_path is not None]
        identities = current_identities(storage, [str(records[position].storage_path) for position in known])
        now: dict[int, str | None] = dict(zip(known, identities))
        for position, (entry, record) in enumerate(zip(entries, records)):
            result.checked += 1
            current = now.get(position)
            if is_current(record, current):
                result.fresh += 1
                continue
            state = UNKNOWN if record.identity is None and current is not None else GONE if current is None else \
                CHANGED
            if record.storage_path is None:
                state = UNKNOWN
            copy = StaleCopy(entry.name, record.storage_path, name_url(record.storage_path), state)
            result.copies.append(copy)
            if fix and state != UNKNOWN:
                try:
                    folder.remove(entry.name, entry.status)
                    copy.removed = True
                except Changed:
                    continue  # replaced meanwhile (by a fresh copy) or removed
                except OSError as error:
                    result.failed.append(BadEntry(entry.name, str(error)))
    return result


def print_staleness(result: Staleness) -> None:
    for copy in result.copies:
        held = copy.url or copy.storage_path or "an unknown table"
        note = {CHANGED: "storage holds another version", GONE: "storage holds no such table",
                UNKNOWN: "no identity recorded; a revalidating read refetches it"}[copy.state]
        print(f"{'removed' if copy.removed else copy.state:<8} {copy.name}  {held}: {note}")
    for failure in result.failed:
        print(f"could not remove {failure.name}: {failure.reason}")
    counts = {state: sum(copy.state == state for copy in result.copies) for state in (CHANGED, GONE, UNKNOWN)}
    print(f"checked {result.checked} cached copies: {result.fresh} fresh, {counts[CHANGED]} changed, "
          f"{counts[GONE]} gone, {counts[UNKNOWN]} unknown"
          + (f"; removed {sum(copy.removed for copy in result.copies)}" if result.fixed else
             ("; --fix removes the changed and gone ones" if counts[CHANGED] + counts[GONE] else "")))
