"""The tables of one instrument combined into one result: a pandas frame exactly as
``pd.read_feather`` and ``get()`` would give it (many cached days converted at once when that
gives the same frame), or one Arrow table laid out as "DateTime" and then the columns."""

from __future__ import annotations

import functools
import inspect
import json
from dataclasses import dataclass
from typing import Any

import numpy as np
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
        global _last_classified
        schema = table.schema
        raw = (schema.metadata or {}).get(b"pandas")
        last = _last_classified  # one read: other threads may replace it meanwhile
        if last is not None and raw == last[1] and schema.equals(last[0]):
            signature = last[2]
        else:  # the days of a range mostly share one schema: classify each schema once in a row
            signature = _signature(schema, raw)
            _last_classified = (schema, raw, signature)
        return None if signature is None else cls(table, signature)


# The last schema that ArrowDay.of classified (its fields, its pandas metadata) and its
# signature (None: not convertible here).
_last_classified: tuple[pa.Schema, bytes | None, tuple | None] | None = None


def _signature(schema: pa.Schema, raw: bytes | None) -> tuple | None:
    names = schema.names
    if not names or len(set(names)) != len(names) or not all(_plain_type(field.type) for field in schema):
        return None
    signature = pandas_signature(raw)
    return None if signature is None else (_without_metadata(schema), signature)


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


# Whether pd.read_feather's conversion passes options on to Table.to_pandas.
_CONVERSION_OPTIONS = (_read_feather_conversion is not None
                       and "to_pandas_kwargs" in inspect.signature(_read_feather_conversion).parameters)


# Tables at least this large are converted one column at a time (see streamed_frame).
_LARGE_TABLE_BYTES = 64 * 2**20
# Arrow memory freed by a conversion that is handed back to the system once this much is freed.
_RELEASE_BYTES = 32 * 2**20


def frame_of(table: pa.Table, release: bool = False, shared: bool = False) -> pd.DataFrame:
    """`table` converted exactly as pd.read_feather converts what it reads. With `release`,
    each column's Arrow memory is freed as soon as the column is converted (Arrow's
    self_destruct, with a block per column), so that a large conversion never holds the whole
    table twice; the caller must hold no other reference to `table` and never use it again.
    With `shared`, a column of one chunk without nulls that numpy can read as it is becomes
    a read-only view of the Arrow memory (a block per column), not a copy."""
    options: dict = {"split_blocks": True} if shared else {}
    if release:
        options["self_destruct"] = True
        # A block per column lets each column go as soon as it is copied. A column of one chunk
        # would be handed to pandas uncopied, read-only, perhaps in a mapped file: only columns
        # of many chunks (the days of a range) are split.
        if all(column.num_chunks > 1 for column in table.columns):
            options["split_blocks"] = True
    if _read_feather_conversion is not None:
        if _CONVERSION_OPTIONS:
            return _read_feather_conversion(table, to_pandas_kwargs=options)
        return _read_feather_conversion(table)
    if pd.get_option("future.infer_string"):
        from pandas.io._util import arrow_string_types_mapper

        return table.to_pandas(types_mapper=arrow_string_types_mapper(), **options)
    return table.to_pandas(**options)


def streamed_frame(tables: list[pa.Table]) -> pd.DataFrame:
    """`indexed(frame_of(pa.concat_tables(tables)))` for `tables` of one schema whose columns
    convert alike (`tables` is emptied here), built a column at a time so that the conversion
    never holds a column twice. A column that converts to a numpy array of the same fixed-width
    values (integers, floats; the "DateTime" index) is copied day by day into one array, each
    day's column freed once copied: the index is then handed to pandas as it is, uncopied
    (read-only, as an index is), and a data column is the array itself (two columns copied in
    two threads were no faster here, and held more). Other columns (text, gaps, booleans,
    times) are converted as frame_of converts them, each freed once done."""
    schema = tables[0].schema
    template = indexed(frame_of(tables[0].slice(0, 0)))  # the labels and dtypes of the result
    rows = sum(table.num_rows for table in tables)
    # Each day's column, apart: dropping one frees it without touching the others.
    columns = {name: [table.column(name) for table in tables] for name in schema.names}
    tables.clear()
    storages = {name: _copy_storage(schema.field(name), template.index.dtype if name == INDEX else template[name].dtype,
                                    columns[name]) for name in schema.names}
    values: dict = {}
    for name in schema.names:
        storage = storages[name]
        if storage is not None:
            values[name] = _copied(columns[name], storage, rows)
            continue
        column = trimmed(pa.Table.from_arrays([pa.chunked_array([chunk for day in columns[name] for chunk in day.chunks],
                                                                schema.field(name).type)],
                                              schema=pa.schema([schema.field(name)], metadata=schema.metadata)))
        columns[name].clear()
        values[name] = frame_of(column, release=True)[name].array
        del column
        pa.default_memory_pool().release_unused()
    stamps = values.pop(INDEX)
    if isinstance(stamps, np.ndarray):  # one array: pandas takes it uncopied
        stamps = pa.Array.from_buffers(schema.field(INDEX).type, rows, [None, pa.py_buffer(stamps)])
        stamps = indexed(frame_of(pa.table({INDEX: stamps}), shared=True)).index
    else:
        stamps = pd.Index(stamps, name=INDEX, copy=False)
    frame = pd.DataFrame(values, index=stamps, copy=False)
    frame.columns = template.columns
    return frame


