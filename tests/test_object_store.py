"""Readers on the object-store back end, against a real S3-API server (moto) on loopback."""

from __future__ import annotations

import errno
import itertools
import logging
import os
import re
import subprocess
import sys
import textwrap
import time
import traceback
from types import SimpleNamespace

import moto.server  # noqa: F401 - the S3 test server; missing, these tests must fail, not vanish
import pandas as pd
from botocore.exceptions import ClientError
import pyarrow.fs as pafs
import pytest

from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_utils.data_IO import object_store
from halvorn.orrery_utils.data_IO.data_IO_module import (
    DataIOModule,
    FileType,
    ObjectStoreConfigError,
    ObjectStoreError,
)
from fault_proxy import FaultProxy
from support import S3Server, cache_files, create_bucket, frame

DATE = 20240105
ACCESS_KEY = "AKIATESTACCESS0001"
SECRET_KEY = "test-secret-Zq9-never-log-me"
KEY = "processed_data/binance/Klines/binance-futures/BTCUSDT/20240105"
_buckets = itertools.count()

@pytest.fixture
def server(s3_server):
    return s3_server  # the session's S3 test server, under the name these tests use


def write_config(path, root, cache_dir, address, bucket, env_switch="true", **options):
    options = {"connect_timeout": 1, "max_attempts": 1, **options}
    path.write_text(textwrap.dedent(f"""\
        [env]
        use_minio_storage = {env_switch}
        [data_related]
        LOCAL_DATA_ROOT = {root}
        LOCAL_DATA_CACHE_DIR = {cache_dir}
        [object_store]
        endpoint = http://{address}
        bucket = {bucket}
        region = us-east-1
        """) + "".join(f"{name} = {value}\n" for name, value in options.items()))


@pytest.fixture
def store(server, tmp_path, monkeypatch):
    """A fresh bucket; two machines (own root, own cache, own INI) sharing it."""
    bucket = f"market-data-{os.getpid()}-{next(_buckets)}"
    admin = create_bucket(server, bucket)
    monkeypatch.setenv("HALVORN_S3_ACCESS_KEY", ACCESS_KEY)
    monkeypatch.setenv("HALVORN_S3_SECRET_KEY", SECRET_KEY)
    machines = []
    for name in ("a", "b"):
        ini = tmp_path / f"{name}.ini"
        write_config(ini, tmp_path / name / "root", tmp_path / name / "cache", server, bucket)
        machines.append(SimpleNamespace(ini=ini, root=tmp_path / name / "root", cache=tmp_path / name / "cache"))

    def use(machine):
        monkeypatch.setenv("HALVORN_CONFIG", str(machine.ini))

    def on(machine, light_data, instrument, **kwargs):
        """A reader built under ``machine``'s configuration (which stays in force)."""
        use(machine)
        kwargs.setdefault("data_sources", [DataSource.binance])
        return light_data.CryptoMktData(DATE, instrument, DataType.Klines, **kwargs)

    return SimpleNamespace(address=server, bucket=bucket, admin=admin, a=machines[0], b=machines[1], on=on, use=use,
                           object=lambda key=KEY: admin.get_file_info(f"{bucket}/{key}"))


def reader_log(logs) -> str:
    """Everything the reader logged (root logger), tracebacks included; not the server's access log."""
    formatter = logging.Formatter()
    return "\n".join(formatter.format(r) for r in logs.raw.records if r.name == "root")


def local_files(root) -> list[str]:
    return [os.path.join(d, f) for d, _, files in os.walk(root) for f in files]


