"""The ``light-data-cache`` command: its arguments, exit codes and output (text or JSON)."""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import sys
from collections.abc import Callable
from typing import Any

from halvorn.orrery_data._light_data_inputs import argument_type, parse_age, parse_date, parse_size

from .cache_folder import CacheCommandError, resolved
from .operations import Verification, clean_temp, clear, info, ls, prune, verify, where
from .printers import PRINTERS

def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise ValueError(f"must be at least 1: {text}")
    return value


def _folder_name(text: str) -> str:
    if not text:
        raise ValueError("the cache folder must not be empty")
    return text


def _add_common_options(parser: argparse.ArgumentParser, default: Any) -> None:
    parser.add_argument("--cache-dir", type=argument_type(_folder_name), default=default,
                        help="the cache folder (default: LOCAL_DATA_CACHE_DIR of the configuration)")
    parser.add_argument("--json", action="store_true", default=default, help="print the result as JSON")


def _parser() -> argparse.ArgumentParser:
    # --cache-dir and --json go before or after the command; after it they are set only when
    # given, so that they do not undo the same options given before it.
    common = argparse.ArgumentParser(add_help=False)
    _add_common_options(common, argparse.SUPPRESS)
    parser = argparse.ArgumentParser(
        prog="light-data-cache",
        description="See and manage the local Feather cache of CryptoMktData readers. Only cache "
                    "files and the readers' temporary files are touched; it is safe while readers use the cache.",
        epilog="Exit status: 0 on success, 1 when verify leaves bad entries, an entry could not "
               "be removed or storage could not be reached, 2 on usage or configuration errors.")
    _add_common_options(parser, None)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parser("info", parents=[common], help="the folder, its size, oldest and newest files, leftovers")
    listing = commands.add_parser("ls", parents=[common],
                                  help="each cache file with size, rows, columns, age and the storage path it holds")
    listing.add_argument("--sort", choices=["name", "size", "age"], default="name",
                         help="size: largest first; age: least recently used first")
    listing.add_argument("--limit", type=argument_type(_positive), metavar="N", help="list at most N files")
    place = commands.add_parser("where", parents=[common],
                                help="whether storage holds one table, where, and its cache file")
    place.add_argument("date", type=argument_type(parse_date), metavar="DATE",
                       help="trading date YYYYMMDD or YYYY-MM-DD")
    place.add_argument("instrument", metavar="INSTRUMENT", help="exchange:symbol, e.g. binance-futures:BTCUSDT")
    place.add_argument("data_type", metavar="DATA_TYPE", help="a DataType name, e.g. Klines")
    place.add_argument("--source", metavar="S", help="a DataSource name (default: each of the reader's default sources)")
    check = commands.add_parser("verify", parents=[common], help="read every cache file; report the bad ones")
    check.add_argument("--fix", action="store_true", help="remove the bad entries, as a reader would")
    trim = commands.add_parser(
        "prune", parents=[common], help="remove old or least recently used cache files",
        description="Remove cache files unused for longer than AGE, then the least recently used "
                    "until the cache files total at most SIZE. The last use of a file is the later "
                    "of its access and modification times: access times alone are unreliable "
                    "(noatime mounts never change them, relatime ones at most once a day). ls and "
                    "verify read files without counting as a use.")
    trim.add_argument("--max-size", type=argument_type(parse_size), metavar="SIZE",
                      help="bytes, or with K, M, G, T or P (powers of 1024, also written KB or KiB), e.g. 10G")
    trim.add_argument("--older-than", type=argument_type(parse_age), metavar="AGE",
                      help="a number with s, m, h, d or w, e.g. 90m, 12h, 30d")
    trim.add_argument("--dry-run", action="store_true", help="only say what would be removed")
    temporary = commands.add_parser("clean-temp", parents=[common], help="remove temporary files of writers that died")
    temporary.add_argument("--dry-run", action="store_true", help="only say what would be removed")
    wipe = commands.add_parser("clear", parents=[common], help="remove every cache file")
    wipe.add_argument("--yes", action="store_true", help="required: confirms the removal")
    from halvorn.orrery_data._light_data_cache_copies import commands as copies

    copies.add_commands(commands, common)
    for command in commands.choices.values():
        command.set_defaults(usage=command)  # usage errors name the command
    return parser


def _run(args: argparse.Namespace) -> tuple[Any, int]:
    command = args.command
    if command == "where":
        result: Any = where(args.date, args.instrument, args.data_type, args.source, args.cache_dir)
        return result, 0
    if command in ("rm", "stale"):
        from halvorn.orrery_data._light_data_cache_copies import commands as copies

        return copies.run(args)
    cache_dir = resolved(args.cache_dir)
    if command == "info":
        return info(cache_dir), 0
    if command == "ls":
        return ls(cache_dir, sort=args.sort, limit=args.limit), 0
    if command == "verify":
        result = verify(cache_dir, fix=args.fix, progress=not args.json and sys.stderr.isatty())
        return result, 1 if result.left_bad else 0
    if command == "prune":
        if args.max_size is None and args.older_than is None:
            args.usage.error("give --max-size, --older-than or both")
        result = prune(cache_dir, max_size=args.max_size, older_than=args.older_than, dry_run=args.dry_run)
    elif command == "clean-temp":
        result = clean_temp(cache_dir, dry_run=args.dry_run)
    else:
        if not args.yes:
            args.usage.error("clear removes every cache file: add --yes to confirm")
        result = clear(cache_dir)
    return result, 1 if result.failed else 0


def _printer(result: Any) -> Callable[[Any], None]:
    from halvorn.orrery_data._light_data_cache_copies import commands as copies

    printers: dict[type, Callable[[Any], None]] = {**PRINTERS, **copies.PRINTERS}
    return printers[type(result)]


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        result, status = _run(args)
    except CacheCommandError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 1
    try:
        if args.json:
            data = dataclasses.asdict(result)
            if isinstance(result, Verification):
                data["left_bad"] = result.left_bad
            print(json.dumps(data, indent=2))
        else:
            _printer(result)(result)
        sys.stdout.flush()
    except BrokenPipeError:
        # Whoever read the output stopped early (`| head`): the work is done, only the rest of
        # the report is lost. Point stdout at nothing so that closing it at exit cannot fail too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return status
