"""The parts of ``halvorn.orrery_data.light_data_batch``, one concern a module.

``arguments``: the checked arguments of a call; ``time_window``: whole days or a time window,
and the rows a window keeps; ``day_read``: one table of one instrument and day, read as
``get()`` reads it or refused with its cause (its cache files mapped into memory by the
core); ``arrow_frames``: one instrument's tables combined into one pandas frame or Arrow
table; ``threads``: reads spread over threads; ``range_read``: ``read_range`` and the reads of
a range's days; ``range_assembly``: those tables put together as ``read_range`` returns them;
``stream``: ``iter_range``; ``dask_frames``: ``to_dask``; ``frame_shapes``: frames without
rows that stand for others' shape; ``coverage``: which source holds each table;
``range_write``: ``write_range``, with ``frame_days``: the day of each row of the frame it
writes. Private: import from ``light_data_batch``.
"""
