"""``to_dask``: the tables of ``read_range`` as a lazy Dask DataFrame, read by the workers a run
of days at a time."""

from __future__ import annotations

import dataclasses
import uuid
import warnings
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import pandas as pd
import pyarrow as pa

from halvorn.orrery_data._light_data_inputs import parse_size
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_utils.priceable.instrument import Instrument

from . import arguments
from .arrow_frames import day_frame, empty_frame, has_rows
from .day_read import Missing, MissingDataWarning, read_day
from .frame_shapes import empty_like
from .range_assembly import ColumnsSeen, assemble
from .range_read import day_keys, read_days
from .threads import watch_interrupts

if TYPE_CHECKING:
    import dask.dataframe

INSTRUMENT = "instrument"
DEFAULT_PARTITION_SIZE = "128MiB"
# Tables read at most to learn the columns and a day's size: the first and the last day of
# the first instrument, then the first day of the next two (a range that starts before an
# instrument was listed, or a list whose first instrument has no data, still finds one).
META_READS = 4


def partition_bytes(size: object) -> int:
    """`size` in bytes: a positive int, or text such as "128MiB" or "1G", read as the commands
    read a size (every unit a power of 1024)."""
    if isinstance(size, str):
        try:
            count = parse_size(size)
        except ValueError as error:
            raise ValueError(f"partition_size {size!r} is not a size such as '128MiB': {error}") from None
    elif isinstance(size, int) and not isinstance(size, bool):
        count = size
    else:
        raise TypeError(f"partition_size must be a number of bytes or text such as '128MiB', "
                        f"got {type(size).__name__}")
    if count < 1:
        raise ValueError(f"partition_size must be positive, got {size!r}")
    return count


def _sample(call: arguments.Call) -> pd.DataFrame | None:
    """The first table with rows among at most META_READS (see there), shaped as its
    partition will be; None when none has rows."""
    first, *others = call.instruments
    probes = [(first, call.days[0]), (first, call.days[-1]), *((other, call.days[0]) for other in others)]
    for instrument, day in list(dict.fromkeys(probes))[:META_READS]:
        found = read_day(call.options.reader(instrument, day), day)
        if not isinstance(found, Missing) and has_rows(found):
            frame = day_frame(found)
            frame = frame if call.columns is None else frame[call.columns]
            if not call.single:
                frame.insert(0, INSTRUMENT, str(instrument))
            return frame
    return None


class ReadRuns:
    """One partition: a run of consecutive days of one instrument, read on the worker with the
    worker's own configuration, as ``read_range`` reads a run of days (its cached tables
    straight into Arrow, converted to pandas once).

    A partition is ``(instrument position, first day position, number of days)``. `columns`
    is the projection Dask pushes down (a subset of the meta's columns). Missing days are
    raised (``missing="raise"``) or warned about, forwarded to the clients when run on a
    distributed worker; they leave rows out as in ``read_range``. `text` is Dask's conversion
    of text columns when the collection was built with it on (``dataframe.convert-string``):
    done here, a partition is one task, not a read followed by a conversion that costs the
    scheduler a round trip of its own."""

    def __init__(self, call: arguments.Call, policy: str, meta: pd.DataFrame, learned: bool,
                 text: Callable[[pd.DataFrame], pd.DataFrame] | None = None) -> None:
        # `learned`: the meta comes from a table with rows, not from no table at all.
        self.call, self.policy, self.meta, self.learned, self.text = call, policy, meta, learned, text
        # Keys are new with every to_dask call: tables change between calls, and a cluster
        # must not hand out an earlier call's results for a later one's keys.
        self.token = uuid.uuid4().hex

    def __dask_tokenize__(self) -> tuple:
        return ("light-data-runs", self.token)

    def __call__(self, part: tuple[int, int, int], columns: list | None = None) -> pd.DataFrame:
        position, first, count = part
        call = self.call
        instrument = call.instruments[position]
        wanted = list(self.meta.columns) if columns is None else list(columns)
        selection = call.columns
        if columns is not None:
            selection = [column for column in wanted if call.single or column != INSTRUMENT]
        run = dataclasses.replace(call, instruments=[instrument], single=True, days=call.days[first:first + count],
                                  columns=selection)
        keys = day_keys(call, [instrument], run.days)
        # Threads as read_range takes them, on the worker's machine.
        results = read_days(run, keys, None, stop_at_missing=self.policy == "raise")
        absent = [(day, result.path) for (_, day), result in zip(keys, results) if isinstance(result, Missing)]
        # The columns were checked against the table read for the meta: a partition whose days
        # are all missing is empty, not an error.
        frame = assemble(run, keys, results, self.policy, warn=False, parts=ColumnsSeen())
        if absent:
            _warn_missing(call.options.data_type, instrument, run.days, absent)
        if not len(frame):
            return self.meta[wanted]
        frame.attrs.clear()  # the missing days are reported by warning, not in partitions' attrs
        if not call.single and INSTRUMENT in wanted:
            frame.insert(0, INSTRUMENT, self._instrument_column(str(instrument), len(frame)))
        if list(frame.columns) != wanted:
            origin = ("from the first table with rows it read; read them with read_range" if self.learned else
                      "none of the tables it read to learn them had rows; give columns=, or start the range "
                      "at a day with data")
            raise ValueError(f"the {call.options.data_type.name} tables of {instrument} from {run.days[0]} to "
                             f"{run.days[-1]} have columns {list(frame.columns)}, to_dask expected {wanted} "
                             f"({origin})")
        return frame if self.text is None else self.text(frame)

    def _instrument_column(self, name: str, rows: int) -> Any:
        """`name` on every row: made in Arrow, in the string type the meta declares, when the
        partitions convert their text (a column of Python text, converted afterwards, cost about
        1 ms more of a 20 ms partition of 90 days of klines); else `name`, for pandas to repeat
        in its own text type."""
        dtype = self.meta.dtypes[INSTRUMENT]
        if self.text is None or getattr(dtype, "storage", None) != "pyarrow":
            return name
        return pd.array(pa.repeat(name, rows), dtype=dtype)


