"""``iter_range``: the tables of ``read_range`` as a stream of frames, a few days at a time,
the next chunk read while the caller works on the current one."""

from __future__ import annotations

import dataclasses
import warnings
from collections.abc import Iterator, Sequence
from typing import Any


from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_utils.priceable.instrument import Instrument

from . import arguments
from .day_read import Missing, MissingDataWarning, reader_on
from .frame_shapes import empty_of, shaped
from .range_read import (ColumnsSeen, Holdings, assemble, check_columns, day_keys, held_keys, read_days,
                         revalidate_days)
from .threads import Background, progress_bar


def iter_range(
    instruments: Instrument | Sequence[Instrument],
    data_type: DataType,
    start: int | Any,
    end: int | Any,
    *,
    days_per_chunk: int = 1,
    columns: Sequence[Any] | None = None,
    output: str = "pandas",
    data_sources: Sequence[DataSource] | None = None,
    use_minio_storage: bool | None = None,
    use_cache: bool = True,
    write_cache: bool = True,
    missing: str = "skip",
    max_workers: int | None = None,
    progress: bool = False,
    revalidate: bool | None = None,
) -> Iterator[Any]:
    """The result of ``read_range(...)`` in chunks of `days_per_chunk` consecutive days, in
    date order: each chunk is what ``read_range`` gives for its days, every instrument
    included. For one instrument ``pd.concat(chunks)`` equals ``read_range(...)``; for a list
    it holds the same rows, ordered by chunk first and then by instrument.

    The next chunk is read in a background thread while the caller works on the current one,
    never more than one chunk ahead. Which days storage holds is learned a year of days at a
    time, as the chunks reach them (one listing per folder on the object store), so a chunk
    whose days no source holds costs no request. Closing the iterator (``close()``, leaving a
    ``for`` loop, or dropping it) stops the chunk in flight: no further table of it is read,
    it is dropped, and a failure of it is not raised, since it was never asked for; its reads
    in flight are waited for a moment, then abandoned (as they are by Ctrl-C).

    A chunk without rows has the columns and dtypes of the chunk with rows before it (of the
    first one with rows, for the chunks ahead of it), so that concatenating it changes no
    column type, as in ``read_range``. Each chunk's ``attrs["missing"]`` lists its own missing
    days; with ``missing="skip"``, one `MissingDataWarning` for the whole range is given when
    the iteration ends (not when it is left early). ``missing="raise"``, `TableReadError` and
    every other failure are raised from the iteration at the chunk they belong to, after the
    chunks before it were yielded. The other arguments are those of ``read_range``: with
    ``output="arrow"`` or ``"polars"`` each chunk is such a table; with `revalidate`, the cached
    copies are checked a year of days at a time, as the chunks reach them.
    Arguments are checked here, before anything is read.
    """
    call = arguments.call(instruments, data_type, start, end, columns, data_sources, use_minio_storage,
                          use_cache, write_cache, output, revalidate)
    policy = arguments.missing_policy(missing)
    if not isinstance(days_per_chunk, int) or isinstance(days_per_chunk, bool) or days_per_chunk < 1:
        raise ValueError(f"days_per_chunk must be a positive int, got {days_per_chunk!r}")
    arguments.worker_count(max_workers)
    spans = [call.days[i:i + days_per_chunk] for i in range(0, len(call.days), days_per_chunk)]
    return _stream(call, spans, policy, max_workers, progress)


# How long closing a stream waits for the reads of the chunk in flight before it abandons them.
_CLOSE_GRACE_SECONDS = 0.5
# Days whose tables' existence (and, when revalidating, cached copies) are checked at once.
_BLOCK_DAYS = 366


