"""The command's text output: one printer a kind of result, sizes and ages for people."""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import Any

from .operations import CacheFile, Info, Listing, Locations, Removal, Verification


def human_size(size: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024:
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    return f"{size:.1f} TiB"


def human_age(seconds: float) -> str:
    parts: list[str] = []
    rest = int(seconds)
    for unit, length in (("d", 86400), ("h", 3600), ("m", 60), ("s", 1)):
        if rest >= length or (unit == "s" and not parts):
            parts.append(f"{rest // length}{unit}")
            rest %= length
    return " ".join(parts[:2])


def _shape_text(each: CacheFile) -> str:
    rows = "?" if each.rows is None else str(each.rows)
    columns = "?" if each.columns is None else str(each.columns)
    return f"{rows} rows, {columns} columns"


def _print_info(result: Info) -> None:
    print(f"cache folder  {result.cache_dir}" + ("" if result.exists else "  (not created yet)"))
    print(f"cache files   {result.files} ({human_size(result.bytes)})")
    for label, each in (("oldest", result.oldest), ("newest", result.newest)):
        if each is not None:
            print(f"{label:<13} {each.name}  last used {each.last_used} ({human_age(each.age_seconds)} ago), "
                  f"{_shape_text(each)}" + (f"\n{'':<13} holds {each.storage_path}" if each.storage_path else ""))
    print(f"leftovers     {result.leftovers} temporary files of writers that died "
          f"({human_size(result.leftover_bytes)})" + ("; clean-temp removes them" if result.leftovers else ""))
    if result.in_progress:
        print(f"in progress   {result.in_progress} temporary files of writers still at work")


def _print_listing(result: Listing) -> None:
    print(f"{'SIZE':>10} {'ROWS':>10} {'COLS':>5} {'AGE':>8}  NAME  STORAGE PATH")
    for f in result.files:
        rows = "?" if f.rows is None else str(f.rows)
        columns = "?" if f.columns is None else str(f.columns)
        print(f"{human_size(f.size):>10} {rows:>10} {columns:>5} {human_age(f.age_seconds):>8}  {f.name}  "
              f"{f.url or f.storage_path or '-'}")


def _print_locations(result: Locations) -> None:
    print(f"{result.data_type} of {result.instrument} on {result.date}, cache folder {result.cache_dir}")
    for each in result.locations:
        print(f"{each.source}:\n  storage     {each.storage_path} ({'stored' if each.stored else 'not stored'})")
        if each.url != each.storage_path:
            print(f"  object      {each.url}")
        print(f"  cache file  {each.cache_file} ({'cached' if each.present else each.cache_entry})")


def _print_verification(result: Verification) -> None:
    for bad in result.bad:
        state = "removed" if bad.removed else "changed" if bad.changed else "bad"
        held = f" (holds {bad.storage_path})" if bad.storage_path else ""
        note = "; since replaced or removed by another process" if bad.changed else ""
        print(f"{state:<8} {bad.name}{held}: {bad.reason}{note}")
    for name in result.folders:
        print(f"{'folder':<8} {name}: left alone; readers bypass the cache for this table")
    print(f"checked {result.checked} entries: {len(result.bad)} bad, "
          f"{sum(b.removed for b in result.bad)} removed, {result.left_bad} left bad")


def _print_removal(result: Removal) -> None:
    verb = "would remove" if result.dry_run else "removed"
    for each in result.removed:
        held = f"  {each.storage_path}" if each.storage_path else ""
        print(f"{verb} {each.name} ({human_size(each.size)}){held}")
    for failure in result.failed:
        print(f"could not remove {failure.name}: {failure.reason}", file=sys.stderr)
    print(f"{verb} {len(result.removed)} files ({human_size(result.bytes)}); "
          f"{result.remaining_files} left ({human_size(result.remaining_bytes)})")


PRINTERS: dict[type, Callable[[Any], None]] = {
    Info: _print_info, Listing: _print_listing, Locations: _print_locations, Verification: _print_verification,
    Removal: _print_removal,
}
