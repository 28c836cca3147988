"""Cached tables turned into pandas frames exactly as ``pd.read_feather`` and ``get()`` would
turn them, many days converted at once when that gives the same frame."""

from __future__ import annotations

import functools
import json
from dataclasses import dataclass
from typing import Any

import pandas as pd
import pyarrow as pa

from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_data.enums import DataType

INDEX = core.INDEX_LABEL
_UTC_NS = pa.timestamp("ns", tz="UTC")


@dataclass(frozen=True)
class ArrowDay:
    """A table read from its cache file: `table`, converted as pd.read_feather converts and
    indexed by its "DateTime" column, is what ``get()`` returns. `signature` is equal for
    tables that convert alike."""

    table: pa.Table
    signature: tuple

    @classmethod
    def of(cls, table: pa.Table) -> ArrowDay | None:
        """`table` when its conversion is one this module reproduces, else None."""
        names = table.column_names
        if not names or len(set(names)) != len(names) or not all(_plain_type(f.type) for f in table.schema):
            return None
        signature = pandas_signature((table.schema.metadata or {}).get(b"pandas"))
        if signature is None:
            return None
        return cls(table, (_without_metadata(table.schema), signature))


def _without_metadata(schema: pa.Schema) -> pa.Schema:
    return schema.remove_metadata()


# Arrow types whose pandas conversion does not depend on the rest of the
# table, so that converting a concatenation equals concatenating conversions.
def _plain_type(type_: pa.DataType) -> bool:
    return (pa.types.is_integer(type_) or pa.types.is_float64(type_) or pa.types.is_float32(type_)
            or pa.types.is_boolean(type_) or pa.types.is_string(type_) or pa.types.is_large_string(type_)
            or pa.types.is_timestamp(type_))


@functools.lru_cache(maxsize=256)
def pandas_signature(raw: bytes | None) -> tuple | None:
    """What the pandas metadata changes in a conversion (the column entries and the column
    index), or None when it asks for what the fast path does not do: an index stored in
    columns, or labels that are not the field names."""
    if raw is None:
        return ()
    try:
        meta = json.loads(raw)
        if any(not isinstance(index, dict) or index.get("kind") != "range" for index in meta["index_columns"]):
            return None
        columns = meta["columns"]
        if any(entry["name"] != entry["field_name"] for entry in columns):
            return None
        return (json.dumps(columns, sort_keys=True), json.dumps(meta.get("column_indexes"), sort_keys=True))
    except (ValueError, KeyError, TypeError):
        return None


@functools.lru_cache(maxsize=1)
def _index_entry() -> dict:
    """The pandas metadata entry pyarrow writes for a UTC nanosecond "DateTime" column."""
    frame = pd.DataFrame({INDEX: pd.Series([], dtype="datetime64[ns, UTC]")})
    return pa.Table.from_pandas(frame, preserve_index=False).schema.pandas_metadata["columns"][0]


@functools.lru_cache(maxsize=256)
def _metadata_with_index(raw: bytes, label: str, close_time: bool) -> bytes:
    """The pandas metadata once the "DateTime" column replaces `label` (or joins it at the
    end, for a close time, whose column stays)."""
    meta = json.loads(raw)
    columns = meta["columns"]
    if close_time:
        columns.append(_index_entry())
    else:
        meta["columns"] = [_index_entry() if entry["field_name"] == label else entry for entry in columns]
    return json.dumps(meta).encode()


def with_utc_index(table: pa.Table, label: str, close_time: bool, stamps: pa.ChunkedArray) -> ArrowDay | None:
    """`table` with the UTC times `stamps`, made from its time column `label`, as its
    "DateTime" column: in that column's place, or after the others for a close time."""
    field = pa.field(INDEX, _UTC_NS)
    if close_time:
        table = table.append_column(field, stamps)
    else:
        table = table.set_column(table.column_names.index(label), field, stamps)
    raw = (table.schema.metadata or {}).get(b"pandas")
    if raw is not None:
        table = table.replace_schema_metadata({**table.schema.metadata,
                                               b"pandas": _metadata_with_index(raw, label, close_time)})
    return ArrowDay.of(table)


