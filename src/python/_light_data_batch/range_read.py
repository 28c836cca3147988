"""``read_range``: the tables of a range of days, for one instrument or a list of them."""

from __future__ import annotations

import os
import warnings
from collections.abc import Sequence
from typing import Any

import pandas as pd

from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_utils.priceable.instrument import Instrument

from . import arguments
from .arrow_frames import ArrowDay, combined
from .day_read import Day, Missing, MissingDataWarning, read_cached, read_stored, reader_on
from .threads import default_workers, progress_bar, run_all

# Cached tables below this size (in memory) are read in one thread (see read_days).
_SMALL_TABLE_BYTES = 256 * 1024


def read_range(
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
    missing: str = "skip",
    max_workers: int | None = None,
    progress: bool = False,
) -> pd.DataFrame:
    """The tables of `data_type` for every day from `start` to `end` (int YYYYMMDD, both
    included) and for one instrument or a list of them.

    For one instrument: ``pd.concat`` of ``CryptoMktData(day, instrument, data_type,
    ...).get()`` over the days that have data, in date order. For a list:
    ``pd.concat({str(i): read_range(i, ...) for i in instruments}, names=["instrument"])``.
    `columns` keeps those columns, in that order. Tables without rows add neither rows nor
    column types.

    A day is missing only when no data source holds its table. ``missing="skip"`` leaves
    out missing days, lists them in ``result.attrs["missing"]`` as ``(str(instrument),
    date)`` pairs and warns once (`MissingDataWarning`); ``missing="raise"`` raises
    ``FileNotFoundError`` for the first missing table instead. A table that a source could
    not read (an unreachable or failing store, a damaged stored file, a permission error)
    raises `TableReadError` naming the instrument, the day, each source tried and its cause,
    whatever `missing` says. Any other failure of a table propagates with a note naming the
    instrument and the date. Nothing found at all gives an empty frame whose index is named
    "DateTime". Tables are read in threads (at most `max_workers`); `progress` shows a
    progress bar (needs tqdm).
    """
    call = arguments.call(instruments, data_type, start, end, columns, data_sources, use_minio_storage,
                          use_cache, write_cache)
    policy = arguments.missing_policy(missing)
    if max_workers is not None and (not isinstance(max_workers, int) or isinstance(max_workers, bool)
                                    or max_workers < 1):
        raise ValueError(f"max_workers must be a positive int or None, got {max_workers!r}")
    keys = [(instrument, day) for instrument in call.instruments for day in call.days]
    bar = progress_bar(len(keys), call.options.data_type.name) if progress else None
    try:
        results = read_days(call, keys, max_workers or default_workers(), bar, stop_at_missing=policy == "raise")
    finally:
        if bar is not None:
            bar.close()
    return assemble(call, keys, results, policy)


def read_days(call: arguments.Call, keys: list[tuple[Instrument, int]], workers: int, bar: Any = None,
              stop_at_missing: bool = False) -> list[Day]:
    """The tables of `keys` in their order (ending at the first missing one when
    `stop_at_missing`). Cached tables first, in one thread per core at most: their reads are
    mostly CPU work, and more threads would only contend for the interpreter lock. Small
    tables take one thread: their Python-side work holds the lock, and a second thread's many
    short file calls, each giving the lock up and waiting to get it back, slow both down
    (twice as slow, measured at 50 kB a table). The first table tells. The rest go through
    the reader's walk over its sources in all the threads, as they mostly wait for storage."""
    if not keys:
        return []
    # One reader per instrument, copied for each day: building one reads the configuration.
    templates = {str(instrument): call.options.reader(instrument, call.days[0]) for instrument in call.instruments}

    def reader(key: tuple[Instrument, int]):
        return reader_on(templates[str(key[0])], key[1])

    def cached(key: tuple[Instrument, int]) -> ArrowDay | None:
        return read_cached(reader(key))

    results: list[Any] = run_all(cached, keys[:1], 1, bar)
    first = results[0]
    cached_threads = min(workers, os.cpu_count() or 1)
    if isinstance(first, ArrowDay) and first.table.nbytes < _SMALL_TABLE_BYTES:
        cached_threads = 1
    results += run_all(cached, keys[1:], cached_threads, bar)
    rest = [position for position, result in enumerate(results) if result is None]
    stop_at = (lambda result: isinstance(result, Missing)) if stop_at_missing else None
    stored = run_all(lambda position: read_stored(reader(keys[position])), rest, workers, bar, stop_at=stop_at)
    for position, result in zip(rest, stored):
        results[position] = result
    if len(stored) < len(rest):  # stopped at a missing table: nothing after it counts
        del results[rest[len(stored)]:]
    return results


def assemble(call: arguments.Call, keys: list[tuple[Instrument, int]], results: list[Day], policy: str,
             stacklevel: int = 3, warn: bool = True) -> pd.DataFrame:
    """The frame of `results`, shaped as ``read_range`` shapes it; missing days raised or
    listed (and, when `warn`, warned about) as `policy` says."""
    absent: list[tuple[str, int]] = []
    per_instrument: dict[str, list] = {str(instrument): [] for instrument in call.instruments}
    for (instrument, day), result in zip(keys, results):
        name = str(instrument)
        if isinstance(result, Missing):
            if policy == "raise":
                raise FileNotFoundError(f"no data for {name} on {day}: {core.MISSING_PREFIX}{result.path}")
            absent.append((name, day))
        else:
            per_instrument[name].append(result)
    results.clear()

    data_type = call.options.data_type
    frames = {name: combined(found, data_type, call.columns) for name, found in per_instrument.items()}
    if call.single:
        result = frames.popitem()[1]
    else:
        # Instruments without rows add no column types to the others either.
        with_rows = {name: frame for name, frame in frames.items() if len(frame)} or frames
        result = pd.concat(with_rows, names=["instrument"])
    result.attrs["missing"] = absent
    if absent and warn:
        warnings.warn(MissingDataWarning(f"{len(absent)} of {len(keys)} {data_type.name} tables have no data; "
                                         "result.attrs['missing'] lists them"), stacklevel=stacklevel)
    return result
