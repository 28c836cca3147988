"""Temporary files of local-storage writes, and the reclaiming of those whose writer died.

A local write goes to ``.<name>.tmp-<host>-<pid>-<thread>-<random>`` in the target's folder
and is renamed over ``<name>`` when whole. A writer killed before the rename leaves that file.
It is removed only when its writer is known dead: written on this host by a process that no
longer exists. A store folder shared by several machines holds other hosts' writes in
progress, and this host cannot tell whether their writers live; such files (and those of the
older naming without a host) are left unless they are older than an age the caller gives.

From the shell::

    halvorn-store-leftovers ROOT [--dry-run] [--older-than HOURS]

removes the leftovers of dead writers of this host under ROOT (and, with ``--older-than``,
every other leftover older than that), printing one line a file.
"""

from __future__ import annotations

import argparse
import errno
import os
import re
import secrets
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass

_NAME = re.compile(r"\.(?P<base>.+)\.tmp-(?:(?P<host>[A-Za-z0-9._-]+)-)?(?P<pid>[1-9][0-9]*)-[0-9]+-[0-9a-f]{8,}")
_RECLAIM_EVERY = 60.0  # seconds between two looks at one folder by one process
_last_look: dict[str, float] = {}
_last_look_lock = threading.Lock()


def host_label() -> str:
    """This machine's node name with every character outside ``[A-Za-z0-9._-]`` as ``_``."""
    return re.sub(r"[^A-Za-z0-9._-]", "_", os.uname().nodename, flags=re.ASCII) or "_"


def temporary_name(base: str) -> str:
    """A new temporary name for a write of the file `base`, unique per process and thread."""
    return f".{base}.tmp-{host_label()}-{os.getpid()}-{threading.get_native_id()}-{secrets.token_hex(4)}"


@dataclass(frozen=True)
class Leftover:
    path: str
    host: str | None  # None: a name of the older form, without a host
    pid: int
    age: float  # seconds since its last change


def _process_gone(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except OSError as error:
        return error.errno == errno.ESRCH
    return False


def writer_dead(leftover: Leftover) -> bool:
    """True only when the file was written on this host by a process that no longer exists."""
    return leftover.host == host_label() and _process_gone(leftover.pid)


def leftovers_in(folder: str, now: float | None = None) -> Iterator[Leftover]:
    """The temporary files of writes in `folder` (links are not followed)."""
    now = time.time() if now is None else now
    with os.scandir(folder) as entries:
        for entry in entries:
            match = _NAME.fullmatch(entry.name)
            if match is None or not entry.is_file(follow_symlinks=False):
                continue
            try:
                mtime = entry.stat(follow_symlinks=False).st_mtime
            except FileNotFoundError:  # renamed into place or removed meanwhile
                continue
            yield Leftover(entry.path, match["host"], int(match["pid"]), now - mtime)


def reclaimable(leftover: Leftover, older_than: float | None) -> bool:
    return writer_dead(leftover) or (older_than is not None and leftover.age > older_than
                                      and leftover.host != host_label())


def reclaim(folder: str, *, older_than: float | None = None, dry_run: bool = False) -> list[Leftover]:
    """Removes the leftovers of dead writers in `folder` (and, with `older_than` seconds, other
    hosts' leftovers older than that); returns what was (or, with `dry_run`, would be) removed."""
    removed = []
    for leftover in leftovers_in(folder):
        if not reclaimable(leftover, older_than):
            continue
        if not dry_run:
            try:
                os.remove(leftover.path)
            except FileNotFoundError:
                continue
        removed.append(leftover)
    return removed


def reclaim_now_and_then(folder: str) -> None:
    """`reclaim(folder)` at most once a minute per folder and process, before a write there.
    Best effort: a folder that cannot be listed, or a file that cannot be removed yet, is left
    for a later write; the write itself reports any real trouble with the folder."""
    now = time.monotonic()
    key = os.path.abspath(folder)
    with _last_look_lock:
        if now - _last_look.get(key, -_RECLAIM_EVERY) < _RECLAIM_EVERY:
            return
        _last_look[key] = now
    try:
        reclaim(folder)
    except OSError:
        pass


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="halvorn-store-leftovers",
                                     description="Remove the temporary files of local-storage writes whose "
                                                 "writer died.")
    parser.add_argument("root", help="the storage folder to search, with every folder below it")
    parser.add_argument("--older-than", type=float, metavar="HOURS",
                        help="also remove other hosts' leftovers (and unnamed ones) older than this")
    parser.add_argument("--dry-run", action="store_true", help="say what would be removed, remove nothing")
    args = parser.parse_args(argv)
    older_than = None if args.older_than is None else args.older_than * 3600
    count = 0
    for folder, _, _ in os.walk(args.root):
        for leftover in reclaim(folder, older_than=older_than, dry_run=args.dry_run):
            who = f"{leftover.host or '?'} pid {leftover.pid}"
            print(f"{'would remove' if args.dry_run else 'removed'} {leftover.path} ({who}, "
                  f"{leftover.age / 3600:.1f} h old)")
            count += 1
    print(f"{count} leftover{'s' if count != 1 else ''} {'to remove' if args.dry_run else 'removed'}",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
