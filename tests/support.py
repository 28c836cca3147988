"""What the test modules share besides fixtures: tables, cache file names, log record shapes,
the binding facts of the reader's methods, and the fake platforms bound over the module's globals.

Two fake platforms stand in for the platform classes the reader calls (``ConfigLoader``,
``PathManager``, ``TradingDay``, ``DataIOModule``):

* ``FakePlatform``, the recording one (the ``platform`` fixture): every call a fake receives is
  appended to ``calls`` as ``(name, args, kwargs)``, and tests assert on that record.
* the lean one (the ``lean`` fixture, for the reference-leak tests): it records nothing, since a
  record would hold a reference to every argument and grow with every call, which is exactly
  what those tests measure. Its behaviour is set per scenario through ``B``.
"""

from __future__ import annotations

import gc
import hashlib
import os
import re
import subprocess
import sys
import traceback
from dataclasses import dataclass, field
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable

import pandas as pd
import pyarrow.fs as pafs
import pytest

from halvorn.orrery_data.enums import DataSource, DataType

# ---------------------------------------------------------------------------
# Tables and cache files


def frame(rows: int = 3, **columns: Any) -> pd.DataFrame:
    """A small non-empty table; extra columns by keyword."""
    data = {"price": [100.0 + i for i in range(rows)]}
    data.update(columns)
    return pd.DataFrame(data)


def cache_files(cache_dir: Path) -> list[str]:
    """Names in the cache folder, sorted; empty when the folder is missing."""
    return sorted(os.listdir(cache_dir)) if os.path.isdir(cache_dir) else []


# A cache folder holds nothing but files named by this pattern once every write is done.
CACHE_NAME = re.compile(r"^[0-9a-f]{64}\.feather$")


def cache_path(cache_dir, path: str) -> str:
    """The cache file of one storage path, built independently of the reader."""
    return os.path.join(str(cache_dir), hashlib.sha256(path.encode("utf-8")).hexdigest() + ".feather")


def put(cache_dir, path: str, table) -> str:
    """Writes `table` as the cache file of `path`; returns the cache path."""
    os.makedirs(cache_dir, exist_ok=True)
    target = cache_path(cache_dir, path)
    table.to_feather(target)
    return target


# ---------------------------------------------------------------------------
# The recording fake platform


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

    def collaborators(self) -> dict[str, type]:
        """The fake classes, by the names of the module globals they replace."""
        fake = self

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

        return {"ConfigLoader": ConfigLoader, "PathManager": PathManager, "TradingDay": TradingDay,
                "DataIOModule": DataIOModule}


def default_path(date, instrument, data_type, data_source, data_destination) -> str:
    return f"{data_destination.name}/{data_source.name}/{data_type.name}/{instrument}/{date}"


def mktdata_call(date, instrument, data_type, data_source, data_destination) -> tuple[str, tuple, dict]:
    """The record of one ``get_mktdata_path`` call, keywords in their required order."""
    keywords = dict(date=date, instrument=instrument, data_type=data_type, data_source=data_source,
                    data_destination=data_destination)
    return ("get_mktdata_path", (), keywords)


# ---------------------------------------------------------------------------
# Reads and the cache over the recording fakes: paths and log record shapes

DATE = 20240102
TARDIS, BINANCE = DataSource.tardis, DataSource.binance
OTHER = DataType.Klines  # a kind whose time index is left as stored


def path_of(date, instrument, data_type, data_source, data_destination):
    """Storage path builder for the recording fakes: one distinct path per source and date."""
    return f"store/{data_source.name}/{date}.feather"


P1 = path_of(DATE, None, None, TARDIS, None)
P2 = path_of(DATE, None, None, BINANCE, None)


def reader_factory(light_data, platform, instrument):
    """Builds readers over the fakes; by default the sources (tardis, binance) map to P1, P2."""
    platform.path_of = path_of

    def make(sources=(TARDIS, BINANCE), data_type=OTHER, cls=None, **kwargs):
        cls = cls or light_data.CryptoMktData
        return cls(DATE, instrument, data_type, data_sources=list(sources), **kwargs)

    return make


def failed(path) -> list[tuple[str, str]]:
    """The records of one source of a cached read that failed inside its guarded block."""
    return [("DEBUG", f"reading {path}"), ("ERROR", "<traceback>"), ("ERROR", f"Error reading {path}, Exception = <e>")]


