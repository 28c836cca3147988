"""The ``rm`` and ``stale`` commands of ``light-data-cache``: their arguments, runs and output."""

from __future__ import annotations

import argparse
from typing import Any

from halvorn.orrery_data._light_data_inputs import argument_type, parse_date

from .removal import rm
from .staleness import CHANGED, GONE, Staleness, print_staleness, stale


def add_commands(commands: Any, common: argparse.ArgumentParser) -> None:
    drop = commands.add_parser(
        "rm", parents=[common], help="remove the cached copies of some instruments, one kind, a range of days",
        description="Remove this machine's cached copies of the tables of INSTRUMENTS, DATA_TYPE and the days "
                    "from START to END (both included; END defaults to START), for each of the readers' sources "
                    "(or --source), as the readers of this configuration name them. The next read of each "
                    "fetches it from storage. Other machines' caches are untouched: run it on each.")
    drop.add_argument("instruments", metavar="INSTRUMENTS", help="exchange:symbol, several separated by commas")
    drop.add_argument("data_type", metavar="DATA_TYPE", help="a DataType name, e.g. Klines")
    drop.add_argument("start", type=argument_type(parse_date), metavar="START", help="first day, YYYYMMDD")
    drop.add_argument("end", type=argument_type(parse_date), metavar="END", nargs="?",
                      help="last day, YYYYMMDD (default: START)")
    drop.add_argument("--source", action="append", metavar="S", help="a DataSource name; repeat for more")
    drop.add_argument("--dry-run", action="store_true", help="only say what would be removed")
    check = commands.add_parser(
        "stale", parents=[common], help="list cached copies whose stored table changed or is gone",
        description="Compare each cache file with the table storage holds now, by the identity the cache file "
                    "records (the object's ETag, or the file's size and modification time): one listing per "
                    "folder, no table read. Copies without a recorded identity are listed as unknown. Exit "
                    "status 1 while changed or gone copies are left.")
    check.add_argument("--fix", action="store_true", help="remove the changed and gone copies")
    for name in ("rm", "stale"):
        commands.choices[name].set_defaults(usage=commands.choices[name])


def run(args: argparse.Namespace) -> tuple[Any, int]:
    if args.command == "rm":
        result: Any = rm(args.instruments, args.data_type, args.start, args.start if args.end is None else args.end,
                         sources=args.source, cache_dir=args.cache_dir, dry_run=args.dry_run)
        return result, 1 if result.failed else 0
    result = stale(args.cache_dir, fix=args.fix)
    left = [copy for copy in result.copies if copy.state in (CHANGED, GONE) and not copy.removed]
    return result, 1 if left or result.failed else 0


PRINTERS: dict[type, Any] = {Staleness: print_staleness}