@pytest.mark.parametrize("file_type", list(FileType))
@pytest.mark.parametrize("switch", ["config", "argument"])
def test_table_written_on_one_machine_is_read_on_another(light_data, instrument, store, file_type, switch):
    kwargs = {"file_type": file_type}
    if switch == "argument":
        for machine in (store.a, store.b):
            write_config(machine.ini, machine.root, machine.cache, store.address, store.bucket, env_switch="false")
        kwargs["use_minio_storage"] = True
    table = frame(rows=4, qty=[1, 2, 3, 4], side=["b", "s", "b", "s"])
    writer = store.on(store.a, light_data, instrument, **kwargs)
    assert writer.exists() is False and store.object().type == pafs.FileType.NotFound
    writer.write(table)
    assert writer.exists() is True and store.object().type == pafs.FileType.File
    assert local_files(store.a.root) == []  # nothing went to local storage

    reader = store.on(store.b, light_data, instrument, **kwargs)
    assert cache_files(store.b.cache) == []
    assert reader.exists() is True
    pd.testing.assert_frame_equal(reader.get_raw(), table)
    assert len(cache_files(store.b.cache)) == 1  # the local cache was filled from the store


def test_exists_is_per_object(light_data, instrument, store):
    reader = store.on(store.a, light_data, instrument)
    io, path = reader.io_obj, reader.get_path(DataSource.binance)
    assert [io.exists(None), io.exists(path)] == [False, False]
    reader.write(frame())
    folder = os.path.dirname(path)
    assert [io.exists(path), io.exists(folder), io.exists(path + "0")] == [True, False, False]


@pytest.mark.parametrize("path", ["../outside/x", "/elsewhere/x", "relative/x", ""])
def test_paths_outside_the_root_are_refused(light_data, instrument, store, path):
    io = store.on(store.a, light_data, instrument).io_obj
    target = str(store.a.root / path) if path.startswith("..") else path
    with pytest.raises(ValueError, match="LOCAL_DATA_ROOT"):
        io.exists(target)


def test_missing_object(light_data, instrument, store, logs):
    path = store.on(store.a, light_data, instrument).get_path(DataSource.binance)
    io = store.on(store.a, light_data, instrument).io_obj
    with pytest.raises(FileNotFoundError) as raised:
        io.read_file_wrapper(load_path=path)
    assert raised.value.filename == f"s3://{store.bucket}/{KEY}" and store.address in str(raised.value)
    with pytest.raises(FileNotFoundError, match="^Missing data: "):
        store.on(store.a, light_data, instrument).get()
    with pytest.raises(Exception, match=r"^Missing data: \[<DataSource.binance"):
        store.on(store.a, light_data, instrument).get_raw_data()
    assert store.on(store.a, light_data, instrument, silent_fail=True).get() is None
    assert store.on(store.a, light_data, instrument).get_raw() is None
    assert f"s3://{store.bucket}/{KEY}" in reader_log(logs)


class Unprintable:
    def __str__(self):
        raise RuntimeError("cannot be written")


def late_failure() -> pd.DataFrame:
    # CSV goes out in chunks of rows: the first chunks are already written when the last row fails.
    return pd.DataFrame({"price": [1.0] * 60_000, "note": ["ok"] * 59_999 + [Unprintable()]})


@pytest.mark.parametrize("file_type, bad", [
    (FileType.CSV, late_failure),
    (FileType.Feather, lambda: pd.DataFrame({"mixed": [1, "one"]})),
], ids=["csv-late-failure", "feather-unconvertible"])
def test_failed_serialisation_keeps_the_stored_object(light_data, instrument, store, file_type, bad):
    reader = store.on(store.a, light_data, instrument, file_type=file_type)
    reader.write(frame(rows=2))
    with pytest.raises(Exception):
        reader.write(bad())
    pd.testing.assert_frame_equal(reader.get_raw(), frame(rows=2))


def test_object_replaced_during_a_read_comes_back_whole(light_data, instrument, store):
    """A larger object landing while a GET is under way must not come back cut short (nor mixed)."""
    reader = store.on(store.a, light_data, instrument, file_type=FileType.CSV)
    shorter, longer = frame(rows=2), frame(rows=50)
    reader.write_raw_data(shorter)
    real_client = reader.io_obj._storage._client

    class Racing:
        def __getattr__(self, name):
            return getattr(real_client, name)

        def get_object(self, **kwargs):
            response = real_client.get_object(**kwargs)  # the answer's headers are in, its body not yet read
            if not hasattr(self, "raced"):
                self.raced = True
                store.on(store.b, light_data, instrument, file_type=FileType.CSV).write_raw_data(longer)
            return response

    reader.io_obj._storage._client = Racing()
    got = reader.get_raw_data()
    assert reader.io_obj._storage._client.raced
    assert any(got.equals(table) for table in (shorter, longer)), got


