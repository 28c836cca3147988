"""Many tables in one call: date ranges and instrument lists, read in threads or on a Dask cluster.

``read_range`` reads one kind of data for every calendar day from ``start`` to ``end`` (both
included; or the days of a time window, cut to it) and for one instrument or a list of them,
and returns what a loop of ``CryptoMktData(date, instrument, data_type, ...).get()`` and a
``pd.concat`` would, with an outer index level "instrument" for a list; or the same table in
Arrow or Polars. ``to_dask`` describes the same tables as a lazy
Dask DataFrame read by the workers.

Every table is read by the reader's own rules (``_light_data_core``), whatever runs the read:
a single call, the thread pool or a Dask worker. A day is missing only when no data source
holds its table; a source that fails in any other way raises `TableReadError`.
"""

from __future__ import annotations

from halvorn.orrery_data._light_data_batch.dask_frames import to_dask
from halvorn.orrery_data._light_data_batch.day_read import MissingDataWarning, TableReadError
from halvorn.orrery_data._light_data_batch.range_read import MissingColumnError, read_range

__all__ = ["MissingColumnError", "MissingDataWarning", "TableReadError", "read_range", "to_dask"]
