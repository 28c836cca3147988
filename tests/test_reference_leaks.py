"""No reference leaks: every method, on success and on its error paths, called many times."""

from __future__ import annotations


import pandas as pd
import pytest

from halvorn.orrery_data.enums import DataSource, DataType
from support import LEAN, METHOD_SIGNATURES, PATH, TABLE, B, Config, assert_flat, run, vectorcall

DATE = 20240105
GOOD_ARGS = {"get_path": (DataSource.tardis,), "get_raw_data_path": (DataSource.tardis,),
             "compute_cmc_historical_snapshot_date": (DATE,), "_read_cache": ("x",), "write": (TABLE,),
             "write_raw_data": (TABLE,), "__init__": (DATE, None, DataType.Klines)}


def keywords_not_strings(C, r, i):
    vectorcall(C.get, (r,), (1,), (2,))


def binding_scenarios():
    for name, (params, _) in METHOD_SIGNATURES.items():
        yield f"{name}-surplus", {}, lambda C, r, i, n=name, k=len(params): getattr(C, n)(r, *range(k)), TypeError
        yield f"{name}-unexpected", {}, lambda C, r, i, n=name: getattr(C, n)(r, *GOOD_ARGS.get(n, ()), bogus=1), TypeError
        if len(params) > 1:
            yield f"{name}-twice", {}, lambda C, r, i, n=name, p=params[1]: getattr(C, n)(r, 1, **{p: 1}), TypeError
            yield f"{name}-missing", {}, lambda C, r, i, n=name: getattr(C, n)(r), TypeError


SCENARIOS = [
    *binding_scenarios(),
    ("init-nothing", {}, lambda C, r, i: C(), TypeError),
    ("keywords-not-strings", {}, keywords_not_strings, TypeError),
    ("init", {}, lambda C, r, i: C(DATE, i, DataType.Klines), None),
    ("init-everything", {}, lambda C, r, i: C(DATE, i, DataType.Klines, False, True, [DataSource.okx], None, 0, 1), None),
    ("init-by-keyword", {}, lambda C, r, i: C(data_type=DataType.Metrics, instrument=i, date=DATE, data_sources=[]), None),
    ("init-date-type", {}, lambda C, r, i: C(True, i, DataType.Klines), TypeError),
    ("init-sources-type", {}, lambda C, r, i: C(DATE, i, DataType.Klines, data_sources=()), TypeError),
    ("init-missing-key", {"config": Config(data_related={})}, lambda C, r, i: C(DATE, i, DataType.Klines), KeyError),
    ("init-trading-day", {"fail": {"TradingDay"}}, lambda C, r, i: C(DATE, i, DataType.Klines), RuntimeError),
    ("init-io", {"fail": {"DataIOModule"}}, lambda C, r, i: C(DATE, i, DataType.Klines), RuntimeError),
    ("get_path", {}, lambda C, r, i: r.get_path(DataSource.tardis), None),
    ("get_path-cmc", {}, lambda C, r, i: r.get_path(data_source=DataSource.coin_market_cap), None),
    ("get_path-redirected", {"data_type": DataType.Metrics}, lambda C, r, i: r.get_path(DataSource.coin_market_cap), None),
    ("get_path-none", {"path": None}, lambda C, r, i: r.get_path(DataSource.tardis), None),
    ("get_path-result-type", {"path": b"p"}, lambda C, r, i: r.get_path(DataSource.tardis), TypeError),
    ("get_path-raises", {"fail": {"path"}}, lambda C, r, i: r.get_path(DataSource.tardis), RuntimeError),
    ("get_path-sunday-raises", {"fail": {"sunday"}}, lambda C, r, i: r.get_path(DataSource.coin_market_cap), RuntimeError),
    ("cmc", {}, lambda C, r, i: r.compute_cmc_historical_snapshot_date(DATE), None),
    ("cmc-argument-type", {}, lambda C, r, i: r.compute_cmc_historical_snapshot_date(True), TypeError),
    ("cmc-result-type", {"sunday": 1.5}, lambda C, r, i: r.compute_cmc_historical_snapshot_date(DATE), TypeError),
    ("get_raw_data_path", {}, lambda C, r, i: r.get_raw_data_path(DataSource.binance), None),
    ("get_raw_data_path-result-type", {"path": pd}, lambda C, r, i: r.get_raw_data_path(DataSource.tardis), TypeError),
    ("exists-true", {"exists": "yes"}, lambda C, r, i: r.exists(), None),
    ("exists-false", {}, lambda C, r, i: r.exists(), None),
    ("exists-empty", {"sources": []}, lambda C, r, i: r.exists(), None),
    ("exists-raises", {"fail": {"exists"}}, lambda C, r, i: r.exists(), RuntimeError),
    ("write", {}, lambda C, r, i: r.write(TABLE), None),
    ("write_raw_data", {}, lambda C, r, i: r.write_raw_data(df=TABLE), None),
    ("write-no-source", {"sources": []}, lambda C, r, i: r.write(TABLE), IndexError),
    ("write_raw_data-raises", {"fail": {"write"}}, lambda C, r, i: r.write_raw_data(TABLE), RuntimeError),
    ("read_cache-argument-type", {}, lambda C, r, i: r._read_cache(None), TypeError),
    ("get_raw_data", {}, lambda C, r, i: r.get_raw_data(), None),
    ("get_raw_data-second-source", {"fail": {"read-tardis"}}, lambda C, r, i: r.get_raw_data(), None),
    ("get_raw_data-missing", {"fail": {"read"}}, lambda C, r, i: r.get_raw_data(), Exception),
    ("get_raw_data-empty", {"sources": []}, lambda C, r, i: r.get_raw_data(), Exception),
    ("get_raw_data-path-raises", {"fail": {"read", "path-binance"}}, lambda C, r, i: r.get_raw_data(), RuntimeError),
]


@pytest.mark.parametrize("settings, op, expected", [s[1:] for s in SCENARIOS], ids=[s[0] for s in SCENARIOS])
def test_repeated_calls_leak_nothing(light_data, lean, instrument, settings, op, expected):
    C = light_data.CryptoMktData
    reader = C(DATE, instrument, DataType.Klines, data_sources=[DataSource.tardis, DataSource.binance])
    sources = reader.data_sources
    for key, value in settings.items():
        if key in ("sources", "data_type"):
            setattr(reader, "data_sources" if key == "sources" else key, value)
        else:
            setattr(B, key, frozenset(value) if key == "fail" else value)
    call = lambda: op(C, reader, instrument)  # noqa: E731
    if expected is not None:
        with pytest.raises(expected):
            call()
    tracked = [reader, instrument, sources, reader.data_sources, reader.io_obj, reader.trading_day, TABLE, PATH, B.config,
               C, *vars(C).values(), *LEAN.values(), DataType.Klines, DataType.Metrics, DataSource.tardis, DataSource.binance]
    assert_flat(call, expected, tracked)

