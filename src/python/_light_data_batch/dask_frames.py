"""``to_dask``: the tables of ``read_range`` as a lazy Dask DataFrame read by the workers."""

from __future__ import annotations

import datetime as dt
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import pandas as pd

from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_utils.priceable.instrument import Instrument

from . import arguments
from .arrow_frames import day_frame, empty_frame, has_rows
from .day_read import Missing, read_day

if TYPE_CHECKING:
    import dask.dataframe


def _partition(key: tuple[Instrument, int], options: arguments.Options, selection: list | None,
               meta: pd.DataFrame, with_instrument: bool, calendar_divisions: bool) -> pd.DataFrame:
    """One partition: the table of one instrument and day, read on the worker with the
    worker's own configuration; empty (like `meta`) when missing."""
    instrument, day = key
    found = read_day(options.reader(instrument, day), day)
    if isinstance(found, Missing):
        return meta.iloc[:0]
    frame = day_frame(found)
    if not len(frame):
        return meta.iloc[:0]
    if selection is not None:
        frame = frame[selection]
    if calendar_divisions:
        _check_within_day(frame.index, instrument, day)
    if with_instrument:
        frame.insert(0, "instrument", str(instrument))
    if list(frame.columns) != list(meta.columns):
        raise ValueError(f"the {options.data_type.name} table of {instrument} on {day} has columns "
                         f"{list(frame.columns)}, other days {list(meta.columns)}; read it with read_range")
    return frame


def _day_start(day: int) -> pd.Timestamp:
    return pd.Timestamp(dt.datetime.strptime(str(day), "%Y%m%d"), tz="UTC")


def _check_within_day(index: pd.Index, instrument: Instrument, day: int) -> None:
    """Partitions promise Dask that day d's rows lie in [d 00:00, d+1 00:00) UTC, in order."""
    if index.empty:
        return
    low, high = _day_start(day), _day_start(day) + pd.Timedelta(days=1)
    stray = None
    if not isinstance(index, pd.DatetimeIndex) or index.tz is None:
        stray = f"its index is {index.dtype}, not UTC time"  # a "DateTime" column stored as something else
    elif index.hasnans:
        stray = "its index has missing times"
    elif not index.is_monotonic_increasing:
        position = int((index[1:] < index[:-1]).argmax()) + 1
        stray = f"{index[position]} comes after {index[position - 1]}"
    elif index[0] < low or index[-1] >= high:
        stray = f"{index[0] if index[0] < low else index[-1]} lies outside the day"
    if stray is not None:
        raise ValueError(f"the table of {instrument} on {day} does not fit its partition: {stray}; "
                         "read such data with read_range")


def to_dask(
    instruments: Instrument | Sequence[Instrument],
    data_type: DataType,
    start: int,
    end: int,
    *,
    columns: Sequence[Any] | None = None,
    data_sources: Sequence[DataSource] | None = None,
    use_minio_storage: bool | None = None,
    use_cache: bool = True,
    write_cache: bool = True,
) -> dask.dataframe.DataFrame:
    """The tables of `read_range` as a lazy Dask DataFrame, one partition per instrument and
    day, read by the workers with their own configuration.

    For one instrument, ``compute()`` equals ``read_range(..., missing="skip")``; for a list,
    ``read_range(...).reset_index(level="instrument")``. For one instrument of the kinds
    indexed by UTC time (derivative tickers, liquidations, metrics), divisions are the days'
    midnights: a partition whose rows are out of order or outside their day raises ValueError
    when computed (read such data with `read_range`). Missing days are empty partitions; a
    table that cannot be read fails the computation with `TableReadError`. The columns and
    dtypes Dask assumes come from the first table with rows, read here."""
    try:
        import dask.dataframe as dd
    except ImportError as error:
        raise ImportError(f"to_dask needs Dask: pip install 'halvorn-light-data[dask]' ({error})") from None

    call = arguments.call(instruments, data_type, start, end, columns, data_sources, use_minio_storage,
                          use_cache, write_cache)
    if call.window is not None:
        raise ValueError("to_dask reads whole days: give start and end as int dates YYYYMMDD")
    items, single, days, options, selection = call.instruments, call.single, call.days, call.options, call.columns
    keys = [(instrument, day) for instrument in items for day in days]

    meta = None
    for instrument, day in keys:
        found = read_day(options.reader(instrument, day), day)
        if not isinstance(found, Missing) and has_rows(found):
            meta = day_frame(found)
            meta = (meta if selection is None else meta[selection]).iloc[:0]
            if not single:
                meta.insert(0, "instrument", str(instrument))
            break
    if meta is None:
        meta = empty_frame(options.data_type, selection)
        if not single:
            meta.insert(0, "instrument", pd.Series([], dtype=object))
    calendar = single and core.is_time_normalised(options.data_type)
    divisions = None
    if calendar:
        divisions = [_day_start(day) for day in days] + [_day_start(days[-1]) + pd.Timedelta(days=1)]
    return dd.from_map(_partition, keys, args=[options, selection, meta, not single, calendar], meta=meta,
                       divisions=divisions, label=f"light-data-{options.data_type.name}", enforce_metadata=False)
