"""No leaks in get_raw, _read_cache, remove_cache, _get and get, on every path, over real cache files."""

from __future__ import annotations

import io
import os
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

from halvorn.orrery_data import _light_data_arrow as native
from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_data.enums import DataSource, DataType
from support import LEAN, B, StoredTable, assert_flat, cache_path, run

DATE = 20240105
MS = [1704153600000, 1704153660000]


FAILING_LOG = SimpleNamespace(debug=len, info=len, exception=int)  # int(message) raises ValueError
TABLES = {
    "other": (DataType.Klines, {"DateTime": [1, 2], "price": [1.0, 2.0]}),
    "millis": (DataType.Metrics, {"timestamp": MS, "price": [1.0, 2.0]}),
    "text": (DataType.DerivativeTicker, {"create_time": ["2024-01-02", "2024-01-03"]}),
    "overflow": (DataType.Metrics, {"timestamp": [1704153600, 9999999999]}),
    "no_datetime": (DataType.Klines, {"price": [1.0, 2.0]}),
    "refused": (DataType.Klines, {"DateTime": [1, 2], "mixed": [1, "x"]}),  # Feather refuses it
    "gaps": (DataType.Metrics, {"timestamp": [float(MS[0]), np.nan]}),
    "nullable": (DataType.Metrics, {"CloseTime": pd.array([None, MS[1]], dtype="Int64")}),
    "text_gaps": (DataType.Metrics, {"timestamp": ["", str(MS[1])]}),
}


def damage(cp):
    Path(cp).write_bytes(bytes(range(256)))


def through_file(function, *arguments, plant=None, **keywords):
    """An op calling `function` on the cache file open as a file object (after `plant(cp)`)."""
    def op(r, cp):
        if plant is not None:
            plant(cp)
        with open(cp, "rb") as handle:
            return function(handle, *arguments, **keywords)
    return op


def empty_table(cp):
    pd.DataFrame({"a": []}).to_feather(cp)


