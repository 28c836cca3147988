"""Shared argument binding: counts, keywords, entry type checks, traceback entries."""

from __future__ import annotations

import pathlib
import traceback

import pandas as pd
import pytest

from halvorn.orrery_data.enums import DataSource, DataType
from support import METHOD_SIGNATURES, cache_files, frame, takes, vectorcall

DATE = 20240105


IntSub, StrSub, ListSub = (type(f"{t.__name__.capitalize()}Sub", (t,), {}) for t in (int, str, list))


@pytest.fixture
def reader(build_reader):
    return build_reader()


def required_args(name, instrument):
    """Positional arguments (besides the reader) that satisfy each method."""
    return {"__init__": (DATE, instrument, DataType.Klines), "get_path": (DataSource.binance,),
            "get_raw_data_path": (DataSource.binance,), "compute_cmc_historical_snapshot_date": (DATE,),
            "_read_cache": ("/nowhere/x.feather",), "write": (None,), "write_raw_data": (None,)}.get(name, ())


def generated_cases():
    for name, (params, _) in METHOD_SIGNATURES.items():
        n, how = len(params), "at most" if name == "__init__" else "exactly"
        yield (f"{name}-surplus", lambda C, r, i, name=name, n=n: getattr(C, name)(r, *range(n)), takes(name, how, n, n + 1))
        yield (f"{name}-unexpected", lambda C, r, i, name=name: getattr(C, name)(r, *required_args(name, i), bogus=1),
               f"{name}() got an unexpected keyword argument 'bogus'")
        if n == 2:
            yield (f"{name}-missing", lambda C, r, i, name=name: getattr(r, name)(), takes(name, "exactly", 2, 1))
            yield (f"{name}-self-missing", lambda C, r, i, name=name, p=params[1]: getattr(C, name)(**{p: 1}),
                   takes(name, "exactly", 2, 0))
        elif n == 1:
            yield (f"{name}-no-self", lambda C, r, i, name=name: getattr(C, name)(), takes(name, "exactly", 1, 0))


BINDING_ERRORS = [
    *generated_cases(),
    ("exists-extra", lambda C, r, i: r.exists(1), "exists() takes exactly 1 positional argument (2 given)"),
    ("init-nothing", lambda C, r, i: C(), "__init__() takes at least 4 positional arguments (1 given)"),
    ("init-eleven", lambda C, r, i: C(*range(10)), "__init__() takes at most 10 positional arguments (11 given)"),
    ("init-date-kw", lambda C, r, i: C(date=DATE), "__init__() takes at least 4 positional arguments (2 given)"),
    ("init-no-instrument", lambda C, r, i: C(DATE, data_type=DataType.Klines), takes("__init__", "at least", 4, 2)),
    ("init-no-type", lambda C, r, i: C(DATE, i), takes("__init__", "at least", 4, 3)),
    ("init-no-self", lambda C, r, i: C.__init__(date=DATE, instrument=i, data_type=1), takes("__init__", "at least", 4, 0)),
    ("missing-before-unexpected", lambda C, r, i: r.get_path(bogus=1), takes("get_path", "exactly", 2, 1)),
    ("surplus-before-unexpected", lambda C, r, i: r.exists(1, bogus=1), takes("exists", "exactly", 1, 2)),
    ("write-df-twice", lambda C, r, i: r.write(1, df=1), "write() got multiple values for keyword argument 'df'"),
    ("self-twice", lambda C, r, i: C.exists(r, self=r), "exists() got multiple values for keyword argument 'self'"),
    ("init-date-twice", lambda C, r, i: C(DATE, i, DataType.Klines, date=DATE),
     "__init__() got multiple values for keyword argument 'date'"),
    ("init-optional-twice", lambda C, r, i: C(DATE, i, DataType.Klines, None, use_minio_storage=False),
     "__init__() got multiple values for keyword argument 'use_minio_storage'"),
    ("init-misspelt", lambda C, r, i: C(DATE, i, DataType.Klines, datasources=[]),
     "__init__() got an unexpected keyword argument 'datasources'"),
    ("unexpected-before-type-check", lambda C, r, i: C(True, i, DataType.Klines, bogus=1),
     "__init__() got an unexpected keyword argument 'bogus'"),
]

TYPE_ERRORS = [
    *[(f"init-date-{t}", lambda C, r, i, v=v: C(v, i, DataType.Klines), "date", "int", t)
      for v, t in [(True, "bool"), (None, "NoneType"), (1.0, "float"), (IntSub(DATE), "IntSub"), ("20240105", "str")]],
    ("init-date-kw", lambda C, r, i: C(instrument=i, data_type=DataType.Klines, date=False), "date", "int", "bool"),
    *[(f"init-sources-{t}", lambda C, r, i, v=v: C(DATE, i, DataType.Klines, data_sources=v), "data_sources", "list", t)
      for v, t in [((DataSource.tardis,), "tuple"), (ListSub(), "ListSub"), ("tardis", "str"), (set(), "set")]],
    ("init-date-checked-first", lambda C, r, i: C(True, i, DataType.Klines, data_sources=()), "date", "int", "bool"),
    *[(f"cmc-{t}", lambda C, r, i, v=v: r.compute_cmc_historical_snapshot_date(v), "date", "int", t)
      for v, t in [(True, "bool"), (None, "NoneType"), (1.5, "float"), (IntSub(DATE), "IntSub")]],
    *[(f"cache-path-{t}", lambda C, r, i, v=v: r._read_cache(cache_path=v), "cache_path", "str", t)
      for v, t in [(None, "NoneType"), (b"x", "bytes"), (StrSub("x"), "StrSub"), (True, "bool"),
                   (1, "int"), (pathlib.PurePosixPath("x"), "PurePosixPath")]],
]