try:  # pandas >= 3: the conversion that pd.read_feather applies to the table it reads
    from pandas.io._util import arrow_table_to_pandas as _read_feather_conversion
except ImportError:  # pandas 2.2: read_feather converts with to_pandas directly
    _read_feather_conversion = None


def frame_of(table: pa.Table) -> pd.DataFrame:
    """`table` converted exactly as pd.read_feather converts what it reads."""
    if _read_feather_conversion is not None:
        return _read_feather_conversion(table)
    if pd.get_option("future.infer_string"):
        from pandas.io._util import arrow_string_types_mapper

        return table.to_pandas(types_mapper=arrow_string_types_mapper())
    return table.to_pandas()


# pandas versions that deprecate set_index(inplace=True) copy nothing without it.
_INPLACE_SET_INDEX = not hasattr(pd.DataFrame, "_check_inplace_deprecation")


def indexed(frame: pd.DataFrame) -> pd.DataFrame:
    if _INPLACE_SET_INDEX:
        frame.set_index(INDEX, inplace=True)
        return frame
    return frame.set_index(INDEX)


def day_frame(day: pd.DataFrame | ArrowDay) -> pd.DataFrame:
    return day if isinstance(day, pd.DataFrame) else indexed(frame_of(day.table))


def empty_frame(data_type: DataType, columns: list | None) -> pd.DataFrame:
    if core.is_time_normalised(data_type):
        index = pd.DatetimeIndex([], dtype="datetime64[ns, UTC]", name=INDEX)
    else:
        index = pd.Index([], dtype=object, name=INDEX)
    return pd.DataFrame(index=index, columns=columns)


def _selected(table: pa.Table, columns: list) -> pa.Table:
    """`table` with just `columns` and "DateTime", its pandas metadata to match."""
    table = table.select([*columns, INDEX])
    raw = (table.schema.metadata or {}).get(b"pandas")
    if raw is not None:
        meta = json.loads(raw)
        kept = set(table.column_names)
        meta["columns"] = [entry for entry in meta["columns"] if entry["field_name"] in kept]
        table = table.replace_schema_metadata({**table.schema.metadata, b"pandas": json.dumps(meta).encode()})
    return table


def has_rows(day: pd.DataFrame | ArrowDay) -> bool:
    return isinstance(day, ArrowDay) or len(day) > 0


def combined(days: list[pd.DataFrame | ArrowDay], data_type: DataType, columns: list[Any] | None) -> pd.DataFrame:
    """What pd.concat of the days' ``get()`` results gives (then [columns]), tables without
    rows adding neither rows nor types. Empties `days` as it goes, so that each table is freed
    once converted."""
    with_rows = [day for day in days if has_rows(day)]
    if not with_rows:
        # Nothing but empty tables: the first one says which columns there are.
        frame = days[0] if days else empty_frame(data_type, columns)
        days.clear()
        return frame if columns is None else frame[columns]  # type: ignore[index]
    days[:] = with_rows
    del with_rows
    signatures = {day.signature if isinstance(day, ArrowDay) else None for day in days}
    first = days[0]
    if (len(signatures) == 1 and isinstance(first, ArrowDay)
            and pa.types.is_timestamp(first.table.schema.field(INDEX).type)):
        # One conversion for all days: tables of one schema whose columns convert alike,
        # with a datetime index, give the same frame whether concatenated before or after
        # the conversion.
        table = pa.concat_tables([day.table for day in days])  # type: ignore[union-attr]
        days.clear()
        names = set(table.column_names)
        if (columns is not None and len(set(columns)) == len(columns) and INDEX not in columns
                and all(isinstance(c, str) and c in names for c in columns)):
            table = _selected(table, columns)
        frame = frame_of(table)
        del table
        frame = indexed(frame)
        return frame if columns is None or list(frame.columns) == columns else frame[columns]
    frames = []
    for position, day in enumerate(days):
        frames.append(day_frame(day))
        days[position] = None  # type: ignore[call-overload]
    days.clear()
    frame = pd.concat(frames)
    del frames
    return frame if columns is None else frame[columns]
