"""Range reads against an object store that fails on purpose: the whole table set, or an error
naming the day, the source and the cause; never a shorter frame."""

from __future__ import annotations

import itertools
import os

import numpy as np
import pandas as pd
import pytest

from fault_proxy import FaultProxy
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_data.light_data_batch import RangeWriteError, TableReadError, coverage, read_range, to_dask, write_range
from halvorn.orrery_utils.priceable.instrument import Instrument
from support import create_bucket, object_store_config

BTC = Instrument("binance-futures", "BTCUSDT")
DAYS = [int(d.strftime("%Y%m%d")) for d in pd.date_range("2024-06-01", periods=30)]
SECRET = "failing-store-secret-never-shown"
_buckets = itertools.count()


@pytest.fixture
def proxy(s3_server, tmp_path, monkeypatch):
    """30 days of tickers in a fresh bucket, read through a fault-injecting proxy with small
    timeouts and quick retries; the reads start cold."""
    bucket = f"failing-{os.getpid()}-{next(_buckets)}"
    create_bucket(s3_server, bucket)
    monkeypatch.setenv("HALVORN_S3_ACCESS_KEY", "AKIAFAILINGSTORE0001")
    monkeypatch.setenv("HALVORN_S3_SECRET_KEY", SECRET)
    with FaultProxy(s3_server, seed=7) as proxy:
        config = object_store_config(tmp_path / "platform.ini", tmp_path / "root", tmp_path / "cache", proxy.address,
                                     bucket, connect_timeout=0.5, request_timeout=0.5, max_attempts=4,
                                     retry_backoff=0.01, retry_backoff_max=0.05)
        monkeypatch.setenv("HALVORN_CONFIG", config)
        for day in DAYS:
            start = int(pd.Timestamp(str(day), tz="UTC").value // 1000)
            CryptoMktData(day, BTC, DataType.DerivativeTicker, data_sources=[DataSource.binance]).write(
                pd.DataFrame({"timestamp": start + 60_000_000 * np.arange(50), "price": np.arange(50.0)}))
        yield proxy


def read(**options):
    return read_range(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1], data_sources=[DataSource.binance],
                      missing="skip", **options)


def test_passing_faults_give_the_whole_table_set_or_an_error(proxy):
    proxy.fail(503, rate=0.3)
    proxy.stall(rate=0.1)
    try:
        got = read(max_workers=8)
    except TableReadError as error:  # a request that failed every attempt
        assert str(error.date) in str(error) and SECRET not in str(error)
        return
    assert len(got) == 30 * 50 and got.attrs["missing"] == []


FAULTS = {  # the fault, and the day it hits (None: every day)
    "one day answers 503": (lambda proxy, key: proxy.fail(503, match=key), DAYS[11]),
    "one day stalls": (lambda proxy, key: proxy.stall(match=key), DAYS[11]),
    "one day's bodies are cut": (lambda proxy, key: proxy.cut(match=key), DAYS[11]),
    "the store hangs up": (lambda proxy, key: proxy.pause(60, refuse=True), None),
}


@pytest.mark.parametrize("fault, day", FAULTS.values(), ids=FAULTS.keys())
@pytest.mark.parametrize("entry", ["read_range", "to_dask"])
def test_a_day_that_cannot_be_read_is_an_error_not_a_gap(proxy, fault, day, entry):
    fault(proxy, f"/{DAYS[11]}$")
    with pytest.raises(TableReadError) as raised:
        if entry == "read_range":
            read()
        else:
            to_dask(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1],
                    data_sources=[DataSource.binance]).compute(scheduler="synchronous")
    error = raised.value
    assert error.instrument == str(BTC) and [t[0] for t in error.tried] == ["binance"]
    assert error.date == (day or error.date) and error.date in DAYS
    assert "object store" in str(error) and SECRET not in str(error)
    assert error.__cause__ is error.tried[0][2]


def test_coverage_of_an_unreachable_store_is_an_error(proxy):
    proxy.pause(60, refuse=True)
    with pytest.raises(OSError, match="object store"):
        coverage(BTC, DataType.DerivativeTicker, DAYS[0], DAYS[-1], data_sources=[DataSource.binance])


@pytest.mark.parametrize("fault", ["fail", "drop", "stall"], ids=["refused", "hung up", "stalls"])
def test_a_write_through_a_failing_store_leaves_each_day_whole_and_says_which(proxy, fault):
    eth = Instrument("binance-futures", "ETHUSDT")
    start = int(pd.Timestamp(str(DAYS[0]), tz="UTC").value // 1000)
    frame = pd.DataFrame({"timestamp": start + 3_600_000_000 * np.arange(24 * len(DAYS)), "price": 1.0})
    getattr(proxy, fault)(match=f"ETHUSDT/{DAYS[11]}$")
    with pytest.raises(RangeWriteError) as raised:
        write_range(frame, eth, DataType.DerivativeTicker, data_sources=[DataSource.binance], max_workers=8)
    assert list(raised.value.failed) == [DAYS[11]] and raised.value.written == DAYS[:11] + DAYS[12:]
    proxy.clear()
    for day in DAYS:
        table = CryptoMktData(day, eth, DataType.DerivativeTicker, data_sources=[DataSource.binance]).get_raw()
        if table is not None or day != DAYS[11]:  # a failed upload leaves no part of itself
            assert len(table) == 24
