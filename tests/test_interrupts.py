"""Ctrl-C during a read from a store that stalls every request: the process is back at once and
can exit, whatever reads were in flight and in whichever threads."""

from __future__ import annotations

import itertools
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest

from fault_proxy import FaultProxy
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_utils.priceable.instrument import Instrument
from support import create_bucket, object_store_config

INSTRUMENTS = [Instrument("binance-futures", "BTCUSDT"), Instrument("binance-futures", "ETHUSDT")]
DAYS = [20240601 + i for i in range(6)]
_buckets = itertools.count()

# Each runs in a fresh process, which prints "reading" and then blocks in the read.
READS = {
    "read_range": "read_range(INSTRUMENTS, KIND, DAYS[0], DAYS[-1], data_sources=SOURCES)",
    "iter_range": "for chunk in iter_range(INSTRUMENTS, KIND, DAYS[0], DAYS[-1], data_sources=SOURCES): pass",
    "coverage": "coverage(INSTRUMENTS, KIND, DAYS[0], DAYS[-1], data_sources=SOURCES)",
    "to_dask threaded": "to_dask(INSTRUMENTS, KIND, DAYS[0], DAYS[-1], data_sources=SOURCES).compute(scheduler='threads')",
}
SCRIPT = """
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data_batch import coverage, iter_range, read_range, to_dask
from halvorn.orrery_utils.priceable.instrument import Instrument
INSTRUMENTS = [Instrument("binance-futures", "BTCUSDT"), Instrument("binance-futures", "ETHUSDT")]
KIND, SOURCES, DAYS = DataType.DerivativeTicker, [DataSource.binance], {days}
print("reading", flush=True)
{read}
print("returned", flush=True)
"""


@pytest.fixture
def stalling_store(s3_server, tmp_path, monkeypatch):
    """Six days of two instruments in a fresh bucket behind a proxy, with long timeouts and
    retries: a stalled request would hold a read for minutes."""
    bucket = f"interrupts-{os.getpid()}-{next(_buckets)}"
    create_bucket(s3_server, bucket)
    monkeypatch.setenv("HALVORN_S3_ACCESS_KEY", "AKIAINTERRUPTS000001")
    monkeypatch.setenv("HALVORN_S3_SECRET_KEY", "interrupts-secret")
    with FaultProxy(s3_server) as proxy:
        config = object_store_config(tmp_path / "platform.ini", tmp_path / "root", tmp_path / "cache", proxy.address,
                                     bucket, request_timeout=30, max_attempts=4)
        monkeypatch.setenv("HALVORN_CONFIG", config)
        for instrument, day in itertools.product(INSTRUMENTS, DAYS):
            start = int(pd.Timestamp(str(day), tz="UTC").value // 1000)
            CryptoMktData(day, instrument, DataType.DerivativeTicker, data_sources=[DataSource.binance]).write(
                pd.DataFrame({"timestamp": start + 60_000_000 * np.arange(20), "price": np.arange(20.0)}))
        yield proxy


@pytest.mark.parametrize("read", READS.values(), ids=READS.keys())
def test_ctrl_c_returns_at_once_while_every_request_stalls(stalling_store, read):
    proxy = stalling_store
    if read.startswith("coverage"):
        proxy.stall()  # the listings too
    else:  # the tables of the middle days; the first day's reads (a stream's first chunk, Dask's meta) pass
        proxy.stall(match="|".join(f"/{day}$" for day in DAYS[1:-1]))
    process = subprocess.Popen([sys.executable, "-c", SCRIPT.format(days=DAYS, read=read)], env=os.environ,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline().strip() == "reading"
        deadline = time.monotonic() + 30
        while proxy.injected["stall"] == 0 and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)  # the stalled requests are in flight
        asked = sum(proxy.requests.values())
        interrupted = time.monotonic()
        process.send_signal(signal.SIGINT)
        process.wait(timeout=20)
        took = time.monotonic() - interrupted
    finally:
        process.kill()
        out, err = process.communicate()
    assert "KeyboardInterrupt" in err and "returned" not in out
    assert took < 3, f"{took:.1f} s from Ctrl-C to the end of the process"
    assert sum(proxy.requests.values()) == asked  # no request nor retry after it
