"""Many tables in one call: date ranges and instrument lists, read in threads or on a Dask cluster.

``read_range`` reads one kind of data for every calendar day from ``start`` to ``end`` (both
included; or the days of a time window, cut to it) and for one instrument or a list of them,
and returns what a loop of ``CryptoMktData(date, instrument, data_type, ...).get()`` and a
``pd.concat`` would, with an outer index level "instrument" for a list; or the same table in
Arrow or Polars. ``iter_range`` yields the same frame a few days at a time, reading the next
chunk while the caller works on the current one. ``to_dask`` describes the same tables as a
lazy Dask DataFrame read by the workers, a run of days a partition. ``coverage`` says which
data source holds each table of a range without reading any; ``write_range`` stores a frame of
many days as one table a day.

Every table is read by the reader's own rules (``_light_data_core``), whatever runs the read:
a single call, the thread pool or a Dask worker. A day is missing only when no data source
holds its table; a source that fails in any other way raises `TableReadError`.
"""

from __future__ import annotations

from halvorn.orrery_data._light_data_batch.coverage import coverage
from halvorn.orrery_data._light_data_batch.dask_frames import to_dask
from halvorn.orrery_data._light_data_batch.day_read import MissingDataWarning, TableReadError
from halvorn.orrery_data._light_data_batch.range_assembly import MissingColumnError
from halvorn.orrery_data._light_data_batch.range_read import read_range
from halvorn.orrery_data._light_data_batch.range_write import (DayPlan, RangeWriteError, RangeWriteInterrupted,
                                                              WrittenRange, write_range)
from halvorn.orrery_data._light_data_batch.stream import iter_range
from halvorn.orrery_data._light_data_batch.time_window import WindowError
from halvorn.orrery_data.light_data_cache import CacheCommandError

# The companions' public errors are all importable from here: those of the range reads and
# writes, and the cache command's.
__all__ = ["CacheCommandError", "DayPlan", "MissingColumnError", "MissingDataWarning", "RangeWriteError",
           "RangeWriteInterrupted", "TableReadError", "WindowError", "WrittenRange", "coverage", "iter_range",
           "read_range", "to_dask", "write_range"]