@pytest.fixture
def own_server():
    server = S3Server()
    yield server
    server.stop()


def test_stopped_server(light_data, instrument, store, logs, own_server):
    server, address = own_server, own_server.address
    create_bucket(address, store.bucket)
    for machine in (store.a, store.b):
        write_config(machine.ini, machine.root, machine.cache, address, store.bucket)
    warm = store.on(store.a, light_data, instrument)
    warm.write(frame())
    pd.testing.assert_frame_equal(warm.get_raw(), frame())  # fills a's cache
    server.stop()

    started = time.monotonic()
    cold = store.on(store.b, light_data, instrument)
    with pytest.raises(FileNotFoundError, match="^Missing data: "):
        cold.get()
    assert store.on(store.b, light_data, instrument, silent_fail=True).get() is None
    with pytest.raises(ObjectStoreError, match=f"{address}.*s3://{store.bucket}/{KEY}") as raised:
        cold.exists()  # unknown is not "absent"
    with pytest.raises(ObjectStoreError, match=f"{address}.*writing"):
        cold.write(frame())
    assert time.monotonic() - started < 10
    store.use(store.a)
    pd.testing.assert_frame_equal(warm.get_raw(), frame())  # the cache still serves
    log = reader_log(logs)
    assert f"http://{address}" in log and f"s3://{store.bucket}/{KEY}" in log
    for text in (log, str(raised.value)):
        assert SECRET_KEY not in text and ACCESS_KEY not in text


class Leaky:
    """A client whose every request fails with a message echoing the credentials."""

    def __getattr__(self, name):
        def fail(*args, **kwargs):
            raise OSError(f"denied for {ACCESS_KEY} / {SECRET_KEY}")
        return fail


@pytest.mark.parametrize("call", [
    lambda io, path: io.exists(path),
    lambda io, path: io.read_file_wrapper(load_path=path),
    lambda io, path: io.write_file_wrapper(dataframe=frame(), write_path=path),
], ids=["exists", "read", "write"])
def test_client_errors_never_carry_the_credentials(light_data, instrument, store, call):
    reader = store.on(store.a, light_data, instrument)
    reader.io_obj._storage._client = Leaky()
    with pytest.raises(ObjectStoreError) as raised:
        call(reader.io_obj, reader.get_path(DataSource.binance))
    text = "".join(traceback.format_exception(raised.value))
    assert f"http://{store.address}" in text and f"s3://{store.bucket}/{KEY}" in text and "denied for ***" in text
    assert SECRET_KEY not in text and ACCESS_KEY not in text


def test_interpreter_exits_cleanly_after_s3_use(store):
    script = textwrap.dedent("""
        import pandas as pd
        from halvorn.orrery_utils.data_IO.data_IO_module import DataIOModule
        io = DataIOModule(use_minio_storage=True)
        path = {path!r}
        io.write_file_wrapper(dataframe=pd.DataFrame({{"x": [1]}}), write_path=path)
        assert io.read_file_wrapper(load_path=path)["x"].tolist() == [1]
        print("done")
    """).format(path=str(store.a.root / "raw_mkt_data" / "probe"))
    env = dict(os.environ, HALVORN_CONFIG=str(store.a.ini))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "done\n", "")


BAD_CONFIGS = {
    "no section": ("[object_store]", "[unused]", r"no \[object_store\] section"),
    "no bucket": ("bucket =", "# bucket =", "bucket must name a bucket"),
    "secret in file": ("region =", f"secret_key = {SECRET_KEY}\nregion =", "HALVORN_S3_SECRET_KEY in the environment"),
    "misspelt option": ("region =", "regoin = eu\nregion =", "unknown option 'regoin'"),
    "credentials in url": ("http://", f"http://user:{SECRET_KEY}@", "must not carry credentials"),
    "tls contradiction": ("region =", "use_tls = true\nregion =", "contradicts use_tls"),
    "bad attempts": ("max_attempts = 1", "max_attempts = 0", "max_attempts must be a positive whole number"),
    "bad request timeout": ("max_attempts = 1", "request_timeout = 0", "request_timeout must be a positive number"),
    "bad backoff": ("max_attempts = 1", "retry_backoff = -0.1", "retry_backoff must be a positive number"),
    "bad backoff cap": ("max_attempts = 1", "retry_backoff_max = nan", "retry_backoff_max must be a positive number"),
}