def _warn_missing(data_type: DataType, instrument: Instrument, days: list[int],
                  absent: list[tuple[int, str | None]]) -> None:
    day, path = absent[0]
    warning = MissingDataWarning(f"{len(absent)} of {len(days)} {data_type.name} tables of {instrument} from "
                                 f"{days[0]} to {days[-1]} have no data; the first on {day}: Missing data: {path}")
    try:
        from distributed import warn
    except ImportError:  # Dask alone: the partition runs in the client's process
        warnings.warn(warning, stacklevel=3)
    else:
        warn(warning)  # on a worker, also sent to the clients; elsewhere warnings.warn


def to_dask(
    instruments: Instrument | Sequence[Instrument],
    data_type: DataType,
    start: int | Any,
    end: int | Any,
    *,
    columns: Sequence[Any] | None = None,
    data_sources: Sequence[DataSource] | None = None,
    use_minio_storage: bool | None = None,
    use_cache: bool = True,
    write_cache: bool = True,
    missing: str = "skip",
    partition_size: int | str = DEFAULT_PARTITION_SIZE,
    revalidate: bool | None = None,
) -> dask.dataframe.DataFrame:
    """The tables of `read_range` as a lazy Dask DataFrame, read by the workers with their own
    configuration.

    For one instrument, ``compute()`` equals ``read_range(...)``; for a list,
    ``read_range(...).reset_index(level="instrument")``. A partition holds consecutive days
    of one instrument, as many as fit in `partition_size` (bytes, or text such as "128MiB")
    by the size in memory of the table read here. That table, the first with rows among at
    most META_READS, also gives the columns and dtypes Dask assumes. Divisions are unknown:
    vendors' tables hold rows from before their day's midnight and rows out of order, so no
    bound holds without reading every table.

    ``missing="skip"`` leaves missing days out, and each partition with missing days warns
    (`MissingDataWarning`, naming how many and the first path; on a distributed cluster the
    warning reaches the clients too); ``missing="raise"`` fails the computation with
    ``FileNotFoundError`` for the first missing day of a partition. A table that cannot be
    read fails it with `TableReadError`. With `revalidate` (None: the configuration's
    ``LOCAL_DATA_CACHE_REVALIDATE``, read here), each partition checks its cached copies
    against storage first, as ``read_range`` does.
    """
    try:
        import dask
        import dask.dataframe as dd
    except ImportError as error:
        raise ImportError(f"to_dask needs Dask: pip install 'halvorn-light-data[dask]' ({error})") from None

    call = arguments.call(instruments, data_type, start, end, columns, data_sources, use_minio_storage,
                          use_cache, write_cache, revalidate=revalidate)
    policy = arguments.missing_policy(missing)
    watch_interrupts()  # so that Ctrl-C stops the partitions read in the threaded scheduler's threads
    target = partition_bytes(partition_size)
    sample = _sample(call)
    learned = sample is not None
    if sample is None:
        meta = empty_frame(call.options.data_type, call.columns)
        if not call.single:
            meta.insert(0, INSTRUMENT, "")  # the dtype partitions give it
        days_per_partition = 1  # the size of a day is unknown: the smallest partitions
    else:
        day_bytes = int(sample.memory_usage(index=True, deep=True).sum())
        meta = empty_like(sample)  # holds nothing of the table read
        del sample
        days_per_partition = max(1, target // max(day_bytes, 1))
    runs = [(position, first, min(days_per_partition, len(call.days) - first))
            for position in range(len(call.instruments))
            for first in range(0, len(call.days), days_per_partition)]
    label = f"light-data-{call.options.data_type.name}"
    text = _text_conversion()
    from .dask_gather import gathered

    if text is None:
        return gathered(dd.from_map(ReadRuns(call, policy, meta, learned), runs, meta=meta, divisions=None,
                                    label=label, enforce_metadata=False))
    meta = text(meta)
    # The partitions convert their text themselves: Dask must not add a conversion of its own.
    with dask.config.set({"dataframe.convert-string": False}):
        return gathered(dd.from_map(ReadRuns(call, policy, meta, learned, text), runs, meta=meta, divisions=None,
                                    label=label, enforce_metadata=False))


def _text_conversion() -> Callable[[pd.DataFrame], pd.DataFrame] | None:
    """Dask's own conversion of text columns to its string type when its configuration turns it
    on (``dataframe.convert-string``, the default); None when that is off, or when this Dask
    does not offer the function (Dask then converts in a task of its own, after each read)."""
    from dask.dataframe.utils import pyarrow_strings_enabled

    if not pyarrow_strings_enabled():
        return None
    try:
        from dask.dataframe._pyarrow import to_pyarrow_string
    except ImportError:
        return None
    return to_pyarrow_string
