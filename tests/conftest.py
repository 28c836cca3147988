"""Fixtures shared by the whole suite.

Two ways to drive a reader:

* ``storage``: the real platform stand-ins on real files, configured through
  an INI file in a temporary folder (nothing touches the user's folders);
* ``platform``: recording fakes bound over the module's globals
  (``ConfigLoader``, ``PathManager``, ``TradingDay``, ``DataIOModule``).
  The module reads its globals at each use, so binding over them is the
  supported way to substitute a collaborator. Every call a fake receives is
  appended to ``platform.calls`` as ``(name, args, kwargs)``; tests assert on
  that record.
"""

from __future__ import annotations

import logging
import os
import textwrap
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable

import pandas as pd
import pytest

import halvorn.orrery_data.light_data as light_data_module
from halvorn.orrery_data.enums import DataDestination, DataSource, DataType
from halvorn.orrery_utils.priceable.instrument import Instrument


@pytest.fixture(scope="session")
def light_data():
    return light_data_module


@pytest.fixture
def instrument() -> Instrument:
    return Instrument(exchange="binance-futures", symbol="BTCUSDT")


@pytest.fixture
def storage(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> SimpleNamespace:
    """Real stand-ins: storage root and cache folder under ``tmp_path``."""
    root = tmp_path / "store"
    cache_dir = tmp_path / "cache"
    config_path = tmp_path / "platform.ini"
    config_path.write_text(
        textwrap.dedent(
            f"""\
            [env]
            use_minio_storage = false

            [data_related]
            LOCAL_DATA_ROOT = {root}
            LOCAL_DATA_CACHE_DIR = {cache_dir}
            """
        )
    )
    monkeypatch.setenv("HALVORN_CONFIG", str(config_path))
    return SimpleNamespace(root=root, cache_dir=cache_dir, config_path=config_path)


def cache_files(cache_dir: Path) -> list[str]:
    """Names in the cache folder, sorted; empty when the folder is missing."""
    return sorted(os.listdir(cache_dir)) if os.path.isdir(cache_dir) else []


@dataclass
class FakePlatform:
    """Recording stand-ins for the platform classes the reader calls."""

    cache_dir: str
    calls: list[tuple[str, tuple, dict]] = field(default_factory=list)
    # configuration seen through ConfigLoader().config
    config: dict[str, dict[str, Any]] = field(default_factory=dict)
    use_minio_storage: Any = False
    # path builder: kwargs of get_mktdata_path -> storage path
    path_of: Callable[..., Any] | None = None
    # storage: path -> DataFrame, or an exception instance to raise on read
    tables: dict[Any, Any] = field(default_factory=dict)
    existing: set = field(default_factory=set)
    last_sunday: Callable[..., Any] = lambda date_int: date_int - 3

    def record(self, name: str, *args: Any, **kwargs: Any) -> None:
        self.calls.append((name, args, kwargs))

    def names(self) -> list[str]:
        return [name for name, _, _ in self.calls]

    def of(self, name: str) -> list[tuple[tuple, dict]]:
        return [(args, kwargs) for n, args, kwargs in self.calls if n == name]


def default_path(date, instrument, data_type, data_source, data_destination) -> str:
    return f"{data_destination.name}/{data_source.name}/{data_type.name}/{instrument}/{date}"


@pytest.fixture
def platform(light_data, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> FakePlatform:
    fake = FakePlatform(cache_dir=str(tmp_path / "cache"))
    fake.path_of = default_path

    class Config:
        def getboolean(self, *args, **kwargs):
            fake.record("getboolean", *args, **kwargs)
            return fake.use_minio_storage

        def __getitem__(self, section):
            fake.record("config[]", section)
            values = {"LOCAL_DATA_CACHE_DIR": fake.cache_dir}
            values.update(fake.config.get(section, {}))
            if section != "data_related" and section not in fake.config:
                raise KeyError(section)
            return values

    class ConfigLoader:
        def __init__(self, *args, **kwargs):
            fake.record("ConfigLoader", *args, **kwargs)
            self.config = Config()

    class PathManager:
        @staticmethod
        def get_mktdata_path(*args, **kwargs):
            fake.record("get_mktdata_path", *args, **kwargs)
            return fake.path_of(*args, **kwargs)

    class TradingDay:
        def __init__(self, *args, **kwargs):
            fake.record("TradingDay", *args, **kwargs)

        def get_last_sunday(self, *args, **kwargs):
            fake.record("get_last_sunday", *args, **kwargs)
            return fake.last_sunday(*args, **kwargs)

    class DataIOModule:
        def __init__(self, *args, **kwargs):
            fake.record("DataIOModule", *args, **kwargs)

        def exists(self, *args, **kwargs):
            fake.record("exists", *args, **kwargs)
            return args[0] in fake.existing

        def read_file_wrapper(self, *args, **kwargs):
            fake.record("read_file_wrapper", *args, **kwargs)
            table = fake.tables.get(kwargs.get("load_path"))
            if table is None:
                raise FileNotFoundError(f"no such table: {kwargs.get('load_path')}")
            if isinstance(table, BaseException):
                raise table
            return table

        def write_file_wrapper(self, *args, **kwargs):
            fake.record("write_file_wrapper", *args, **kwargs)
            fake.tables[kwargs.get("write_path")] = kwargs.get("dataframe")

    for name, value in {
        "ConfigLoader": ConfigLoader,
        "PathManager": PathManager,
        "TradingDay": TradingDay,
        "DataIOModule": DataIOModule,
    }.items():
        monkeypatch.setattr(light_data, name, value)
    return fake


@pytest.fixture
def logs(caplog: pytest.LogCaptureFixture):
    """Root-logger records at every level, as (levelname, message) pairs."""
    caplog.set_level(logging.DEBUG)

    def records() -> list[tuple[str, str]]:
        return [(r.levelname, r.getMessage()) for r in caplog.records]

    records.raw = caplog  # type: ignore[attr-defined]
    return records


def frame(rows: int = 3, **columns: Any) -> pd.DataFrame:
    """A small non-empty table; extra columns by keyword."""
    data = {"price": [100.0 + i for i in range(rows)]}
    data.update(columns)
    return pd.DataFrame(data)


__all__ = [
    "DataDestination",
    "DataSource",
    "DataType",
    "FakePlatform",
    "cache_files",
    "default_path",
    "frame",
]


# The thirteen methods in class-namespace order: parameter names (``self``
# first) and the annotation strings each one must carry.
_SOURCE, _DF = {"data_source": "DataSource", "return": "str"}, {"df": "pd.DataFrame", "return": "None"}
METHOD_SIGNATURES: dict[str, tuple[tuple[str, ...], dict[str, str]]] = {
    "__init__": (
        ("self", "date", "instrument", "data_type", "use_minio_storage", "silent_fail",
         "data_sources", "file_type", "use_cache", "write_cache"),
        {"date": "int", "instrument": "Instrument", "data_type": "DataType",
         "use_minio_storage": "bool", "silent_fail": "bool", "data_sources": "List[DataSource]",
         "file_type": "FileType", "use_cache": "bool", "write_cache": "bool"},
    ),
    "get_path": (("self", "data_source"), _SOURCE),
    "compute_cmc_historical_snapshot_date": (("self", "date"), {"date": "int", "return": "int"}),
    "get_raw_data_path": (("self", "data_source"), _SOURCE),
    "exists": (("self",), {}),
    "get_raw": (("self",), {"return": "pd.DataFrame"}),
    "_read_cache": (("self", "cache_path"), {"cache_path": "str", "return": "pd.DataFrame"}),
    "remove_cache": (("self",), {}),
    "_get": (("self",), {}),
    "get": (("self",), {"return": "Optional[pd.DataFrame]"}),
    "write": (("self", "df"), _DF),
    "get_raw_data": (("self",), {}),
    "write_raw_data": (("self", "df"), _DF),
}
__all__ += ["METHOD_SIGNATURES"]


def vectorcall(function: Any, args: tuple, kwnames: tuple, kwvalues: tuple) -> Any:
    """Call through ``PyObject_Vectorcall`` with raw keyword names (even non-strings,
    which the interpreter's own call paths refuse before the callee sees them)."""
    import ctypes

    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    items = (ctypes.py_object * (len(args) + len(kwvalues)))(*args, *kwvalues)
    return call(function, items, len(args), kwnames)


__all__ += ["vectorcall"]


@pytest.fixture
def build_reader(light_data, platform, instrument):
    """Reader on the recording fakes (date 20240105); the construction calls are cleared."""

    def build(data_type=DataType.Klines, **kwargs):
        reader = light_data.CryptoMktData(20240105, instrument, data_type, **kwargs)
        platform.calls.clear()
        return reader

    return build


def mktdata_call(date, instrument, data_type, data_source, data_destination) -> tuple[str, tuple, dict]:
    """The record of one ``get_mktdata_path`` call, keywords in their required order."""
    keywords = dict(date=date, instrument=instrument, data_type=data_type, data_source=data_source,
                    data_destination=data_destination)
    return ("get_mktdata_path", (), keywords)


__all__ += ["mktdata_call"]