@pytest.mark.parametrize("old, new, message", BAD_CONFIGS.values(), ids=BAD_CONFIGS.keys())
def test_unusable_configuration_fails_at_construction(light_data, instrument, store, old, new, message):
    store.a.ini.write_text(store.a.ini.read_text().replace(old, new, 1))
    with pytest.raises(ObjectStoreConfigError, match=message) as raised:
        store.on(store.a, light_data, instrument)
    assert SECRET_KEY not in str(raised.value)


@pytest.mark.parametrize("variable", ["HALVORN_S3_ACCESS_KEY", "HALVORN_S3_SECRET_KEY"])
def test_missing_credentials_are_named(store, monkeypatch, variable):
    monkeypatch.setenv("HALVORN_CONFIG", str(store.a.ini))
    monkeypatch.delenv(variable)
    with pytest.raises(ObjectStoreConfigError, match=f"{variable} is not set") as raised:
        DataIOModule(file_type=FileType.Feather, use_minio_storage=True)
    assert SECRET_KEY not in str(raised.value) and ACCESS_KEY not in str(raised.value)


# ---------------------------------------------------------------------------
# A store that fails: requests through a fault-injecting proxy

# Small timeouts and waits, so that a fault costs a fraction of a second per try.
QUICK = {"connect_timeout": 1, "request_timeout": 0.5, "max_attempts": 3, "retry_backoff": 0.01,
         "retry_backoff_max": 0.05}


@pytest.fixture
def faulty(store):
    """Machine a of ``store``, reaching the bucket through a FaultProxy."""
    with FaultProxy(store.address, seed=11) as proxy:
        def io(bucket=store.bucket, **options) -> DataIOModule:
            write_config(store.a.ini, store.a.root, store.a.cache, proxy.address, bucket, **{**QUICK, **options})
            store.use(store.a)
            return DataIOModule(file_type=FileType.Feather, use_minio_storage=True)

        def path(day, symbol="BTCUSDT") -> str:
            return str(store.a.root / "processed_data/binance/Klines/binance-futures" / symbol / str(day))

        yield SimpleNamespace(proxy=proxy, io=io, path=path, bucket=store.bucket)


def exposed(error: BaseException) -> list[str]:
    """Every text an error shows or carries: its traceback, and the text and attributes of each
    exception of its chain."""
    texts, pending, seen = ["".join(traceback.format_exception(error))], [error], set()
    while pending:
        current = pending.pop()
        if id(current) not in seen:
            seen.add(id(current))
            texts += [str(current), repr(current), repr(vars(current))]
            pending += [e for e in (current.__cause__, current.__context__) if e is not None]
    return texts


PASSING = {
    "500 on 30%": lambda proxy: proxy.fail(500, rate=0.3),
    "SlowDown first": lambda proxy: proxy.fail(503, code="SlowDown", first=3),
    "cut bodies": lambda proxy: proxy.cut(rate=0.3),
    "dropped connections": lambda proxy: proxy.drop(rate=0.3),
    "stalls first": lambda proxy: proxy.stall(first=2),
    "store away for a while": lambda proxy: proxy.pause(0.3, refuse=True),
}