def _copy_storage(field: pa.Field, dtype: Any, days: list[pa.ChunkedArray]) -> np.dtype | None:
    """The numpy type in which the column `days` (of `field`) is copied as its conversion gives
    it (`dtype`): int64 for UTC times of the unit the index has, the type itself for integers
    and floats; None for any other column, or one with nulls."""
    if any(day.null_count for day in days):
        return None
    if field.name == INDEX:
        timestamps = (pa.types.is_timestamp(field.type) and isinstance(dtype, pd.DatetimeTZDtype)
                      and dtype.unit == field.type.unit)
        return np.dtype(np.int64) if timestamps else None
    numeric = pa.types.is_integer(field.type) or pa.types.is_floating(field.type)
    if numeric and isinstance(dtype, np.dtype) and dtype == np.dtype(field.type.to_pandas_dtype()):
        return dtype
    return None


def _copied(days: list[pa.ChunkedArray], storage: np.dtype, rows: int) -> np.ndarray:
    """The column `days` (emptied here, each day freed once copied) in one array of `storage`."""
    out = np.empty(rows, dtype=storage)
    position = freed = 0
    days.reverse()  # taken from the end: each day leaves the list as it is copied
    while days:
        day = days.pop()
        for chunk in day.chunks:
            count = len(chunk)
            out[position:position + count] = np.frombuffer(chunk.buffers()[1], dtype=storage, count=count,
                                                           offset=chunk.offset * storage.itemsize)
            position += count
            del chunk
        freed += day.nbytes
        del day
        if freed >= _RELEASE_BYTES:  # handed back as the copy grows, not once it is whole
            pa.default_memory_pool().release_unused()
            freed = 0
    return out


# pandas versions that deprecate set_index(inplace=True) copy nothing without it.
_INPLACE_SET_INDEX = not hasattr(pd.DataFrame, "_check_inplace_deprecation")


def indexed(frame: pd.DataFrame) -> pd.DataFrame:
    if _INPLACE_SET_INDEX:
        frame.set_index(INDEX, inplace=True)
        return frame
    return frame.set_index(INDEX)


def day_frame(day: pd.DataFrame | ArrowDay) -> pd.DataFrame:
    return day if isinstance(day, pd.DataFrame) else indexed(frame_of(day.table))


def empty_frame(data_type: DataType, columns: list | None = None) -> pd.DataFrame:
    index: pd.Index
    if core.is_time_normalised(data_type):
        index = pd.DatetimeIndex([], dtype="datetime64[ns, UTC]", name=INDEX)
    else:
        index = pd.Index([], dtype=object, name=INDEX)
    return pd.DataFrame(index=index, columns=columns)


def trimmed(table: pa.Table) -> pa.Table:
    """`table` with pandas metadata for its own columns only (after a selection)."""
    raw = (table.schema.metadata or {}).get(b"pandas")
    if raw is None:
        return table
    return table.replace_schema_metadata({**table.schema.metadata,
                                          b"pandas": _metadata_of_columns(raw, tuple(table.column_names))})


@functools.lru_cache(maxsize=256)
def _metadata_of_columns(raw: bytes, names: tuple) -> bytes:
    meta = json.loads(raw)
    kept = set(names)
    meta["columns"] = [entry for entry in meta["columns"] if entry["field_name"] in kept]
    return json.dumps(meta).encode()


def frame_columns(day: pd.DataFrame | ArrowDay | pa.Table) -> list:
    """The columns of a day's frame (its "DateTime" aside)."""
    if isinstance(day, pd.DataFrame):
        return list(day.columns)
    table = day.table if isinstance(day, ArrowDay) else day
    return [name for name in table.column_names if name != INDEX]


def cut(day: pd.DataFrame | ArrowDay | pa.Table, columns: list) -> pd.DataFrame | ArrowDay | pa.Table:
    """`day` with only those of `columns` it has (and "DateTime"), in its own order."""
    wanted = set(columns)
    kept = [name for name in frame_columns(day) if name in wanted]
    if len(kept) == len(frame_columns(day)):
        return day
    if isinstance(day, pd.DataFrame):
        return day[kept]
    if isinstance(day, ArrowDay):
        names = set(kept) | {INDEX}
        selected = ArrowDay.of(trimmed(day.table.select([n for n in day.table.column_names if n in names])))
        if selected is None:  # a selection of convertible columns stays convertible
            raise AssertionError("a selected table lost its conversion")
        return selected
    return day.select([INDEX, *kept])