def shapes(caplog: pytest.LogCaptureFixture) -> list[tuple[str, str]]:
    """Root-logger records as (level, message).

    A record whose message is the traceback text of the exception it carries becomes
    "<traceback>"; a message ending in ", Exception = " plus the text of the exception it
    carries ends in "<e>" instead. Anything else stays verbatim, so a wrong text, a missing
    attached exception or a traceback of the wrong exception shows up in the comparison.
    """
    out = []
    for record in caplog.records:
        if record.name != "root":
            continue
        message = record.getMessage()
        exc = record.exc_info[1] if record.exc_info else None
        if exc is not None:
            text = str(exc)
            if message.endswith(", Exception = " + text):
                message = message[: len(message) - len(text)] + "<e>"
            elif message.endswith(traceback.format_exception_only(type(exc), exc)[-1]):
                message = "<traceback>"
        out.append((record.levelname, message))
    return out


# ---------------------------------------------------------------------------
# Argument binding of the reader's methods


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


def takes(name: str, how: str, count: int, given: int) -> str:
    return f"{name}() takes {how} {count} positional argument{'s' if count != 1 else ''} ({given} given)"


def vectorcall(function: Any, args: tuple, kwnames: tuple, kwvalues: tuple) -> Any:
    """Call through ``PyObject_Vectorcall`` with raw keyword names (even non-strings,
    which the interpreter's own call paths refuse before the callee sees them)."""
    import ctypes

    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    items = (ctypes.py_object * (len(args) + len(kwvalues)))(*args, *kwvalues)
    return call(function, items, len(args), kwnames)


# ---------------------------------------------------------------------------
# The lean fake platform of the reference-leak tests

SUNDAY, PATH = 20231231, "lean/store/path"
TABLE = pd.DataFrame({"price": [1.0, 2.0]})


class Config(dict):
    """A configuration: sections by name, with the storage switch off."""

    def getboolean(self, section, key):
        return False


CONFIG = Config(data_related={"LOCAL_DATA_CACHE_DIR": "/nonexistent/light-data-cache"})
B = SimpleNamespace()  # behaviour of the lean fakes, set per scenario


def fail_if(name):
    if name in B.fail:
        raise RuntimeError(name)


class LeanConfigLoader:
    def __init__(self):
        self.config = B.config


class LeanPathManager:
    @staticmethod
    def get_mktdata_path(date, instrument, data_type, data_source, data_destination):
        fail_if("path" if data_source is not DataSource.binance else "path-binance")
        return B.path


class LeanTradingDay:
    def __init__(self):
        fail_if("TradingDay")

    def get_last_sunday(self, date_int):
        fail_if("sunday")
        return B.sunday


class LeanDataIOModule:
    def __init__(self, file_type, use_minio_storage):
        fail_if("DataIOModule")

    def exists(self, path):
        fail_if("exists")
        return B.exists

    def read_file_wrapper(self, load_path):
        if "read" in B.fail or ("read-tardis" in B.fail and B.reads % 2 == 0):
            B.reads += 1
            raise FileNotFoundError(load_path)
        B.reads += 1
        return TABLE

    def write_file_wrapper(self, dataframe, write_path):
        fail_if("write")


class StoredTable(LeanDataIOModule):
    # Builds a new table from the columns B.table on every read, as a file read would. A copy of
    # one shared table would share its index, whose weak reference list pandas prunes only now and
    # then: noise that would hide a leak.
    def read_file_wrapper(self, load_path):
        fail_if("read")
        return pd.DataFrame(B.table)


LEAN = {"ConfigLoader": LeanConfigLoader, "PathManager": LeanPathManager, "TradingDay": LeanTradingDay,
        "DataIOModule": LeanDataIOModule}
DEFAULTS = dict(fail=frozenset(), config=CONFIG, path=PATH, sunday=SUNDAY, exists=False, reads=0)


def run(op, expected):
    if expected is None:
        return op()
    try:
        op()
    except expected:
        return None
    raise AssertionError("the scenario did not fail")


