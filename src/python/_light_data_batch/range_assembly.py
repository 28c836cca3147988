"""A range read's tables put together as ``read_range`` returns them: cut to the call's window
and columns, combined per instrument in the output asked for, with the missing days raised or
listed."""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field
from typing import Any

import pandas as pd
import pyarrow as pa

from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_utils.priceable.instrument import Instrument

from . import arguments
from .arrow_frames import (INDEX, ArrowDay, combined, concatenated, frame_columns, has_rows, ordered_frame,
                           ordered_table)
from .day_read import Day, Missing, MissingDataWarning, Projected
from .time_window import WindowError, arrow_rows, frame_rows

# What read_days gives for the spill day's table when no source holds it (see day_keys).
NOT_STORED: Any = object()


@dataclass
class ColumnsSeen:
    """The columns of the tables found in the parts of a call assembled part by part, and
    how many tables were found."""

    names: dict = field(default_factory=dict)
    found: int = 0


class MissingColumnError(KeyError, ValueError):
    """A column asked for that no table of the call has (or no table was found to tell)."""

    def __str__(self) -> str:  # the message as given, not quoted as KeyError quotes its key
        return str(self.args[0])


def assemble(call: arguments.Call, keys: list[tuple[Instrument, int]], results: list[Day], policy: str,
             stacklevel: int = 3, warn: bool = True, parts: ColumnsSeen | None = None) -> Any:
    """The result of `results` (the tables of `keys`, as `read_days` reads them), shaped as
    ``read_range`` shapes it for `call`: cut to its window and columns, in its output; missing
    days raised or listed (and, when `warn`, warned about) as `policy` says. A caller that
    assembles a call's days in parts passes `parts`, which collects the columns of the tables
    found instead of checking `columns` here (a column may arrive with a later part); it calls
    `check_columns` once all parts are in."""
    absent: list[tuple[str, int]] = []
    data_type = call.options.data_type
    kind = data_type.name
    spill = call.window.spill if call.window is not None else None
    # Per instrument: its tables with rows (cut to the window; they count as tables with rows
    # even when the window leaves none, so that a window is the whole days' result sliced) and
    # its first table without rows.
    with_rows: dict[str, list] = {str(instrument): [] for instrument in call.instruments}
    first_empty: dict[str, Any] = {}
    seen: dict = {}  # every column of the tables found, in order of appearance
    found = 0
    for (instrument, day), result in zip(keys, results):
        name = str(instrument)
        if day == spill:
            try:
                result = _spilled(result, call.window, kind)
            except WindowError as error:
                error.add_note(f"reading {kind} of {name} on {day}")
                raise
            if result is None:
                continue
        if isinstance(result, Missing):
            if policy == "raise":
                raise FileNotFoundError(f"no data for {name} on {day}: {core.MISSING_PREFIX}{result.path}")
            absent.append((name, day))
            continue
        found += 1
        if isinstance(result, Projected):
            seen.update(dict.fromkeys(result.columns))
            result = result.day
        elif call.columns is not None:
            seen.update(dict.fromkeys(frame_columns(result)))
        if not has_rows(result):
            first_empty.setdefault(name, result)
        elif call.window is None:
            with_rows[name].append(result)
        else:
            try:
                with_rows[name].append(_within(result, call.window, kind))
            except WindowError as error:
                error.add_note(f"reading {kind} of {name} on {day}")
                raise
    results.clear()
    if call.columns is not None:
        if parts is None:
            check_columns(call, seen, found)
        else:
            parts.names.update(seen)
            parts.found += found

    what = f"{kind} tables"
    # Instruments without tables with rows add no column types to the others either.
    had_rows = {name for name, days in with_rows.items() if days}
    combined_parts = {name: combined(days, first_empty.get(name), data_type, call.columns, call.output,
                                     f"{what} of {name}") for name, days in with_rows.items()}
    chosen = {name: part for name, part in combined_parts.items() if name in had_rows} or combined_parts
    del combined_parts
    if call.output == "pandas":
        if call.single:
            result = chosen.popitem()[1]
        else:
            result = pd.concat(chosen, names=["instrument"])
        result = ordered_frame(result, call.columns)
        result.attrs["missing"] = absent
    else:
        if call.single:
            table = ordered_table(chosen.popitem()[1], call.columns, [INDEX])
        else:
            tables = [_with_instrument(name, part) for name, part in chosen.items()]
            chosen.clear()
            table = ordered_table(concatenated(tables, what), call.columns, ["instrument", INDEX])
        if call.output == "arrow":
            result = table
        else:
            handed = [table]
            del table
            result = _polars_frame(handed)
    if absent and warn:
        where = "result.attrs['missing']" if call.output == "pandas" else "the warning's .missing"
        asked = sum(day != spill for _, day in keys)
        warnings.warn(MissingDataWarning(f"{len(absent)} of {asked} {kind} tables have no data; {where} lists them",
                                         absent), stacklevel=stacklevel)
    return result