def assert_nothing_ran(platform, calls_before, logs):
    assert platform.calls == calls_before
    assert logs() == []
    assert cache_files(platform.cache_dir) == []


@pytest.mark.parametrize("call, message", [c[1:] for c in BINDING_ERRORS], ids=[c[0] for c in BINDING_ERRORS])
def test_binding_error(light_data, platform, reader, instrument, logs, call, message):
    calls_before, state_before = list(platform.calls), dict(vars(reader))
    with pytest.raises(TypeError) as excinfo:
        call(light_data.CryptoMktData, reader, instrument)
    assert type(excinfo.value) is TypeError and str(excinfo.value) == message
    assert_nothing_ran(platform, calls_before, logs)
    assert vars(reader) == state_before


@pytest.mark.parametrize("call, parameter, expected, got", [c[1:] for c in TYPE_ERRORS], ids=[c[0] for c in TYPE_ERRORS])
def test_entry_type_check(light_data, platform, reader, instrument, logs, call, parameter, expected, got):
    calls_before = list(platform.calls)
    with pytest.raises(TypeError) as excinfo:
        call(light_data.CryptoMktData, reader, instrument)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})"
    assert_nothing_ran(platform, calls_before, logs)


def test_failed_reinitialisation_leaves_the_reader_alone(light_data, platform, reader, instrument):
    state = dict(vars(reader))
    with pytest.raises(TypeError, match="^Argument 'data_sources'"):
        light_data.CryptoMktData.__init__(reader, DATE, instrument, DataType.Trades, data_sources=(1,))
    assert vars(reader) == state


@pytest.mark.parametrize("target", ["method", "class"])
def test_keywords_must_be_strings(light_data, platform, reader, logs, target):
    calls_before = list(platform.calls)
    function, args, name = (light_data.CryptoMktData.get, (reader,), "get") if target == "method" else \
        (light_data.CryptoMktData, (DATE, 1, 2), "__init__")
    with pytest.raises(TypeError) as excinfo:
        vectorcall(function, args, (1,), (2,))
    assert str(excinfo.value) == f"{name}() keywords must be strings"
    assert_nothing_ran(platform, calls_before, logs)


def outcome(call):
    try:
        result = call()
    except Exception as exc:  # noqa: BLE001 - the outcome itself is compared
        return ("raised", type(exc), str(exc))
    if isinstance(result, pd.DataFrame):
        return ("returned", type(result), result.to_dict())
    return ("returned", result)


@pytest.mark.parametrize("name", list(METHOD_SIGNATURES))
def test_every_parameter_by_keyword(light_data, platform, reader, instrument, name):
    params, _ = METHOD_SIGNATURES[name]
    function = getattr(light_data.CryptoMktData, name)
    values = (reader, *required_args(name, instrument))
    start = len(platform.calls)
    by_position = outcome(lambda: function(*values))
    middle = len(platform.calls)
    by_keyword = outcome(lambda: function(**dict(reversed(list(zip(params, values))))))
    assert by_keyword == by_position
    assert by_position[:2] != ("raised", TypeError)
    assert platform.calls[middle:] == platform.calls[start:middle]


def frame_names(exc: BaseException) -> list[str]:
    return [entry.name for entry in traceback.extract_tb(exc.__traceback__)]


def qualified(name: str) -> str:
    return f"halvorn.orrery_data.light_data.CryptoMktData.{name}"


@pytest.mark.parametrize("name", list(METHOD_SIGNATURES))
def test_binding_error_names_the_method_in_the_traceback(light_data, reader, name):
    with pytest.raises(TypeError) as excinfo:
        getattr(light_data.CryptoMktData, name)(reader, *range(10))
    assert qualified(name) in frame_names(excinfo.value)


def broken(*args, **kwargs):
    raise LookupError("collaborator failed")


@pytest.mark.parametrize(
    "chain, call",
    [
        (["__init__"], lambda r, i, ld: ld.CryptoMktData(DATE, i, DataType.Klines)),
        (["get_path"], lambda r, i, ld: r.get_path(DataSource.binance)),
        (["get_raw_data_path"], lambda r, i, ld: r.get_raw_data_path(DataSource.binance)),
        (["get_path", "compute_cmc_historical_snapshot_date"], lambda r, i, ld: r.get_path(DataSource.coin_market_cap)),
        (["exists", "get_path"], lambda r, i, ld: r.exists()),
        (["write", "get_path"], lambda r, i, ld: r.write(frame())),
        (["write_raw_data", "get_raw_data_path"], lambda r, i, ld: r.write_raw_data(frame())),
        (["get_raw_data", "get_raw_data_path"], lambda r, i, ld: r.get_raw_data()),
    ],
    ids=lambda v: "-".join(v) if isinstance(v, list) else None,
)
def test_collaborator_error_names_the_methods_outer_first(light_data, platform, reader, instrument, monkeypatch, chain, call):
    monkeypatch.setattr(light_data, "ConfigLoader", broken)
    platform.path_of = broken
    platform.last_sunday = broken
    with pytest.raises(LookupError) as excinfo:
        call(reader, instrument, light_data)
    names = [n for n in frame_names(excinfo.value) if n.startswith("halvorn.")]
    assert names == [qualified(n) for n in chain]