# Where the interpreter's allocator is replaced by malloc (PYTHONMALLOC=malloc, as in the
# sanitizer run), allocated blocks cannot be counted and only reference counts are checked: a
# reference leaked once a call, or once in ten calls, moves them as surely in 30 calls as in 300.
WARMUP, ROUNDS, BATCHES = 30, 30 if os.environ.get("PYTHONMALLOC") == "malloc" else 300, 6
# Allocated blocks may move a little while pandas settles its own bookkeeping; a leak of one block
# every tenth call grows a batch by ROUNDS // 10.
BLOCK_SLACK = ROUNDS // 10
# Objects that every call passes around, whose counts other code moves too: a reference leaked on
# every call grows them by ROUNDS a batch.
SHARED = [None, True, False, *map(sys.intern, (
    "DateTime", "timestamp", "data_sources", "data_source", "data_type", "date", "cache_dir", "io_obj",
    "get_path", "get_raw_data_path", "get_raw", "_read_cache", "remove_cache", "_get", "read_file_wrapper",
    "load_path", "write_file_wrapper", "empty", "read_feather", "to_feather", "columns", "set_index",
    "debug", "info", "exception", "format_exc", "join", "path", "os", "pd", "logging", "reading "))]
SHARED_SLACK = ROUNDS // 2

def refcounts(objects) -> list[int]:
    return [sys.getrefcount(obj) for obj in objects]


def assert_flat(call, expected, tracked) -> None:
    """Calls `call` in batches after a warm-up: the reference counts of `tracked` must not move at all,
    those of SHARED (moved by other code too) must stay within SHARED_SLACK, and the allocated
    blocks must settle to a batch that grows less than BLOCK_SLACK."""
    for _ in range(WARMUP):
        run(call, expected)
    gc.collect()
    # What lived before the batches is left out of the collections below: late in a session a
    # full collection scans everything earlier tests keep alive (a second each under the
    # sanitizers), and garbage the calls leave is new anyway.
    gc.freeze()
    try:
        counts, shared = refcounts(tracked), refcounts(SHARED)
        growth: list[int] = []
        while len(growth) < BATCHES and (not growth or abs(growth[-1]) >= BLOCK_SLACK):
            blocks = sys.getallocatedblocks()
            for _ in range(ROUNDS):
                run(call, expected)
            gc.collect()
            growth.append(sys.getallocatedblocks() - blocks)
    finally:
        gc.unfreeze()
    assert refcounts(tracked) == counts
    moved = {repr(obj): after - before for obj, before, after in zip(SHARED, shared, refcounts(SHARED))
             if abs(after - before) >= SHARED_SLACK}
    assert moved == {}
    assert growth[-1] < BLOCK_SLACK, growth


# An S3-API server (moto) on 127.0.0.1 for the object-store tests.
# The server runs in its own process, as a real one would: a client blocked in
# C++ while holding the interpreter lock cannot starve it.
SERVER = """
import sys
from moto.server import ThreadedMotoServer
server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
server.start()
print("%s:%s" % server.get_host_and_port(), flush=True)
sys.stdin.read()  # serve until the test closes this pipe
server.stop()
"""


class S3Server:
    def __init__(self):
        self.process = subprocess.Popen([sys.executable, "-c", SERVER], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.process.stdout.readline().strip()
        if not self.address:
            self.stop()
            raise RuntimeError("the S3 test server did not start")

    def stop(self):
        if self.process.stdin.closed:
            return
        self.process.stdin.close()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


def object_store_config(path: Path, root: Path, cache: Path, address: str, bucket: str, **options: object) -> str:
    """Writes a configuration that stores on the S3 server at `address` (host:port), in
    `bucket`, with the further [object_store] keys `options`; returns its path."""
    lines = ["[env]", "use_minio_storage = true", "[data_related]", f"LOCAL_DATA_ROOT = {root}",
             f"LOCAL_DATA_CACHE_DIR = {cache}", "[object_store]", f"endpoint = http://{address}",
             f"bucket = {bucket}", *(f"{key} = {value}" for key, value in options.items())]
    path.write_text("\n".join(lines) + "\n")
    return str(path)


def create_bucket(address: str, bucket: str):
    admin = pafs.S3FileSystem(access_key="admin", secret_key="admin", region="us-east-1", scheme="http",
                              endpoint_override=address, allow_bucket_creation=True)
    admin.create_dir(bucket)
    return admin