GET, RAW = (lambda r, cp: r.get()), (lambda r, cp: r.get_raw())
SCENARIOS = [  # name, settings, op(reader, cache path), expected exception (None: succeeds)
    ("get_raw-cold-writes-cache", {"use_cache": False}, RAW, None),
    ("get_raw-cache-hit", {"cached": True}, RAW, None),
    ("get_raw-heals-unreadable-file", {}, lambda r, cp: (damage(cp), r.get_raw()), None),
    ("get_raw-every-source-failing", {"fail": {"read"}}, RAW, None),
    ("get_raw-path-raises", {"fail": {"path"}}, RAW, RuntimeError),
    ("get_raw-feather-refuses", {"table": "refused"}, RAW, None),
    ("get_raw-cache-dir-is-a-file", {"cache_dir_file": True}, RAW, None),
    ("get_raw-folder-at-cache-path", {"folder": True, "use_cache": False}, RAW, None),
    ("read_cache-hit", {"cached": True}, lambda r, cp: r._read_cache(cp), None),
    ("read_cache-empty-table", {}, lambda r, cp: (pd.DataFrame({"a": []}).to_feather(cp), r._read_cache(cp)), None),
    ("read_cache-unreadable", {}, lambda r, cp: (damage(cp), r._read_cache(cache_path=cp)), None),
    ("read_cache-folder", {"folder": True}, lambda r, cp: r._read_cache(cp), None),
    ("read_cache-clearing-raises", {"fail": {"path"}}, lambda r, cp: (damage(cp), r._read_cache(cp)), RuntimeError),
    ("remove_cache-present", {}, lambda r, cp: (damage(cp), r.remove_cache()), None),
    ("remove_cache-absent", {}, lambda r, cp: r.remove_cache(), None),
    ("remove_cache-no-path", {"path": None}, lambda r, cp: r.remove_cache(), None),
    ("remove_cache-path-raises", {"fail": {"path"}}, lambda r, cp: r.remove_cache(), RuntimeError),
    *[(f"get-{t}-{'hit' if hit else 'cold'}", {"table": t, "cached": hit, "use_cache": hit}, GET, None)
      for t in ("other", "millis", "text", "gaps", "nullable") for hit in (False, True)],
    # The private module's entry points run the same code over the same reader.
    ("core-read_sources-found", {"use_cache": False}, lambda r, cp: core.read_sources(r), None),
    ("core-read_sources-failed", {"fail": {"read"}}, lambda r, cp: core.read_sources(r), None),
    ("core-read_sources-failed-unlogged", {"fail": {"read"}},
     lambda r, cp: core.read_sources(r, log_failures=False), None),
    ("core-read_sources-no-path", {"path": None}, lambda r, cp: core.read_sources(r), None),
    ("core-served_cache_file", {"cached": True}, lambda r, cp: core.served_cache_file(r)[0], None),
    ("core-served_cache_mappings", {"cached": True}, lambda r, cp: core.served_cache_mappings([r, r])[1], None),
    ("core-served_cache_mappings-empty-file", {}, lambda r, cp: (Path(cp).write_bytes(b""),
                                                                 core.served_cache_mappings([r])[0]), None),
    ("core-served_cache_mappings-path-raises", {"fail": {"path"}},
     lambda r, cp: core.served_cache_mappings((r,))[0], None),
    ("core-describe_cache_file", {"cached": True}, through_file(core.describe_cache_file), None),
    ("core-describe_cache_file-unreadable", {}, through_file(core.describe_cache_file, plant=damage), None),
    *[(f"core-cache_file_problem-{name}", {"cached": True}, through_file(core.cache_file_problem, plant=plant), None)
      for name, plant in (("none", None), ("unreadable", damage), ("empty", empty_table))],
    ("core-read_cache_arrow-some-fields", {"cached": True},
     lambda r, cp: core.read_cache_arrow(pa.py_buffer(Path(cp).read_bytes()), [0]), None),
    ("arrow-start_reads", {"cached": True},
     lambda r, cp: native.start_reads([pa.py_buffer(Path(cp).read_bytes()), None, pa.py_buffer(b"x")], 2).tables(),
     None),
    ("arrow-start_reads-paths", {"cached": True},
     lambda r, cp: native.start_reads([cp, cp + ".gone", None], 2).tables(), None),
    ("core-served_cache_paths", {"cached": True}, lambda r, cp: core.served_cache_paths([r, r])[1], None),
    ("arrow-start_reads-never-taken", {"cached": True},
     lambda r, cp: native.start_reads([pa.py_buffer(Path(cp).read_bytes())] * 3, 2) and None, None),
    ("arrow-start_reads-not-a-buffer", {}, lambda r, cp: native.start_reads([b"x"]), TypeError),
    ("core-write_cache_arrow", {}, lambda r, cp: core.write_cache_arrow(
        io.BytesIO(), pa.table({"a": [1]}), {b"light_data.storage_path": b"p"}), None),
    ("core-index_by_time", {"table": "gaps"}, lambda r, cp: core.index_by_time(r.data_type, r.get_raw()), None),
    ("core-scale_epoch_counts-overflow", {},
     lambda r, cp: core.scale_epoch_counts([np.array([1, 2**62])], [np.empty(2, "int64")]), OverflowError),
    ("get-missing-silent", {"fail": {"read"}, "silent_fail": True}, GET, None),
    ("get-missing", {"fail": {"read"}}, GET, FileNotFoundError),
    ("get-no-sources", {"sources": []}, GET, IndexError),
    ("get-overflow-silent", {"table": "overflow", "silent_fail": True}, GET, None),
    ("get-overflow", {"table": "overflow"}, GET, OverflowError),
    ("_get-no-datetime", {"table": "no_datetime"}, lambda r, cp: r._get(), KeyError),
    ("get-silent-log-raises", {"logging": FAILING_LOG, "fail": {"read"}, "silent_fail": True}, GET, ValueError),
]


@pytest.mark.parametrize("settings, op, expected", [s[1:] for s in SCENARIOS], ids=[s[0] for s in SCENARIOS])
def test_repeated_reads_leak_nothing(light_data, lean, monkeypatch, tmp_path, instrument, settings, op, expected):
    monkeypatch.setattr(light_data, "DataIOModule", StoredTable)
    data_type, B.table = TABLES[settings.get("table", "other")]
    B.fail = frozenset(settings.get("fail", ()))
    C = light_data.CryptoMktData
    reader = C(DATE, instrument, data_type, silent_fail=settings.get("silent_fail", False),
               data_sources=settings.get("sources", [DataSource.tardis, DataSource.binance]),
               use_cache=settings.get("use_cache", True))
    reader.cache_dir = str(tmp_path)
    cp = cache_path(tmp_path, B.path)
    B.path = settings.get("path", B.path)
    if settings.get("cached"):
        pd.DataFrame(B.table).to_feather(cp)
    if settings.get("folder"):
        os.mkdir(cp)
    if settings.get("cache_dir_file"):
        reader.cache_dir = cp + ".not-a-folder"
        damage(reader.cache_dir)
    monkeypatch.setattr(light_data, "logging", settings.get("logging", light_data.logging))
    call = lambda: op(reader, cp)  # noqa: E731
    tracked = [reader, instrument, cp, reader.cache_dir, reader.data_sources, reader.io_obj, B.table, B.path, C,
               *vars(C).values(), StoredTable, *LEAN.values(), data_type, DataSource.tardis, DataSource.binance]
    assert_flat(call, expected, tracked)
    if expected is None:
        result = call()
        result = result[-1] if isinstance(result, tuple) else result
        assert result is None or sys.getrefcount(result) == 2  # the caller holds the only reference
    assert [n for n in os.listdir(tmp_path) if ".tmp" in n] == []  # no temporary file left
