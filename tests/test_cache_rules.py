"""The reader and the cache command judge the cache folder by the same rules.

Each case runs through both entry points, the reader (``get()``, ``remove_cache()``) and the
cache command (``verify``, ``clean_temp``, ``where``), and must come out the same way, so the
two cannot drift apart again.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import pandas as pd
import pytest

from halvorn.orrery_data import _light_data_core as core
from halvorn.orrery_data import light_data_cache
from halvorn.orrery_data.enums import DataSource, DataType

DATE = 20240105
TOKEN = "0123456789abcdef"
HOUR = 3600
ENTRY_POINTS = ["reader", "command"]


def age(path: Path, seconds: float) -> None:
    then = time.time() - seconds
    os.utime(path, (then, then), follow_symlinks=False)


def dead_pid() -> int:
    child = subprocess.Popen([sys.executable, "-c", ""])
    child.wait()
    return child.pid


@pytest.fixture
def day(storage, light_data, instrument):
    """One stored table, its reader and its cache file (filled by a first get())."""
    reader = light_data.CryptoMktData(DATE, instrument, DataType.Klines, data_sources=[DataSource.binance])
    reader.write(pd.DataFrame({"DateTime": pd.date_range("2024-01-05", periods=3, freq="h"), "close": [1.0, 2.0, 3.0]}))
    expected = reader.get()
    path = reader.get_path(DataSource.binance)
    cache_file = storage.cache_dir / core.cache_name(path)
    assert cache_file.is_file()
    return SimpleNamespace(reader=reader, expected=expected, folder=storage.cache_dir, cache_file=cache_file)


# ---------------------------------------------------------------------------------------------
# What stands at a cache name: kept, removed, or left alone.

def plant(kind: str, at: Path, outside: Path) -> None:
    """Put an entry of ``kind`` at the cache name ``at`` (which holds the reader's good file)."""
    if kind == "good file":
        return
    if kind == "truncated file":
        os.truncate(at, at.stat().st_size // 2)
        return
    at.unlink()
    if kind == "symbolic link":
        pd.DataFrame({"close": [9.0]}).to_feather(outside)
        at.symlink_to(outside)
    elif kind == "FIFO":
        os.mkfifo(at)
    elif kind == "directory":
        at.mkdir()
    elif kind == "empty table":
        pd.DataFrame({"close": []}).to_feather(at)
    elif kind == "no columns":
        pd.DataFrame(index=range(3)).to_feather(at)
    elif kind == "not Feather":
        at.write_bytes(b"PAR1 not an Arrow file")
    else:
        raise AssertionError(kind)


def identity(path: Path) -> tuple[int, int, int, int]:
    status = os.lstat(path)
    return status.st_ino, status.st_mode, status.st_size, status.st_mtime_ns


def reader_verdict(day) -> str:
    # A reader serves its table whatever stands at the cache name; what it did to the entry
    # shows in the folder.
    before = identity(day.cache_file)
    pd.testing.assert_frame_equal(day.reader.get(), day.expected)
    if identity(day.cache_file) == before:
        return "left alone" if day.cache_file.is_dir() else "kept"
    return "removed"  # and healed: a fresh copy was written in its place


def command_verdict(day) -> str:
    before = identity(day.cache_file)
    result = light_data_cache.verify(str(day.folder), fix=True)
    if day.cache_file.name in result.folders:
        assert result.left_bad == 0 and identity(day.cache_file) == before
        return "left alone"
    bad = {b.name: b for b in result.bad}
    if day.cache_file.name not in bad:
        assert identity(day.cache_file) == before
        return "kept"
    assert bad[day.cache_file.name].removed and not os.path.lexists(day.cache_file)
    return "removed"


@pytest.mark.parametrize("kind, verdict", [
    ("good file", "kept"),
    ("directory", "left alone"),
    ("symbolic link", "removed"),
    ("FIFO", "removed"),
    ("empty table", "removed"),
    ("no columns", "removed"),
    ("truncated file", "removed"),
    ("not Feather", "removed"),
])
@pytest.mark.parametrize("entry_point", ENTRY_POINTS)
def test_both_judge_an_entry_at_a_cache_name_alike(day, tmp_path, entry_point, kind, verdict):
    outside = tmp_path / "elsewhere.feather"
    plant(kind, day.cache_file, outside)
    age(day.cache_file, HOUR)  # so that a fresh copy in its place shows

    judged = reader_verdict(day) if entry_point == "reader" else command_verdict(day)

    assert judged == verdict
    if kind == "symbolic link":
        assert pd.read_feather(outside)["close"].tolist() == [9.0]  # the target is never touched


# ---------------------------------------------------------------------------------------------
# Writers' temporary files: which are leftovers. The host rule depends on this machine's node
# name as the reader's own C++ code reads it, so the cases run in a child process that can be
# given a node name of its own (a new UTS namespace).

SWEEP = """
import socket, sys
nodename, entry_point, folder = sys.argv[1:]
if nodename != "-":
    socket.sethostname(nodename)
from halvorn.orrery_data import _light_data_core
print(_light_data_core.host_label(), flush=True)
sys.stdin.readline()  # the parent plants the files for this host's label
if entry_point == "reader":
    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_data.light_data import CryptoMktData
    from halvorn.orrery_utils.priceable.instrument import Instrument
    CryptoMktData(%d, Instrument("binance-futures", "BTCUSDT"), DataType.Klines,
                  data_sources=[DataSource.binance]).remove_cache()
else:
    from halvorn.orrery_data.light_data_cache import clean_temp
    clean_temp(folder)
""" % DATE


def own_uts_namespace() -> bool:
    try:
        return subprocess.run(["unshare", "--uts", "true"], capture_output=True).returncode == 0
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("nodename", [
    "-",  # this machine's own
    "hôte",  # readers write "h__te": one "_" for each byte of "ô"
    "",  # readers write "unknown"
])
@pytest.mark.parametrize("entry_point", ENTRY_POINTS)
def test_both_take_the_same_temporary_files_for_leftovers(day, tmp_path, entry_point, nodename):
    if nodename != "-" and not own_uts_namespace():
        pytest.skip("giving a process its own node name needs unshare --uts (root)")
    command = [sys.executable, "-c", SWEEP, nodename, entry_point, str(day.folder)]
    child = subprocess.Popen((["unshare", "--uts"] if nodename != "-" else []) + command,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        label = child.stdout.readline().strip()
        assert label, "the child process did not start"
        if nodename != "-":
            assert label != core.host_label()

        temporary = lambda host, pid: day.folder / f"{day.cache_file.name}.tmp-{host}-{pid}-{TOKEN}"
        target = tmp_path / "target"
        target.write_bytes(b"partial")
        planted = {
            # this host, as the reader writes its name: the pid decides, not the age
            "live writer": (temporary(label, os.getpid()), 2 * HOUR, "kept"),
            "dead writer": (temporary(label, dead_pid()), 0, "removed"),
            "dead writer's link": (temporary(label, dead_pid()), 0, "removed"),
            "folder": (temporary(label, dead_pid()), 2 * HOUR, "kept"),
            # another host: the age decides
            "other host, stale": (temporary("other-host-7", 123), 2 * HOUR, "removed"),
            "other host, fresh": (temporary("other-host-7", 456), 0, "kept"),
            # hosts no reader writes
            "space in host": (temporary("no de", 12), 2 * HOUR, "kept"),
            "non-ASCII host": (temporary("hôte", 12), 2 * HOUR, "kept"),
        }
        for role, (path, seconds, _) in planted.items():
            if role == "dead writer's link":
                path.symlink_to(target)
            elif role == "folder":
                path.mkdir()
            else:
                path.write_bytes(b"partial")
            age(path, seconds)

        child.stdin.write("go\n")
        child.stdin.close()
        assert child.wait(timeout=120) == 0
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()

    left = {role: "kept" if os.path.lexists(path) else "removed" for role, (path, _, _) in planted.items()}
    assert left == {role: verdict for role, (_, _, verdict) in planted.items()}
    assert target.read_bytes() == b"partial"


# ---------------------------------------------------------------------------------------------
# The cache file of a storage path.

@pytest.mark.parametrize("symbol", ["BTCUSDT", "ÉTHUSDÜ"])
def test_where_names_the_cache_file_a_reader_fills(storage, light_data, symbol):
    from halvorn.orrery_utils.priceable.instrument import Instrument

    reader = light_data.CryptoMktData(DATE, Instrument("binance-futures", symbol), DataType.Metrics,
                                      data_sources=[DataSource.binance])
    reader.write_raw_data(pd.DataFrame({"timestamp": [1704412800000], "value": [1.0]}))
    reader.get()

    located = light_data_cache.where(DATE, f"binance-futures:{symbol}", "Metrics", "binance")

    assert [Path(w.cache_file) for w in located.locations] == list(storage.cache_dir.iterdir())
    assert located.locations[0].present
