"""``iter_range``: the tables of ``read_range`` as a stream of frames, a few days at a time,
the next chunk read while the caller works on the current one."""

from __future__ import annotations

import dataclasses
import warnings
from collections import deque
from collections.abc import Iterator, Sequence
from typing import Any

import pandas as pd

from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_utils.priceable.instrument import Instrument

from . import arguments
from .day_read import Missing, MissingDataWarning
from .frame_shapes import empty_of, shaped
from .range_assembly import ColumnsSeen, assemble, check_columns
from .range_read import Holdings, day_keys, has_cache_entry, held_keys, read_days, readers_of, revalidate_days
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
    never more than one chunk ahead. Which days storage holds is learned once for the whole
    range, with the first chunk (one listing per folder on the object store): a chunk whose
    days no source holds, and of which no copy is cached, costs no request and no thread, and
    the chunk read ahead is the next one with tables to read, however many such chunks lie
    between. Closing the iterator (``close()``, leaving a
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
    copies of the whole range are checked with the first chunk.
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


class _Learned:
    """Which tables of a stream's range storage holds, learned once for the whole range (one
    listing per folder), and their cached copies revalidated with them, by the read of the
    first chunk. A chunk whose tables no source holds and no cache holds a copy of is then
    made without reading anything (`blank`)."""

    def __init__(self, call: arguments.Call, policy: str) -> None:
        self.call = call
        self.reader = readers_of(call)
        self.found: Holdings | None = None
        self.learned = False
        # Days whose missing tables are listed, not raised, and which hold no spill day's table.
        self.blank_days = set(call.days if policy == "skip" else ())
        if call.window is not None and call.window.spill is not None:
            self.blank_days.discard(call.days[-1])
        self.template: Any = None  # the result of a blank chunk, without its list of missing days

    def holdings(self) -> Holdings | None:
        if not self.learned:
            call = self.call
            keys = day_keys(call, call.instruments, call.days)
            if call.revalidate:
                revalidate_days(call, keys, self.reader)
            self.found = held_keys(keys, self.reader)
            self.learned = True
        return self.found

    def blank(self, days: list[int]) -> list[tuple[str, int]] | None:
        """The missing tables of a chunk of `days` when it is blank (as above), else None.
        Asked once the first chunk was read."""
        found = self.found
        if found is None or not self.blank_days.issuperset(days):
            return None
        keys = day_keys(self.call, self.call.instruments, days)
        for key in keys:
            if key in found.held or has_cache_entry(self.reader(key), found.paths.get(key, ())):
                return None
        return [(str(instrument), day) for instrument, day in keys]


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
                        holdings=learned.holdings(), revalidated=True, reader=learned.reader)
    missing.append(sum(isinstance(result, Missing) for result in results))
    return assemble(part, keys, results, policy, warn=False, parts=seen)


@dataclasses.dataclass(frozen=True)
class _Blank:
    """A blank chunk (see `_Learned.blank`): its days and missing tables."""

    days: list[int]
    absent: list[tuple[str, int]]


def _blank_result(call: arguments.Call, blank: _Blank, learned: _Learned, shape: Any) -> Any:
    """What `_chunk` gives for `blank`, made without a read: in the columns of `shape` (see
    `shaped`) when a chunk with rows gave one, else as ``read_range`` gives it, which is the
    same for every blank chunk but for the missing tables it lists (assembled once)."""
    empty = shape
    if empty is None:
        if learned.template is None:
            keys = day_keys(call, call.instruments, blank.days)
            found = learned.found
            learned.template = assemble(dataclasses.replace(call, days=blank.days), keys,
                                        [found.missing(key) for key in keys],  # type: ignore[union-attr]
                                        "skip", warn=False, parts=ColumnsSeen())
        empty = learned.template
    if isinstance(empty, pd.DataFrame):
        frame = empty.copy(deep=False)
        frame.attrs = {"missing": blank.absent}
        return frame
    return empty


def _stream(call: arguments.Call, spans: list[list[int]], policy: str, workers: int | None,
            progress: bool) -> Iterator[Any]:
    total = len(call.instruments) * len(call.days)
    bar = progress_bar(total, call.options.data_type.name) if progress else None
    pending: Background | None = None
    shape: Any = None  # no rows, the columns of the last chunk with rows
    held: deque[Any] = deque()  # chunks without rows ahead of the first with rows
    out: list[Any] = []  # the chunk being handed over, referenced nowhere else here
    seen = ColumnsSeen()
    missing: list[int] = []  # how many tables no source holds, a count a chunk
    # Blank chunks (see _Learned.blank) between the chunk handed over and the one read ahead,
    # made here as they are reached: the read ahead is always of a chunk with tables to read.
    blanks: deque[_Blank] = deque()
    position = 0  # of the next span not yet read nor seen to be blank
    try:
        learned = _Learned(call, policy)
        pending = Background("light_data_stream", _chunk, call, spans[0], policy, workers, bar, seen, missing,
                             learned)
        position = 1
        while pending is not None or blanks:
            if blanks:
                blank = blanks.popleft()
                missing.append(len(blank.absent))
                if bar is not None:
                    bar.update(len(blank.absent))
                if shape is None:
                    held.append(blank)
                else:
                    yield _blank_result(call, blank, learned, shape)
                del blank
                continue
            frame = pending.result()  # type: ignore[union-attr]
            # The finished future is dropped with its frame; the next chunk with tables to read
            # is read meanwhile, the blank ones before it made as they are reached.
            pending = None
            while position < len(spans):
                span = spans[position]
                position += 1
                absent = learned.blank(span)
                if absent is None:
                    pending = Background("light_data_stream", _chunk, call, span, policy, workers, bar, seen,
                                         missing, learned)
                    break
                blanks.append(_Blank(span, absent))
            if len(frame):
                shape = empty_of(frame)
                if isinstance(shape, pd.DataFrame):
                    shape.attrs = {}
                while held:
                    earlier = held.popleft()
                    yield _blank_result(call, earlier, learned, shape) if isinstance(earlier, _Blank) \
                        else shaped(earlier, shape)
                    del earlier
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
            earlier = held.popleft()
            yield _blank_result(call, earlier, learned, None) if isinstance(earlier, _Blank) else earlier
            del earlier
    finally:
        if pending is not None:
            pending.stop(_CLOSE_GRACE_SECONDS)  # the chunk in flight is dropped, its failure too
        pending = None
        held.clear()
        blanks.clear()
        out.clear()
        if bar is not None:
            bar.close()
    absent_count = sum(missing)
    if absent_count:
        warnings.warn(MissingDataWarning(
            f"{absent_count} of {total} {call.options.data_type.name} tables have no data"
            + ("; each chunk's attrs['missing'] lists its own" if call.output == "pandas" else "")), stacklevel=2)
