"""Cached copies against the tables storage holds now: a day rewritten by another process, a
fill that races a writer, the copies removed by hand; and ranges whose end lies far past the
stored days."""

from __future__ import annotations

import itertools
import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from fault_proxy import FaultProxy
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData, DataIOModule
from halvorn.orrery_data.light_data_batch import MissingDataWarning, coverage, iter_range, read_range
from halvorn.orrery_utils.priceable.instrument import Instrument
from support import cache_files, create_bucket

BTC, ETH = Instrument("binance-futures", "BTCUSDT"), Instrument("binance-futures", "ETHUSDT")
KIND, SOURCES = DataType.DerivativeTicker, [DataSource.binance]
DAYS = [int(d.strftime("%Y%m%d")) for d in pd.date_range("2024-06-01", periods=21)]
_buckets = itertools.count()


def ticker(day: int, price: float) -> pd.DataFrame:
    start = int(pd.Timestamp(str(day), tz="UTC").value // 1000)
    return pd.DataFrame({"timestamp": start + 60_000_000 * np.arange(5), "price": np.full(5, price)})


def store(instrument: Instrument, day: int, price: float) -> None:
    CryptoMktData(day, instrument, KIND, data_sources=SOURCES).write(ticker(day, price))


def price_on(day: int, **options) -> float:
    return float(read_range(BTC, KIND, day, day, data_sources=SOURCES, **options)["price"].iloc[0])


@pytest.fixture(params=["local storage", "object store"])
def where(request, tmp_path, monkeypatch):
    """A configuration on local storage or on the S3 test server behind a proxy (which counts
    the requests), with the first days of BTC stored."""
    config = tmp_path / "platform.ini"
    text = textwrap.dedent(f"""\
        [env]
        use_minio_storage = {request.param == "object store"}
        [data_related]
        LOCAL_DATA_ROOT = {tmp_path / "root"}
        LOCAL_DATA_CACHE_DIR = {tmp_path / "cache"}
        """)
    proxy = None
    if request.param == "object store":
        address = request.getfixturevalue("s3_server")
        bucket = f"freshness-{os.getpid()}-{next(_buckets)}"
        create_bucket(address, bucket)
        monkeypatch.setenv("HALVORN_S3_ACCESS_KEY", "AKIAFRESHNESS0000001")
        monkeypatch.setenv("HALVORN_S3_SECRET_KEY", "freshness-secret")
        proxy = FaultProxy(address)
        text += f"[object_store]\nendpoint = http://{proxy.address}\nbucket = {bucket}\n"
    config.write_text(text)
    monkeypatch.setenv("HALVORN_CONFIG", str(config))
    for day in DAYS:
        store(BTC, day, 1.0)
    yield type("Where", (), {"config": config, "proxy": proxy, "cache": tmp_path / "cache"})
    if proxy is not None:
        proxy.close()


def cache_command(*args: str) -> tuple[int, dict]:
    done = subprocess.run([sys.executable, "-m", "halvorn.orrery_data.light_data_cache", *args, "--json"],
                          capture_output=True, text=True, timeout=120, env=os.environ)
    return done.returncode, json.loads(done.stdout)


def test_a_day_rewritten_by_another_process_is_found_and_refetched(where):
    assert price_on(DAYS[3]) == 1.0  # cached here
    subprocess.run([sys.executable, "-c", textwrap.dedent(f"""\
        import numpy as np, pandas as pd
        from halvorn.orrery_data.enums import DataSource, DataType
        from halvorn.orrery_data.light_data import CryptoMktData
        from halvorn.orrery_utils.priceable.instrument import Instrument
        start = int(pd.Timestamp("{DAYS[3]}", tz="UTC").value // 1000)
        CryptoMktData({DAYS[3]}, Instrument("binance-futures", "BTCUSDT"), DataType.DerivativeTicker,
                      data_sources=[DataSource.binance]).write(
            pd.DataFrame({{"timestamp": start + 60_000_000 * np.arange(5), "price": np.full(5, 2.0)}}))
        """)], check=True, env=os.environ, timeout=120)
    assert price_on(DAYS[3]) == 1.0  # the copy is served as it is, unless asked to check it
    status, found = cache_command("stale")
    assert status == 1 and [(c["state"], c["storage_path"].endswith(f"/{DAYS[3]}")) for c in found["copies"]] \
        == [("changed", True)]
    assert found["copies"][0]["url"].startswith("s3://" if where.proxy else "/")
    assert price_on(DAYS[3], revalidate=True) == 2.0
    assert cache_command("stale") == (0, {**found, "copies": [], "fresh": found["fresh"] + 1})

    store(BTC, DAYS[3], 3.0)  # rewritten again; the configuration now asks every range read to check
    text = where.config.read_text().replace("[data_related]", "[data_related]\nLOCAL_DATA_CACHE_REVALIDATE = true")
    where.config.write_text(text)
    assert price_on(DAYS[3]) == 3.0


def test_a_fill_that_races_a_writer_loses(where, monkeypatch):
    """The table is replaced while a range read fetches it, and the writer drops this machine's
    copy before the read renames its old copy into place: that copy must not stay."""
    calls = {name: getattr(DataIOModule, name) for name in ("read_file_identified", "read_file_bytes")}

    def read_then_rewritten(self, load_path, read):
        answer = read(self, load_path)
        if load_path.endswith(f"/{DAYS[5]}"):
            store(BTC, DAYS[5], 9.0)
            CryptoMktData(DAYS[5], BTC, KIND, data_sources=SOURCES).remove_cache()
        return answer

    for name, read in calls.items():  # whichever read a range read makes
        monkeypatch.setattr(DataIOModule, name, lambda self, load_path, read=read: read_then_rewritten(
            self, load_path, read))
    assert price_on(DAYS[5]) == 1.0  # the read got the table as it was
    for name, read in calls.items():
        monkeypatch.setattr(DataIOModule, name, read)
    # get() serves whatever copy the cache holds: none from the race is left to serve.
    assert CryptoMktData(DAYS[5], BTC, KIND, data_sources=SOURCES).get()["price"].iloc[0] == 9.0


@pytest.mark.parametrize("dry_run", [False, True])
def test_rm_removes_the_copies_of_the_chosen_tables_only(where, dry_run):
    for day in DAYS[:4]:
        store(ETH, day, 1.0)
    read_range([BTC, ETH], KIND, DAYS[0], DAYS[3], data_sources=SOURCES)
    before = cache_files(where.cache)
    status, removal = cache_command("rm", "binance-futures:BTCUSDT", "DerivativeTicker", str(DAYS[1]),
                                    str(DAYS[2]), *(["--dry-run"] * dry_run))
    assert status == 0 and sorted(r["storage_path"][-8:] for r in removal["removed"]) == [str(DAYS[1]),
                                                                                         str(DAYS[2])]
    assert all("/BTCUSDT/" in r["storage_path"] for r in removal["removed"])
    gone = {r["name"] for r in removal["removed"]}
    assert cache_files(where.cache) == (before if dry_run else sorted(set(before) - gone))


def test_a_range_far_past_the_stored_days_asks_nothing_of_the_missing_ones(where):
    tomorrow = (pd.Timestamp.now(tz="UTC") + pd.Timedelta(days=1)).strftime("%Y%m%d")
    if where.proxy is not None:
        where.proxy.requests.clear()
    with pytest.warns(MissingDataWarning):
        got = read_range(BTC, KIND, DAYS[0], 99991231, data_sources=SOURCES)
        chunks = list(iter_range(BTC, KIND, DAYS[0], 99991231, data_sources=SOURCES, days_per_chunk=365))
    assert len(got) == 5 * len(DAYS) and pd.concat(chunks).equals(got)
    assert got.attrs["missing"][-1] == (str(BTC), int(tomorrow))  # the range ends tomorrow
    if where.proxy is not None:  # a GET per stored table and a listing each, nothing per missing day
        assert sum(where.proxy.requests.values()) <= len(DAYS) + 6
    assert coverage(BTC, KIND, DAYS[0], 99991231, data_sources=SOURCES)["date"].iloc[-1] == int(tomorrow)
    with pytest.raises(ValueError, match="after .*the last day whose table can exist"):
        read_range(BTC, KIND, 99990101, 99991231, data_sources=SOURCES)
