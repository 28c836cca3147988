"""Several processes reading, writing, removing and damaging one shared cache folder."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import numpy as np
import pandas as pd

from halvorn.orrery_data.enums import DataType
from support import CACHE_NAME, DATE, OTHER, cache_files

WORKERS = 4
SECONDS = 2.5

# One worker: random operations on readers of a few stored tables until its time is up. It
# prints a JSON summary; a returned table that differs from the stored one, a None from a
# silent reader or any exception at all (storage stays intact, so nothing may fail) is recorded.
WORKER = r"""
import collections, hashlib, json, logging, os, random, sys, time
import pandas as pd
from halvorn.orrery_data.enums import DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_utils.priceable.instrument import Instrument

seed, seconds, plan_file, exchange, symbol = sys.argv[1:]
logging.disable(logging.CRITICAL)  # the damaged files log errors by design
plan = pd.read_pickle(plan_file)
readers = [
    (CryptoMktData(date, Instrument(exchange=exchange, symbol=symbol), DataType[kind], silent_fail=silent), stored, normalised)
    for (kind, date), (stored, normalised) in plan.items()
    for silent in (False, True)
]
cache_paths = sorted({
    os.path.join(reader.cache_dir, hashlib.sha256(reader.get_path(data_source=s).encode()).hexdigest() + ".feather")
    for reader, _, _ in readers for s in reader.data_sources
})
rng = random.Random(int(seed))
counts, failures = collections.Counter(), []
deadline = time.monotonic() + float(seconds)
while time.monotonic() < deadline:
    reader, stored, normalised = rng.choice(readers)
    op = rng.choice(["get", "get", "get_raw", "remove_cache", "damage"])
    try:
        if op == "get":
            got = reader.get()
            assert got is not None, "None from get()"
            pd.testing.assert_frame_equal(got, normalised)
        elif op == "get_raw":
            pd.testing.assert_frame_equal(reader.get_raw(), stored)
        elif op == "remove_cache":
            reader.remove_cache()
        else:
            try:
                cp = rng.choice(cache_paths)
                os.truncate(cp, rng.choice([0, os.path.getsize(cp) // 2]))
            except FileNotFoundError:
                pass
    except Exception as e:
        failures.append(f"{op} silent={reader.silent_fail}: {type(e).__name__}: {e}"[:300])
    counts[op] += 1
print(json.dumps({"counts": counts, "failures": failures[:10], "failed": len(failures)}))
"""


def stored_tables() -> dict:
    """(kind name, date) -> (table as stored, table as get() must return it)."""
    plan = {}
    for date in (DATE, DATE + 1):
        stored = pd.DataFrame({"DateTime": np.arange(200, dtype="int64") + date, "price": np.linspace(1.0, 2.0, 200)})
        plan[(OTHER.name, date)] = (stored, stored.set_index("DateTime"))
    ms = np.arange(300, dtype="int64") * 60_000 + 1733616000123
    stored = pd.DataFrame({"timestamp": ms, "price": np.linspace(3.0, 4.0, 300)})
    index = pd.DatetimeIndex(pd.to_datetime(ms * 10**6), name="DateTime").tz_localize("UTC")
    plan[(DataType.Metrics.name, DATE)] = (stored, stored.drop(columns="timestamp").set_index(index))
    return plan


def test_processes_sharing_one_cache_folder(light_data, storage, instrument, tmp_path):
    plan = stored_tables()
    for (kind, date), (stored, _) in plan.items():
        reader = light_data.CryptoMktData(date, instrument, DataType[kind])
        reader.io_obj.write_file_wrapper(dataframe=stored, write_path=reader.get_path(data_source=reader.data_sources[0]))
    plan_file, script = tmp_path / "plan.pkl", tmp_path / "worker.py"
    pd.to_pickle(plan, plan_file)
    script.write_text(WORKER)
    env = {**os.environ, "HALVORN_CONFIG": str(storage.config_path)}

    workers = [
        subprocess.Popen(
            [sys.executable, str(script), str(seed), str(SECONDS), str(plan_file), instrument.exchange, instrument.symbol],
            env=env,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for seed in range(WORKERS)
    ]
    outputs = [worker.communicate(timeout=120) for worker in workers]

    for worker, (out, err) in zip(workers, outputs):
        assert worker.returncode == 0, err
        summary = json.loads(out)
        assert summary["failed"] == 0, summary["failures"]
        assert summary["counts"]["get"] > 0 and summary["counts"]["damage"] > 0
    assert [name for name in cache_files(storage.cache_dir) if not CACHE_NAME.match(name)] == []
