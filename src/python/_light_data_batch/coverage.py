"""``coverage``: which data source holds each table of a range, without reading any table."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import pandas as pd

from halvorn.orrery_data._light_data_inputs import argument_type, parse_date, parse_instrument
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_utils.priceable.instrument import Instrument

from . import arguments
from .time_window import calendar_day
from .day_read import reader_on, where_stored
from .threads import default_workers, run_all


def coverage(
    instruments: Instrument | Sequence[Instrument],
    data_type: DataType,
    start: int,
    end: int,
    *,
    data_sources: Sequence[DataSource] | None = None,
    use_minio_storage: bool | None = None,
    max_workers: int | None = None,
) -> pd.DataFrame:
    """For each instrument and day from `start` to `end` (int YYYYMMDD, both included), the
    data source whose storage holds the table: the first of the sources, in their order, whose
    storage path (``get_path``, as ``get()`` and ``exists()`` resolve it) exists, or None.

    A frame with the columns "instrument" (its text), "date", "source" (the DataSource name,
    or None when no source holds the table), "path" (that source's storage path) and "url"
    (where storage keeps it: ``s3://bucket/key`` on an object store, else the path), one row
    per instrument and day in that order. Days after tomorrow (UTC) cannot have tables: the
    range ends there. Storage is asked once per source for all the tables
    not yet found: in one call of the storage module's ``exists_many`` where it has one (the
    object store then lists each folder once instead of asking for each table), else with
    ``exists`` in threads (at most `max_workers`). A store that cannot be asked raises, with a
    note naming the source: an unreachable store is an error, not an absent table. The local
    cache is not consulted."""
    call = arguments.call(instruments, data_type, start, end, None, data_sources, use_minio_storage, True, False)
    keys = [(instrument, day) for instrument in call.instruments for day in call.days]
    templates = {str(instrument): call.options.reader(instrument, call.days[0]) for instrument in call.instruments}
    readers = [reader_on(templates[str(instrument)], day) for instrument, day in keys]
    storage = next(iter(templates.values())).io_obj
    workers = max_workers or default_workers()
    found: list[tuple[str | None, str | None]] = [(None, None)] * len(keys)
    pending = list(range(len(keys)))
    for source in readers[0].data_sources if readers else []:
        if not pending:
            break
        paths = [readers[position].get_path(data_source=source) for position in pending]
        try:
            held = _held(storage, paths, workers)
        except Exception as error:
            error.add_note(f"checking which {call.options.data_type.name} tables {source.name} holds")
            raise
        still = []
        for position, path, is_held in zip(pending, paths, held):
            if is_held:
                found[position] = (source.name, path)
            else:
                still.append(position)
        pending = still
    return pd.DataFrame({"instrument": [str(instrument) for instrument, _ in keys],
                         "date": [day for _, day in keys],
                         "source": pd.Series([source for source, _ in found], dtype=object),
                         "path": pd.Series([path for _, path in found], dtype=object),
                         "url": pd.Series([where_stored(storage, path) for _, path in found], dtype=object)})


def _held(storage: Any, paths: list[str | None], workers: int) -> list[bool]:
    exists_many = getattr(storage, "exists_many", None)
    if exists_many is not None:
        return [bool(flag) for flag in exists_many(paths)]
    return run_all(lambda path: path is not None and bool(storage.exists(path)), paths, workers)


def _day_runs(days: list[int]) -> str:
    """20240101-20240103, 20240105: consecutive calendar days joined."""
    if not days:
        return ""
    dates = [calendar_day(day, "day") for day in days]
    runs, first, last = [], dates[0], dates[0]
    for date in dates[1:]:
        if (date - last).days != 1:
            runs.append((first, last))
            first = date
        last = date
    runs.append((first, last))
    text = lambda d: d.strftime("%Y%m%d")  # noqa: E731
    return ", ".join(text(a) if a == b else f"{text(a)}-{text(b)}" for a, b in runs)


def main(argv: list[str] | None = None) -> int:
    """``light-data-coverage``: which source holds each table of a range (see `coverage`)."""
    import argparse
    import json
    import sys

    parser = argparse.ArgumentParser(
        prog="light-data-coverage",
        description="Which data source holds each table of a range of days, for one or more instruments, "
                    "without reading the tables. Exit status: 0 when every table is held, 1 when some are "
                    "not, 2 on usage or configuration errors.")
    parser.add_argument("instruments", metavar="INSTRUMENTS", help="exchange:symbol, several separated by commas")
    parser.add_argument("data_type", metavar="DATA_TYPE", help="a DataType name, e.g. Klines")
    parser.add_argument("start", type=argument_type(parse_date), metavar="START",
                        help="first day, YYYYMMDD or YYYY-MM-DD")
    parser.add_argument("end", type=argument_type(parse_date), metavar="END",
                        help="last day, YYYYMMDD or YYYY-MM-DD (included)")
    parser.add_argument("--source", action="append", metavar="S",
                        help="a DataSource name, in order; repeat for more (default: the reader's sources)")
    parser.add_argument("--json", action="store_true", help="print one JSON object per table")
    args = parser.parse_args(argv)
    try:
        instruments = []
        for text in args.instruments.split(","):
            try:
                exchange, symbol = parse_instrument(text)
            except ValueError as error:
                parser.error(str(error))
            instruments.append(Instrument(exchange, symbol))
        if args.data_type not in DataType.__members__:
            parser.error(f"unknown DataType {args.data_type!r}; one of {', '.join(DataType.__members__)}")
        sources = None
        if args.source:
            unknown = [name for name in args.source if name not in DataSource.__members__]
            if unknown:
                parser.error(f"unknown DataSource {unknown[0]!r}; one of {', '.join(DataSource.__members__)}")
            sources = [DataSource[name] for name in args.source]
        table = coverage(instruments, DataType[args.data_type], args.start, args.end, data_sources=sources)
    except (ValueError, TypeError, LookupError) as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 2
    except OSError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 1
    if args.json:
        for instrument, date, source, path, url in zip(table["instrument"], table["date"].tolist(), table["source"],
                                                       table["path"], table["url"]):
            print(json.dumps({"instrument": instrument, "date": date, "source": source, "path": path, "url": url}))
    else:
        for name, rows in table.groupby("instrument", sort=False):
            held = rows["source"].value_counts()
            counts = ", ".join(f"{source} {count}" for source, count in held.items())
            missing = rows.loc[rows["source"].isna(), "date"].tolist()
            print(f"{name}: {len(rows) - len(missing)} of {len(rows)} days held" + (f" ({counts})" if counts else "")
                  + (f"; none holds {_day_runs(missing)}" if missing else ""))
    return 1 if table["source"].isna().any() else 0