def _spilled(result: Any, window: Any, kind: str) -> Any:
    """The spill day's table (see `day_keys`) cut to its rows inside `window`, as read; None
    when it is not stored or has no such rows, so that it adds neither rows nor columns."""
    if result is NOT_STORED:
        return None
    day = result.day if isinstance(result, Projected) else result
    kept = _within(day, window, kind) if has_rows(day) else day
    table = kept.table if isinstance(kept, ArrowDay) else kept
    if not (table.num_rows if isinstance(table, pa.Table) else len(table)):
        return None
    return Projected(kept, result.columns) if isinstance(result, Projected) else kept


def _within(day: Any, window: Any, kind: str) -> Any:
    """The rows of `day` inside `window`."""
    if isinstance(day, pd.DataFrame):
        return frame_rows(day, window, kind)
    if isinstance(day, ArrowDay):
        return ArrowDay(arrow_rows(day.table, window, kind), day.signature)
    return arrow_rows(day, window, kind)


def check_columns(call: arguments.Call, seen: dict, found: int) -> None:
    """Refuses `columns` of `call` that no table found has, or all of them when no table was found."""
    kind = call.options.data_type.name
    who = str(call.instruments[0]) if call.single else f"{len(call.instruments)} instruments"
    days = f"{call.days[0]} to {call.days[-1]}" if len(call.days) > 1 else str(call.days[0])
    if not found:
        raise MissingColumnError(f"no {kind} table was found for {who} on {days}, so no table shows whether the "
                                 f"columns {call.columns} exist; read without columns to get an empty result")
    unknown = [name for name in call.columns if name not in seen]  # type: ignore[union-attr]
    if unknown:
        raise MissingColumnError(f"no {kind} table of {who} on {days} has the column{'s' if len(unknown) > 1 else ''} "
                                 f"{', '.join(map(repr, unknown))}; the tables have the columns {list(seen)}")


def _with_instrument(name: str, table: Any) -> Any:
    """`table` with an "instrument" column before the others, holding `name`."""
    if "instrument" in table.column_names:
        raise ValueError(f"the tables of {name} have a column named 'instrument', which the Arrow output of a list "
                         "of instruments uses for the instrument's name; read them one instrument at a time")
    return table.add_column(0, "instrument", pa.repeat(pa.scalar(name, pa.string()), table.num_rows))


def _polars_frame(handed: list) -> Any:
    """The Arrow table in `handed` (taken from it) as a Polars frame. Each column of many chunks
    (a range's days) is made one chunk first, as Polars works best on, in Arrow: importing
    hundreds of chunks into Polars costs more than copying them. The columns go one at a time,
    so that the copy never holds more than one column twice; a column of one chunk is shared."""
    try:
        import polars
    except ImportError as error:
        raise ImportError(f"output='polars' needs Polars: pip install 'halvorn-light-data[polars]' ({error})") from None
    table = handed.pop()
    schema, columns = table.schema, []
    while table.num_columns:
        column = table.column(0)
        table = table.remove_column(0)
        columns.append(column if column.num_chunks <= 1 else pa.chunked_array([column.combine_chunks()], column.type))
        del column
    return polars.from_arrow(pa.Table.from_arrays(columns, schema=schema), rechunk=False)
