"""The parts of ``halvorn.orrery_data.light_data_batch``, one concern a module.

``arguments``: the checked arguments of a call; ``day_read``: one table of one instrument
and day, read as ``get()`` reads it or refused with its cause; ``arrow_frames``: cached
tables turned into one pandas frame; ``threads``: reads spread over threads; ``range_read``:
``read_range``; ``stream``: ``iter_range``; ``dask_frames``: ``to_dask``; ``frame_shapes``:
frames without rows that stand for others' shape. Private: import from ``light_data_batch``.
"""