@pytest.mark.parametrize("fault", PASSING.values(), ids=PASSING.keys())
def test_passing_faults_are_retried_and_tables_come_back_whole(light_data, instrument, store, faulty, fault):
    io = faulty.io(max_attempts=10, retry_backoff=0.05, retry_backoff_max=0.2)
    tables = {faulty.path(day): frame(rows=20_000 + day % 10) for day in range(20240101, 20240106)}
    tables[faulty.path(20240101, "ETHUSDT")] = frame(rows=7)
    missing = faulty.path(20240109)
    fault(faulty.proxy)
    for path, table in tables.items():
        io.write_file_wrapper(dataframe=table, write_path=path)
    assert io.exists_many([*tables, missing]) == [True] * len(tables) + [False]
    for path, table in tables.items():
        assert io.exists(path) is True
        pd.testing.assert_frame_equal(io.read_file_wrapper(load_path=path), table)
    assert io.exists(missing) is False
    with pytest.raises(FileNotFoundError):
        io.read_file_wrapper(load_path=missing)
    # The reader on top gets the whole table too.
    reader = store.on(store.a, light_data, instrument, use_cache=False)
    pd.testing.assert_frame_equal(reader.get_raw(), tables[faulty.path(DATE)])
    assert sum(faulty.proxy.injected.values()) > 0


# Each fault, and the cause the error names. (A HEAD answer has no body, hence no error code; a
# listing cut short does not parse, which botocore reports as a 500.)
LASTING = {
    "503 SlowDown": (lambda proxy: proxy.fail(503, code="SlowDown"), "HTTP 503"),
    "500": (lambda proxy: proxy.fail(500), "HTTP 500"),
    "stalled": (lambda proxy: proxy.stall(), "ReadTimeoutError"),
    "dropped": (lambda proxy: proxy.drop(), "ConnectionClosedError"),
    "cut body": (lambda proxy: proxy.cut(), "IncompleteRead|HTTP 500"),
}
# Each operation on two objects of one folder, and the method of its requests.
OPERATIONS = {
    "read": (lambda io, paths: io.read_file_wrapper(load_path=paths[0]), "GET"),
    "exists": (lambda io, paths: io.exists(paths[0]), "HEAD"),
    "exists_many": (lambda io, paths: io.exists_many(paths), "GET"),
    "write": (lambda io, paths: io.write_file_wrapper(dataframe=frame(), write_path=paths[0]), "PUT"),
}


@pytest.mark.parametrize("fault, operation", [
    (fault, operation) for fault in LASTING for operation, (_, method) in OPERATIONS.items()
    if fault != "cut body" or method == "GET"  # only answers with a body can be cut
])
def test_lasting_faults_raise_after_max_attempts(faulty, fault, operation):
    inject, cause = LASTING[fault]
    call, method = OPERATIONS[operation]
    io = faulty.io()
    paths = [faulty.path(20240101), faulty.path(20240102)]
    for path in paths:
        io.write_file_wrapper(dataframe=frame(), write_path=path)
    inject(faulty.proxy)
    faulty.proxy.requests.clear()
    started = time.monotonic()
    with pytest.raises(ObjectStoreError) as raised:  # not FileNotFoundError, not False
        call(io, paths)
    # Bound on a stall: three tries of request_timeout, and the waits between them.
    assert time.monotonic() - started < 3 * QUICK["request_timeout"] + 2
    assert faulty.proxy.requests == {method: 3}
    message = str(raised.value)
    assert message.startswith(f"object store http://{faulty.proxy.address}: ")
    assert f" s3://{faulty.bucket}/processed_data/" in message and re.search(f"failed: .*({cause})", message)
    assert message.endswith("(after 3 attempts)")
    if fault in ("503 SlowDown", "500"):
        assert isinstance(raised.value.__cause__, ClientError)
    assert not [t for t in exposed(raised.value) if ACCESS_KEY in t or SECRET_KEY in t]


@pytest.mark.parametrize("cut", [0, 1], ids=["whole answer", "first answer cut"])
def test_missing_object_is_told_by_one_request(faulty, cut):
    io = faulty.io(max_attempts=4)
    io.write_file_wrapper(dataframe=frame(), write_path=faulty.path(20240101))
    missing = faulty.path(20240109)
    if cut:  # a 404 whose body is cut short has no code: it is asked again, not taken as missing
        faulty.proxy.cut(first=cut, match="^GET ")
    faulty.proxy.requests.clear()
    with pytest.raises(FileNotFoundError) as raised:
        io.read_file_wrapper(load_path=missing)
    assert (raised.value.errno, raised.value.filename) == (errno.ENOENT, io.storage_url(missing))
    assert str(raised.value).startswith(f"[Errno 2] object not found at http://{faulty.proxy.address}")
    assert io.exists(missing) is False
    assert faulty.proxy.requests == {"GET": 1 + cut, "HEAD": 1}  # a whole 404 is not retried


