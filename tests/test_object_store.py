"""Readers on the object-store back end, against a real S3-API server (moto) on loopback."""

from __future__ import annotations

import itertools
import logging
import os
import subprocess
import sys
import textwrap
import time
import traceback
from types import SimpleNamespace

import moto.server  # noqa: F401 - the S3 test server; missing, these tests must fail, not vanish
import pandas as pd
import pyarrow.fs as pafs
import pytest

from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_utils.data_IO.data_IO_module import (
    DataIOModule,
    FileType,
    ObjectStoreConfigError,
    ObjectStoreError,
)
from support import S3Server, cache_files, create_bucket, frame

DATE = 20240105
ACCESS_KEY = "AKIATESTACCESS0001"
SECRET_KEY = "test-secret-Zq9-never-log-me"
KEY = "processed_data/binance/Klines/binance-futures/BTCUSDT/20240105"
_buckets = itertools.count()

@pytest.fixture(scope="module")
def server():
    server = S3Server()
    yield server.address
    server.stop()


def write_config(path, root, cache_dir, address, bucket, env_switch="true"):
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
        connect_timeout = 1
        max_attempts = 1
        """))


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


def test_object_replaced_during_a_read_is_read_again_whole(light_data, instrument, store):
    """A larger object landing between the size probe and the GET must not come back cut short."""
    reader = store.on(store.a, light_data, instrument, file_type=FileType.CSV)
    reader.write_raw_data(frame(rows=2))
    longer = frame(rows=50)
    real_fs = reader.io_obj._storage._fs

    class Racing:
        def __getattr__(self, name):
            return getattr(real_fs, name)

        def open_input_file(self, location):
            handle = real_fs.open_input_file(location)  # size probed here
            if not hasattr(self, "raced"):
                self.raced = True
                store.on(store.b, light_data, instrument, file_type=FileType.CSV).write_raw_data(longer)
            return handle

    reader.io_obj._storage._fs = Racing()
    pd.testing.assert_frame_equal(reader.get_raw_data(), longer)


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
    reader.io_obj._storage._fs = Leaky()
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
