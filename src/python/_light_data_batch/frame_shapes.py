"""Frames without rows that stand for the shape of others."""

from __future__ import annotations

import pandas as pd


def empty_like(frame: pd.DataFrame) -> pd.DataFrame:
    """A frame without rows with the columns, dtypes and index type of `frame`, holding no
    reference to its data: ``frame.iloc[:0]`` is a view that keeps every column and the
    index of `frame` alive, and a MultiIndex keeps its levels."""
    index = frame.index[:0]
    if isinstance(index, pd.MultiIndex):
        index = index.remove_unused_levels()
    return frame.iloc[:0].set_axis(index.copy(deep=True), axis=0).copy(deep=True)
