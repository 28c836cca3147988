"""Frames without rows that stand for the shape of others."""

from __future__ import annotations

from typing import Any

import pandas as pd


def empty_like(frame: pd.DataFrame) -> pd.DataFrame:
    """A frame without rows with the columns, dtypes and index type of `frame`, holding no
    reference to its data: ``frame.iloc[:0]`` is a view that keeps every column and the
    index of `frame` alive, and a MultiIndex keeps its levels."""
    index = frame.index[:0]
    if isinstance(index, pd.MultiIndex):
        index = index.remove_unused_levels()
    return frame.iloc[:0].set_axis(index.copy(deep=True), axis=0).copy(deep=True)


def empty_of(result: Any) -> Any:
    """`result` of any output (pandas, Arrow or Polars) without rows, holding none of its data."""
    if isinstance(result, pd.DataFrame):
        return empty_like(result)
    if hasattr(result, "schema") and hasattr(result.schema, "empty_table"):  # pyarrow.Table
        return result.schema.empty_table()
    return result.clear()  # polars.DataFrame


def shaped(empty: Any, shape: Any) -> Any:
    """The result `empty` (no rows) in the columns and types of `shape` (no rows, from a
    result with rows), keeping the missing days a pandas result lists."""
    if isinstance(shape, pd.DataFrame):
        frame = shape.copy(deep=False)
        frame.attrs = {"missing": empty.attrs["missing"]}
        return frame
    return shape
