"""Threads sharing one reader, and several readers sharing one cache folder, in one process."""

from __future__ import annotations

import random
import sys
import threading
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

from halvorn.orrery_data.enums import DataType
from support import CACHE_NAME, DATE, OTHER, TARDIS, cache_files, cache_path

THREADS, ROUNDS = 6, 60
MS = np.arange(400, dtype="int64") * 60_000 + 1733616000123
TIMED = pd.DataFrame({"timestamp": MS, "price": np.linspace(3.0, 4.0, 400)})
PLAIN = pd.DataFrame({"DateTime": np.arange(300, dtype="int64"), "price": np.linspace(1.0, 2.0, 300)})
PLAN = {  # (kind, date) -> (table as stored, table as get() returns it)
    (DataType.Metrics, DATE): (TIMED, TIMED.drop(columns="timestamp").set_index(
        pd.DatetimeIndex(pd.to_datetime(MS * 10**6), name="DateTime").tz_localize("UTC"))),
    (OTHER, DATE): (PLAIN, PLAIN.set_index("DateTime")),
    (OTHER, DATE + 1): (PLAIN + 1, (PLAIN + 1).set_index("DateTime")),
}


# "contention": readers that always rewrite the cache files beside readers served from them; a torn
# or clashing write shows as a failed cache read. "chaos": cache files are removed and truncated
# too; every read must still return the stored table.
@pytest.mark.parametrize("mode", ["contention", "chaos"])
def test_threads_sharing_readers_and_one_cache_folder(light_data, storage, instrument, monkeypatch, mode):
    errors, failures, returned = [], [], []
    monkeypatch.setattr(light_data, "logging", SimpleNamespace(debug=len, info=len, exception=errors.append))

    def make(kind, date, silent=True, rewrite=False):
        return light_data.CryptoMktData(date, instrument, kind, silent_fail=silent, use_cache=not rewrite)

    for (kind, date), (stored, _) in PLAN.items():
        make(kind, date).io_obj.write_file_wrapper(dataframe=stored, write_path=make(kind, date).get_path(TARDIS))
    shared = [(make(kind, date, silent), *tables) for (kind, date), tables in PLAN.items() for silent in (False, True)]
    ops = ["get", "get_raw"] + (["remove_cache", "damage"] if mode == "chaos" else [])

    def work(seed):
        rng = random.Random(seed)
        # Each thread has readers of its own beside the shared ones; all meet in one cache folder.
        readers = shared + [(make(kind, date, rewrite=True), *tables) for (kind, date), tables in PLAN.items()]
        for _ in range(ROUNDS):
            reader, stored, normalised = rng.choice(readers)
            op = rng.choice(ops)
            try:
                # Compared once the threads are done: pandas' comparison switches warning filters,
                # which is not thread-safe.
                if op == "get":
                    returned.append((reader.get(), normalised))
                elif op == "get_raw":
                    returned.append((reader.get_raw(), stored))
                elif op == "remove_cache":
                    reader.remove_cache()
                elif names := [n for n in cache_files(storage.cache_dir) if CACHE_NAME.match(n)]:
                    with open(storage.cache_dir / rng.choice(names), "r+b") as handle:
                        handle.truncate(rng.choice([0, 100]))
            except Exception as exc:  # noqa: BLE001 - collected; only a damaged file may vanish first
                if not (op == "damage" and isinstance(exc, FileNotFoundError)):
                    failures.append((op, reader.silent_fail, exc))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often, so that their steps interleave
    try:
        threads = [threading.Thread(target=work, args=(seed,)) for seed in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)

    assert failures == []
    assert len(returned) > THREADS * ROUNDS // 3
    for got, expected in returned:
        assert_frame_equal(got, expected)
    assert [name for name in cache_files(storage.cache_dir) if not CACHE_NAME.match(name)] == []
    if mode == "contention":
        assert errors == []
        for reader, stored, _ in shared:  # every cache file holds the whole stored table
            assert_frame_equal(pd.read_feather(cache_path(reader.cache_dir, reader.get_path(TARDIS))), stored)