class _Learned:
    """Which tables of a stream's range storage holds, learned a block of days at a time (one
    listing per folder for each), and their cached copies revalidated with them."""

    def __init__(self, call: arguments.Call) -> None:
        self.call = call
        self.positions = {day: position for position, day in enumerate(call.days)}
        self.blocks: dict[int, Holdings | None] = {}
        templates = {str(instrument): call.options.reader(instrument, call.days[0]) for instrument in call.instruments}
        self.reader = lambda key: reader_on(templates[str(key[0])], key[1])

    def holdings(self, days: list[int]) -> Holdings | None:
        call = self.call
        merged = Holdings()
        for block in sorted({self.positions[day] // _BLOCK_DAYS for day in days}):
            if block not in self.blocks:
                keys = day_keys(call, call.instruments, call.days[block * _BLOCK_DAYS:(block + 1) * _BLOCK_DAYS])
                if call.revalidate:
                    revalidate_days(call, keys, self.reader)
                self.blocks[block] = held_keys(keys, self.reader)
            found = self.blocks[block]
            if found is None:
                return None
            merged.storage = found.storage
            merged.held |= found.held
            merged.paths.update(found.paths)
            merged.sources.update(found.sources)
        return merged


def _chunk(call: arguments.Call, days: list[int], policy: str, workers: int | None, bar: Any,
           seen: ColumnsSeen, missing: list[int], learned: _Learned) -> Any:
    """``read_range`` of `call` over `days`, read as read_range reads; the number of its
    missing tables is added to `missing` (they are listed in a pandas result, not warned about:
    the stream warns once, in the caller's thread). `columns` are checked against the whole stream's tables at its end,
    as a column may appear only in later days; a chunk whose tables lack one holds missing
    values there."""
    part = dataclasses.replace(call, days=days)
    keys = day_keys(call, call.instruments, days)
    results = read_days(part, keys, workers, bar, stop_at_missing=policy == "raise",
                        holdings=learned.holdings(days), revalidated=True)
    missing.append(sum(isinstance(result, Missing) for result in results))
    return assemble(part, keys, results, policy, warn=False, parts=seen)


def _stream(call: arguments.Call, spans: list[list[int]], policy: str, workers: int | None,
            progress: bool) -> Iterator[Any]:
    total = len(call.instruments) * len(call.days)
    bar = progress_bar(total, call.options.data_type.name) if progress else None
    pending: Background | None = None
    learned: Any = None
    shape: Any = None  # no rows, the columns of the last chunk with rows
    held: list[Any] = []  # chunks without rows ahead of the first with rows
    out: list[Any] = []  # the chunk being handed over, referenced nowhere else here
    following = iter(spans)
    seen = ColumnsSeen()
    missing: list[int] = []  # how many tables no source holds, a count a chunk
    try:
        learned = _Learned(call)
        pending = Background("light_data_stream", _chunk, call, next(following), policy, workers, bar, seen, missing,
                             learned)
        while pending is not None:
            frame = pending.result()
            # The finished future is dropped with its frame; the next chunk is read meanwhile.
            span = next(following, None)
            pending = None if span is None else Background("light_data_stream", _chunk, call, span, policy, workers,
                                                           bar, seen, missing, learned)
            if len(frame):
                shape = empty_of(frame)
                while held:
                    yield shaped(held.pop(0), shape)
                out.append(frame)
                del frame
                yield out.pop()
            elif shape is None:
                held.append(frame)
                del frame
            else:
                yield shaped(frame, shape)
        if call.columns is not None:
            check_columns(call, seen.names, seen.found)
        while held:  # no chunk had rows: each is read_range's frame for its days
            yield held.pop(0)
    finally:
        if pending is not None:
            pending.stop(_CLOSE_GRACE_SECONDS)  # the chunk in flight is dropped, its failure too
        pending = None
        held.clear()
        out.clear()
        if bar is not None:
            bar.close()
    absent = sum(missing)
    if absent:
        warnings.warn(MissingDataWarning(
            f"{absent} of {total} {call.options.data_type.name} tables have no data"
            + ("; each chunk's attrs['missing'] lists its own" if call.output == "pandas" else "")), stacklevel=2)