@pytest.mark.parametrize("operation", ["read", "exists", "exists_many"])
def test_missing_bucket_is_a_failure_not_missing_data(faulty, operation):
    io = faulty.io(bucket="no-such-bucket")
    with pytest.raises(ObjectStoreError, match="s3://no-such-bucket/.*(NoSuchBucket|bucket no-such-bucket does not)"):
        OPERATIONS[operation][0](io, [faulty.path(20240101), faulty.path(20240102)])


@pytest.mark.parametrize("operation", OPERATIONS)
def test_credentials_echoed_by_the_store_never_show(faulty, caplog, operation):
    caplog.set_level(logging.DEBUG)  # botocore logs every request, Authorization header included
    io = faulty.io(max_attempts=3)
    paths = [faulty.path(20240101), faulty.path(20240102)]
    for path in paths:
        io.write_file_wrapper(dataframe=frame(), write_path=path)
    faulty.proxy.fail(403, code="InvalidAccessKeyId", message=f"unknown key {ACCESS_KEY}, secret {SECRET_KEY}")
    faulty.proxy.requests.clear()
    call, method = OPERATIONS[operation]
    with pytest.raises(ObjectStoreError, match="HTTP 403") as raised:
        call(io, paths)
    assert faulty.proxy.requests == {method: 1}  # a refusal is not retried
    if method != "HEAD":  # an answer to a HEAD has no body to echo anything in
        assert "InvalidAccessKeyId: unknown key ***, secret ***" in str(raised.value)
    log = [logging.Formatter().format(record) for record in caplog.records]
    assert any("Authorization" in line for line in log)  # the requests were logged
    assert not [t for t in exposed(raised.value) + log if ACCESS_KEY in t or SECRET_KEY in t]


@pytest.mark.parametrize("page, pages", [(1000, 1), (2, 3)])
def test_exists_many_lists_each_folder_once(faulty, monkeypatch, page, pages):
    monkeypatch.setattr(object_store, "_LIST_PAGE", page)
    io = faulty.io()
    days = [faulty.path(day) for day in range(20240101, 20240106)]
    eth, sol = faulty.path(20240101, "ETHUSDT"), faulty.path(20240101, "SOLUSDT")
    for path in [*days, eth]:
        io.write_file_wrapper(dataframe=frame(), write_path=path)
    faulty.proxy.requests.clear()
    asked = [days[0], days[2], faulty.path(20240109), None, eth, sol, days[4], days[0]]
    assert io.exists_many(asked) == [True, True, False, False, True, False, True, True]
    # One listing of the BTCUSDT folder (in `pages` pages), one HEAD for each lone key.
    assert faulty.proxy.requests == {"GET": pages, "HEAD": 2}
    assert io.exists_many(days[:2]) == [True, True]  # the listing stops after the last key asked
    assert faulty.proxy.requests == {"GET": pages + 1, "HEAD": 2}
    with pytest.raises(ValueError, match="LOCAL_DATA_ROOT"):
        io.exists_many([days[0], "/elsewhere/x"])
    assert faulty.proxy.requests == {"GET": pages + 1, "HEAD": 2}  # refused before any request


def test_storage_url_and_exists_many_on_local_storage(faulty, tmp_path):
    local = DataIOModule(file_type=FileType.Feather)
    stored, folder = tmp_path / "local" / "20240101", tmp_path / "local"
    local.write_file_wrapper(dataframe=frame(), write_path=str(stored))
    assert local.exists_many([str(stored), None, str(folder), str(folder / "20240102")]) == [True, False, False, False]
    assert local.storage_url(os.path.relpath(stored)) == str(stored)
    assert faulty.io().storage_url(faulty.path(DATE)) == f"s3://{faulty.bucket}/{KEY}"