def has_rows(day: pd.DataFrame | ArrowDay | pa.Table) -> bool:
    if isinstance(day, ArrowDay):
        return True  # the fast path takes tables with rows only
    return (day.num_rows if isinstance(day, pa.Table) else len(day)) > 0


def arrow_of(frame: pd.DataFrame) -> pa.Table:
    """A frame that ``get()`` returned, as the Arrow table that the fast path gives for a
    cached table: "DateTime" first, then the columns, no pandas metadata. Its values convert
    as pyarrow converts pandas data; those that Arrow cannot hold raise."""
    labels = list(frame.columns)
    strange = [label for label in labels if not isinstance(label, str)]
    if strange:
        raise TypeError(f"Arrow columns are named by text; the table has the column labels {strange}")
    if len(set(labels)) != len(labels):
        raise ValueError(f"the table has duplicated columns {sorted({l for l in labels if labels.count(l) > 1})}")
    table = pa.Table.from_pandas(frame, preserve_index=True)
    return table.select([INDEX, *labels]).replace_schema_metadata(None)


def arrow_table(day: ArrowDay | pa.Table) -> pa.Table:
    return day.table if isinstance(day, ArrowDay) else day


def concatenated(tables: list[pa.Table], what: str) -> pa.Table:
    """One table of `tables`, their columns matched by name; a column whose types differ
    from table to table takes the type that holds them all, as pd.concat would (int64 and
    float64 give float64, timestamps the finest unit), and a column that a table lacks is
    null there. Types that do not combine raise TypeError naming the column."""
    first = tables[0].schema
    if all(table.schema.equals(first) for table in tables[1:]):
        return pa.concat_tables(tables)
    try:
        return pa.concat_tables(tables, promote_options="permissive")
    except (pa.ArrowTypeError, pa.ArrowInvalid) as error:
        raise TypeError(f"the {what} do not combine into one Arrow table: {error}") from error


def laid_out(table: pa.Table) -> pa.Table:
    """`table` as the Arrow output lays it out: "DateTime" first, no pandas metadata."""
    if table.schema.metadata:
        table = table.replace_schema_metadata(None)
    names = table.column_names
    if names[0] != INDEX:
        table = table.select([INDEX, *(name for name in names if name != INDEX)])
    return table


def ordered_frame(frame: pd.DataFrame, columns: list | None) -> pd.DataFrame:
    """`frame` with `columns` in their order; a column that no table of `frame` had (only
    tables without rows, or other instruments', did) holds missing values, as pd.concat fills."""
    if columns is None or list(frame.columns) == columns:
        return frame
    return frame.reindex(columns=columns)


def ordered_table(table: pa.Table, columns: list | None, leading: list[str]) -> pa.Table:
    """`table` with its `leading` columns, then `columns` in their order (nulls for a column
    that none of its tables had)."""
    if columns is None or table.column_names == [*leading, *columns]:
        return table
    names = set(table.column_names)
    for name in columns:
        if name not in names:
            table = table.append_column(name, pa.nulls(table.num_rows))
    return table.select([*leading, *columns])


def combined(days: list, first_empty: Any, data_type: DataType, columns: list | None,
             output: str, what: str) -> pd.DataFrame | pa.Table:
    """One instrument's result: `days` (its tables with rows, read as read_days reads them
    and cut to the window) combined as pd.concat of their ``get()`` results gives them
    (then cut to `columns` where a table has them; the caller orders them), or, for an Arrow
    output, one Arrow table laid out as `laid_out` does. Without tables with rows, the
    first table without rows (`first_empty`) says which columns there are. Empties `days`
    as it goes, so that each table is freed once converted."""
    if not days:
        frame = first_empty if first_empty is not None else empty_frame(data_type)
        if columns is not None:
            frame = cut(frame, columns)
        if output == "pandas":
            return frame
        return laid_out(frame if isinstance(frame, pa.Table) else arrow_of(frame))
    if columns is not None:
        days[:] = [cut(day, columns) for day in days]
    if output != "pandas":
        tables = [arrow_table(day) for day in days]
        days.clear()
        return laid_out(concatenated(tables, what))
    signatures = {day.signature if isinstance(day, ArrowDay) else None for day in days}
    first = days[0]
    if (len(signatures) == 1 and isinstance(first, ArrowDay)
            and pa.types.is_timestamp(first.table.schema.field(INDEX).type)):
        # One conversion for all days: tables of one schema whose columns convert alike,
        # with a datetime index, give the same frame whether concatenated before or after
        # the conversion.
        tables = [day.table for day in days]
        del first
        days.clear()
        if sum(table.nbytes for table in tables) >= _LARGE_TABLE_BYTES:
            return streamed_frame(tables)
        table = pa.concat_tables(tables)
        tables.clear()
        return indexed(frame_of(table, release=True))
    frames = []
    for position, day in enumerate(days):
        frames.append(day_frame(day))
        days[position] = None
    days.clear()
    return pd.concat(frames)
