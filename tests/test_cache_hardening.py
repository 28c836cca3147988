"""A cache folder that others can write into, that is full, or that crashed writers left
leftovers in: a read that storage can serve still returns the stored table."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest
from pandas.testing import assert_frame_equal

from halvorn.orrery_data import _light_data_core

from support import CACHE_NAME, DATE, OTHER, TARDIS, cache_files, cache_path

# The host field of this machine's temporary file names, as the reader writes it.
HOST = _light_data_core.host_label()
STORED = pd.DataFrame({"DateTime": np.arange(50, dtype="int64"), "price": np.linspace(1.0, 2.0, 50)})


@pytest.fixture
def reader(light_data, storage, instrument):
    reader = light_data.CryptoMktData(DATE, instrument, OTHER, data_sources=[TARDIS])
    path = reader.get_path(data_source=TARDIS)
    reader.io_obj.write_file_wrapper(dataframe=STORED, write_path=path)
    reader.cache_file = cache_path(storage.cache_dir, path)
    os.makedirs(storage.cache_dir)
    return reader


def dead_pid() -> int:
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


def served_from_storage(reader, logs) -> None:
    read_before = len(logs())
    assert_frame_equal(reader.get(), STORED.set_index("DateTime"))
    assert not any("read from cache" in message for _, message in logs()[read_before:])


@pytest.mark.parametrize("kind", ["symlink_to_other_data", "dangling_symlink", "fifo"])
def test_only_regular_files_are_read_and_others_are_removed_not_followed(reader, tmp_path, logs, kind):
    planted = tmp_path / "planted.feather"
    if kind == "fifo":
        os.mkfifo(reader.cache_file)
    else:
        if kind == "symlink_to_other_data":
            STORED.assign(price=-1.0).to_feather(planted)
        os.symlink(planted, reader.cache_file)

    done = threading.Thread(target=served_from_storage, args=(reader, logs), daemon=True)
    done.start()
    done.join(timeout=30)
    assert not done.is_alive(), "the read hung on the cache entry"

    assert any(message.startswith(f"Error reading cache {reader.cache_file}") for _, message in logs())
    assert_frame_equal(pd.read_feather(reader.cache_file), STORED)  # a healthy copy replaced the entry
    assert os.path.isfile(reader.cache_file) and not os.path.islink(reader.cache_file)
    assert os.path.exists(planted) == (kind == "symlink_to_other_data")  # the link's target is untouched


def test_directory_at_the_cache_name_is_left_alone_and_bypassed(reader, logs):
    os.mkdir(reader.cache_file)
    for _ in range(2):
        served_from_storage(reader, logs)
    assert os.path.isdir(reader.cache_file) and os.listdir(reader.cache_file) == []
    assert any(message.startswith(f"Error writing cache {reader.cache_file}") for _, message in logs())


def test_symlinked_cache_folder_keeps_working(light_data, storage, instrument, tmp_path, logs):
    real = tmp_path / "real_cache"
    real.mkdir()
    os.rmdir(storage.cache_dir) if storage.cache_dir.exists() else None
    os.symlink(real, storage.cache_dir)
    reader = light_data.CryptoMktData(DATE, instrument, OTHER, data_sources=[TARDIS])
    reader.io_obj.write_file_wrapper(dataframe=STORED, write_path=reader.get_path(data_source=TARDIS))

    reader.get()
    assert_frame_equal(reader.get(), STORED.set_index("DateTime"))
    assert any("read from cache" in message for _, message in logs())
    assert [CACHE_NAME.match(name) is not None for name in os.listdir(real)] == [True]


def test_full_cache_disk_costs_no_read(reader, storage):
    # A file-size limit makes every write past 1 KiB fail with EFBIG, as a full disk fails them.
    script = textwrap.dedent(f"""
        import logging, resource, signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))
        logging.basicConfig(level=logging.ERROR, format="%(message)s")
        from halvorn.orrery_data.enums import DataSource, DataType
        from halvorn.orrery_data.light_data import CryptoMktData
        from halvorn.orrery_utils.priceable.instrument import Instrument
        reader = CryptoMktData({DATE}, Instrument(exchange="{reader.instrument.exchange}",
                               symbol="{reader.instrument.symbol}"), DataType.Klines, data_sources=[DataSource.tardis])
        print(len(reader.get()))
    """)
    env = {**os.environ, "HALVORN_CONFIG": str(storage.config_path)}
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, f"{len(STORED)}\n"), done.stderr
    assert f"Error writing cache {reader.cache_file}, Exception = [Errno 27] File too large" in done.stderr
    assert cache_files(storage.cache_dir) == []  # nor any temporary file


def test_leftovers_of_crashed_writers_are_reclaimed_and_live_ones_kept(reader, storage, tmp_path):
    name = os.path.basename(reader.cache_file)
    target = tmp_path / "outside"
    target.write_text("keep me")
    hour_ago = time.time() - 3700
    planted = {
        f"{name}.tmp-{HOST}-{dead_pid()}-0123456789abcdef": False,  # this host, writer gone
        f"{name}.tmp-{HOST}-{os.getpid()}-0123456789abcdef": True,  # this host, writer alive
        f"{name}.tmp-other-host.example-1-00000000000000aa": False,  # another host's, old
        f"{name}.tmp-other-host.example-2-00000000000000bb": True,  # another host's, recent
        f"{name}.tmp-{HOST}-{dead_pid()}-fedcba9876543210": False,  # a link: removed itself
        f"{name}.tmp-{HOST}-{dead_pid()}-tooshort": True,  # not a name the reader makes
        f"{'0' * 64}.feather.tmp-{HOST}-{dead_pid()}-0123456789abcdef": True,  # another key's
    }
    for leftover in planted:
        path = storage.cache_dir / leftover
        if "fedcba" in leftover:
            os.symlink(target, path)
        else:
            path.write_bytes(b"half a table")
        if "-1-" in leftover:
            os.utime(path, (hour_ago, hour_ago))

    reader.get()  # a cold read writes the cache file
    kept = {leftover for leftover, keep in planted.items() if keep}
    assert set(cache_files(storage.cache_dir)) == kept | {name}
    assert target.read_text() == "keep me"

    for leftover in kept:
        (storage.cache_dir / leftover).unlink()
    (storage.cache_dir / f"{name}.tmp-{HOST}-{dead_pid()}-0123456789abcdef").write_bytes(b"")
    reader.remove_cache()  # removing a cache file reclaims too
    assert cache_files(storage.cache_dir) == []


def test_a_cache_file_removed_by_someone_else_counts_as_removed(light_data, reader, logs, monkeypatch):
    reader.get()

    class RacedOs:  # another reader removes the file between the look and the removal
        def __getattr__(self, name):
            return getattr(os, name)

        @staticmethod
        def remove(path):
            os.remove(path)
            raise FileNotFoundError(2, "No such file or directory", path)

    monkeypatch.setattr(light_data, "os", RacedOs())
    reader.remove_cache()
    assert [level for level, _ in logs()].count("ERROR") == 0
    assert cache_files(reader.cache_dir) == []


def test_writers_killed_mid_write_never_cost_a_read(light_data, storage, instrument):
    big = pd.DataFrame({"DateTime": np.arange(1_000_000, dtype="int64"), "price": np.random.rand(1_000_000)})
    reader = light_data.CryptoMktData(DATE, instrument, OTHER, data_sources=[TARDIS])
    reader.io_obj.write_file_wrapper(dataframe=big, write_path=reader.get_path(data_source=TARDIS))
    loop = textwrap.dedent(f"""
        import logging
        logging.disable(logging.CRITICAL)
        from halvorn.orrery_data.enums import DataSource, DataType
        from halvorn.orrery_data.light_data import CryptoMktData
        from halvorn.orrery_utils.priceable.instrument import Instrument
        reader = CryptoMktData({DATE}, Instrument(exchange="{instrument.exchange}", symbol="{instrument.symbol}"),
                               DataType.Klines, data_sources=[DataSource.tardis])
        while True:  # cold and warm reads of one key, racing the other processes
            reader.remove_cache()
            for _ in range(2):
                table = reader.get()
                assert (len(table), table["price"].sum()) == ({len(big)}, {float(big["price"].sum())!r})
                print("ok", flush=True)
    """)
    env = {**os.environ, "HALVORN_CONFIG": str(storage.config_path)}
    processes = [subprocess.Popen([sys.executable, "-c", loop], env=env, stdout=subprocess.PIPE, text=True)
                 for _ in range(5)]
    try:
        for process in processes:  # the first two keep reading; the others are killed mid-read or mid-write
            assert process.stdout.readline() == "ok\n"
        time.sleep(0.5)
        for process in processes[2:]:
            time.sleep(np.random.uniform(0, 0.3))
            process.send_signal(signal.SIGKILL)
    finally:
        for process in processes:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
            process.communicate(timeout=60)
    assert {process.returncode for process in processes} <= {-signal.SIGTERM, -signal.SIGKILL}  # none failed
    # Whatever the killed writers left is reclaimed by the next write.
    reader.remove_cache()
    assert_frame_equal(reader.get(), big.set_index("DateTime"))
    assert all(CACHE_NAME.match(name) for name in cache_files(storage.cache_dir))
