"""light-data-cache run as a user runs it, on a real cache folder with planted entries."""

from __future__ import annotations

import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import pandas as pd
import pytest

from halvorn.orrery_data import light_data_cache
from halvorn.orrery_data.light_data_cache import cache_name_for, command_line, host_label, parse_temporary_name

HOUR, DAY = 3600, 86400
TOKEN = "0123456789abcdef"


def run(*args: str, console_script: bool = False) -> tuple[int, object]:
    """Exit status and output (parsed when it is JSON) of one run of the command."""
    command = [shutil.which("light-data-cache", path=os.path.dirname(sys.executable))] if console_script \
        else [sys.executable, "-m", "halvorn.orrery_data.light_data_cache"]
    done = subprocess.run([*command, *args], capture_output=True, text=True, timeout=120)
    assert done.returncode >= 0, done.stderr
    if done.returncode == 2:  # a usage error: the message is on stderr
        return 2, done.stderr
    return done.returncode, json.loads(done.stdout) if "--json" in args else done.stdout


def run_here(*args: str) -> tuple[int, str]:
    """Exit status and error output of the command run in this process: for the many usage
    errors, which need no process of their own (a run of the command starts the interpreter anew)."""
    errors = io.StringIO()
    with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(errors):
        try:
            status = command_line.main(list(args))
        except SystemExit as exit:  # argparse's own usage errors
            status = exit.code if isinstance(exit.code, int) else 1
    return status, errors.getvalue()


def dead_pid() -> int:
    child = subprocess.Popen([sys.executable, "-c", ""])
    child.wait()
    return child.pid


def age(path: Path, seconds: float) -> None:
    then = time.time() - seconds
    os.utime(path, (then, then), follow_symlinks=False)


@pytest.fixture
def cache(tmp_path: Path) -> SimpleNamespace:
    """A cache folder holding one entry of every kind the command must tell apart."""
    folder = tmp_path / "cache"
    folder.mkdir()
    name = lambda key: folder / cache_name_for(key)
    good_new, good_old = name("good-new"), name("good-old")
    pd.DataFrame({"price": [1.0, 2.0, 3.0], "size": [4, 5, 6]}).to_feather(good_new)
    pd.DataFrame({"price": range(1000)}).to_feather(good_old, chunksize=300)  # four record batches
    age(good_old, 10 * DAY)
    empty, truncated = name("empty"), name("truncated")
    pd.DataFrame({"price": []}).to_feather(empty)
    pd.DataFrame({"price": range(1000)}).to_feather(truncated)
    os.truncate(truncated, os.path.getsize(truncated) // 2)
    target = tmp_path / "elsewhere.feather"  # outside the folder: must never be touched
    pd.DataFrame({"price": [9.0]}).to_feather(target)
    link = name("link")
    link.symlink_to(target)
    folder_entry = name("folder")
    folder_entry.mkdir()
    temporary = lambda host, pid: folder / f"{good_new.name}.tmp-{host}-{pid}-{TOKEN}"
    dead, live = temporary(host_label(), dead_pid()), temporary(host_label(), os.getpid())
    stale, fresh = temporary("other-host-7", 123), temporary("other-host-7", 456)
    for each in (dead, live, stale, fresh):
        each.write_bytes(b"partial")
    age(stale, 2 * HOUR)
    foreign = [folder / "notes.txt", folder / f"{good_new.name}.tmp-4242-99", folder / (good_new.name.upper()),
               # bytes that are not UTF-8, in a cache name and in a temporary file's host
               folder / os.fsdecode(b"\xff" * 64 + b".feather"),
               folder / os.fsdecode(os.fsencode(good_new.name) + b".tmp-h\xf4te-12-" + TOKEN.encode())]
    for each in foreign:
        each.write_text("not the reader's")
        age(each, 2 * HOUR)
    return SimpleNamespace(
        folder=folder, good_new=good_new, good_old=good_old, empty=empty, truncated=truncated,
        link=link, target=target, folder_entry=folder_entry, dead=dead, live=live, stale=stale,
        fresh=fresh, foreign=foreign)


def names(folder: Path) -> set[str]:
    return set(os.listdir(folder))


def test_info_and_ls_describe_the_folder_without_changing_it(cache, tmp_path):
    before, last_use = names(cache.folder), cache.good_old.stat().st_atime
    through_link = tmp_path / "link-to-cache"  # a configured folder may itself be a link
    through_link.symlink_to(cache.folder)

    status, summary = run("info", "--json", "--cache-dir", str(through_link))
    assert status == 0
    regular = [cache.good_new, cache.good_old, cache.empty, cache.truncated]
    assert (summary["files"], summary["bytes"]) == (4, sum(p.stat().st_size for p in regular))
    assert summary["oldest"]["name"] == cache.good_old.name
    assert summary["oldest"]["age_seconds"] > 9 * DAY
    oldest, newest = summary["oldest"], summary["newest"]
    assert (oldest["rows"], oldest["columns"], oldest["storage_path"]) == (1000, 1, None)  # written by pandas
    assert (newest["name"], newest["rows"], newest["columns"]) == (cache.truncated.name, None, None)
    assert (summary["leftovers"], summary["leftover_bytes"], summary["in_progress"]) == (2, 14, 2)

    status, listing = run("ls", "--json", "--sort", "age", "--limit", "3", "--cache-dir", str(through_link))
    assert status == 0
    shapes = {f["name"]: (f["rows"], f["columns"]) for f in listing["files"]}
    assert [f["name"] for f in listing["files"]][0] == cache.good_old.name
    assert len(shapes) == 3 and shapes[cache.good_old.name] == (1000, 1)
    status, listing = run("ls", "--json", "--sort", "size", "--cache-dir", str(cache.folder))
    shapes = {f["name"]: (f["rows"], f["columns"]) for f in listing["files"]}
    assert shapes == {cache.good_new.name: (3, 2), cache.good_old.name: (1000, 1),
                      cache.empty.name: (0, 1), cache.truncated.name: (None, None)}
    assert names(cache.folder) == before
    assert cache.good_old.stat().st_atime == last_use  # looking is not using


@pytest.mark.parametrize("fix", [False, True])
def test_verify_reports_bad_entries_and_fix_removes_all_but_folders(cache, fix):
    before, last_use = names(cache.folder), cache.good_old.stat().st_atime
    status, report = run("verify", "--json", "--cache-dir", str(cache.folder), *(["--fix"] * fix))

    assert status == (0 if fix else 1)  # a folder at a cache name is left alone by design: not left bad
    assert report["checked"] == 6
    bad = {b["name"]: b["removed"] for b in report["bad"]}
    fixable = {cache.empty.name, cache.truncated.name, cache.link.name}
    assert bad == {n: fix for n in fixable}
    assert report["folders"] == [cache.folder_entry.name]
    assert report["left_bad"] == (0 if fix else 3)
    assert names(cache.folder) == (before - fixable if fix else before)
    assert cache.target.exists()  # the link went, not what it points to
    assert cache.good_old.stat().st_atime == last_use  # reading to check is not using


@pytest.mark.parametrize("dry_run", [False, True])
def test_clean_temp_removes_only_the_leftovers_of_dead_writers(cache, dry_run):
    before = names(cache.folder)
    status, report = run("clean-temp", "--json", "--cache-dir", str(cache.folder), *(["--dry-run"] * dry_run))

    assert status == 0
    leftovers = {cache.dead.name, cache.stale.name}
    assert {r["name"] for r in report["removed"]} == leftovers
    assert report["remaining_files"] == 2
    assert names(cache.folder) == (before if dry_run else before - leftovers)


@pytest.mark.parametrize("options, removed", [
    (["--older-than", "2d"], {"good_old"}),
    (["--max-size", "0"], {"good_new", "good_old", "empty", "truncated"}),
    # the least recently used go first until what is left fits
    (["--max-size", "MAX_MINUS_ONE"], {"good_old"}),
])
@pytest.mark.parametrize("dry_run", [False, True])
def test_prune_removes_old_and_least_recently_used_cache_files(cache, options, removed, dry_run):
    files = [cache.good_new, cache.good_old, cache.empty, cache.truncated]
    total = sum(p.stat().st_size for p in files)
    options = [str(total - 1) if o == "MAX_MINUS_ONE" else o for o in options]
    before = names(cache.folder)

    status, report = run("prune", "--json", "--cache-dir", str(cache.folder), *options, *(["--dry-run"] * dry_run))

    assert status == 0
    gone = {getattr(cache, key).name for key in removed}
    assert {r["name"] for r in report["removed"]} == gone
    assert names(cache.folder) == (before if dry_run else before - gone)


def test_clear_needs_yes_and_spares_everything_not_a_cache_file(cache):
    before = names(cache.folder)
    status, message = run("clear", "--cache-dir", str(cache.folder), console_script=True)
    assert status == 2 and "--yes" in message
    assert names(cache.folder) == before

    status, report = run("--cache-dir", str(cache.folder), "clear", "--yes", "--json", console_script=True)

    assert status == 0
    left = {cache.folder_entry.name, cache.dead.name, cache.live.name, cache.stale.name, cache.fresh.name,
            *(p.name for p in cache.foreign)}
    assert names(cache.folder) == left
    assert cache.target.exists()


def test_where_says_whether_storage_holds_the_table(storage, light_data, instrument, monkeypatch):
    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_utils.data_IO.data_IO_module import DataIOModule

    reader = light_data.CryptoMktData(20240105, instrument, DataType.Metrics, data_sources=[DataSource.binance])
    reader.write_raw_data(pd.DataFrame({"timestamp": [1704412800000], "value": [1.0]}))
    reader.get()

    status, found = run("where", "2024-01-05", "binance-futures:BTCUSDT", "Metrics", "--json")

    assert status == 0 and found["date"] == 20240105
    assert [(w["source"], w["stored"], w["cache_entry"]) for w in found["locations"]] == [
        ("tardis", False, "absent"), ("binance", True, "regular file")]
    binance = found["locations"][1]
    assert binance["storage_path"] == binance["url"] == reader.get_path(DataSource.binance)
    assert os.path.dirname(binance["cache_file"]) == str(storage.cache_dir)

    # A storage module that can name its objects gives their URL.
    monkeypatch.setattr(DataIOModule, "storage_url", lambda self, path: "s3://bucket/" + os.path.basename(path),
                        raising=False)
    located = light_data_cache.where("20240105", "binance-futures:BTCUSDT", "Metrics", "binance")
    assert [w.url for w in located.locations] == ["s3://bucket/20240105"]


def test_where_fails_when_the_object_store_cannot_be_reached(storage, monkeypatch):
    monkeypatch.setenv("HALVORN_S3_ACCESS_KEY", "AKIATESTACCESS0001")
    monkeypatch.setenv("HALVORN_S3_SECRET_KEY", "test-secret-never-shown")
    storage.config_path.write_text(storage.config_path.read_text().replace("use_minio_storage = false", (
        "use_minio_storage = true\n[object_store]\nendpoint = http://127.0.0.1:1\nbucket = market-data\n"
        "connect_timeout = 1\nmax_attempts = 1")))

    status, output = run("where", "20240105", "binance-futures:BTCUSDT", "Metrics")

    assert status == 1 and output == ""  # not "not stored": nothing is known about the table
    done = subprocess.run([sys.executable, "-m", "halvorn.orrery_data.light_data_cache", "where", "20240105",
                           "binance-futures:BTCUSDT", "Metrics"], capture_output=True, text=True, timeout=120)
    assert done.stderr.count("\n") == 1 and "127.0.0.1:1" in done.stderr and "never-shown" not in done.stderr


def test_files_written_by_readers_name_the_storage_path_they_hold(storage, light_data, instrument):
    from halvorn.orrery_data.enums import DataSource, DataType

    paths = {}
    for date in (20240105, 20240106):
        reader = light_data.CryptoMktData(date, instrument, DataType.Klines, data_sources=[DataSource.binance])
        reader.write(pd.DataFrame({"DateTime": pd.date_range(str(date), periods=200_000, freq="s"),
                                   "close": range(200_000)}))
        reader.get()
        path = reader.get_path(DataSource.binance)
        paths[cache_name_for(path)] = path
    older = storage.cache_dir / cache_name_for("written before paths were recorded")
    pd.DataFrame({"close": [1.0]}).to_feather(older)
    paths[older.name] = None
    # A damaged body under an intact footer: a reader's large file, whose middle is column data
    # (the middle of the small one is a record batch header, which leaves its rows unknown).
    rotten = storage.cache_dir / min(name for name, path in paths.items() if path is not None)
    with open(rotten, "r+b") as handle:
        handle.seek(rotten.stat().st_size // 2)
        handle.write(b"\xff" * 64)

    status, listing = run("ls", "--json", "--cache-dir", str(storage.cache_dir))
    assert status == 0
    assert {f["name"]: f["storage_path"] for f in listing["files"]} == paths
    assert {f["rows"] for f in listing["files"]} == {200_000, 1}
    status, report = run("verify", "--json", "--cache-dir", str(storage.cache_dir))
    assert status == 1 and [(b["name"], b["storage_path"]) for b in report["bad"]] == [(rotten.name, paths[rotten.name])]
    status, plan = run("prune", "--dry-run", "--max-size", "0", "--json", "--cache-dir", str(storage.cache_dir))
    assert status == 0 and {r["name"]: r["storage_path"] for r in plan["removed"]} == paths


@pytest.mark.parametrize("meanwhile", ["replaced", "removed"])
def test_verify_does_not_count_an_entry_another_process_changed_as_left_bad(cache, monkeypatch, meanwhile):
    read_feather, bad_file = pd.read_feather, cache.empty.stat().st_ino
    healthy = cache.folder.parent / "healthy.feather"
    pd.DataFrame({"price": [1.0]}).to_feather(healthy)

    def read_then_change(handle):
        # A reader meets the bad file just after verify has read it, and heals or removes it.
        table = read_feather(handle)
        if os.fstat(handle.fileno()).st_ino == bad_file:
            os.replace(healthy, cache.empty) if meanwhile == "replaced" else cache.empty.unlink()
        return table

    monkeypatch.setattr(pd, "read_feather", read_then_change)
    result = light_data_cache.verify(str(cache.folder), fix=True)

    changed = [b for b in result.bad if b.changed]
    assert [b.name for b in changed] == [cache.empty.name] and not changed[0].removed
    assert result.left_bad == 0
    assert cache.empty.exists() == (meanwhile == "replaced")


class CutBeforeItsData:
    """A cache file's handle that truncates the file in place to half its size when a read
    reaches into that first half (past the footer, which is at the end): another host cutting
    a shared file short while it is read."""

    def __init__(self, handle, path: Path) -> None:
        self._handle, self._path, self._size = handle, path, path.stat().st_size

    def _cut(self) -> None:
        if self._size and self._handle.tell() < self._size // 2:
            os.truncate(self._path, self._size // 2)
            self._size = 0

    def read(self, size: int = -1) -> bytes:
        self._cut()
        return self._handle.read(size)

    def readinto(self, buffer) -> int | None:
        self._cut()
        return self._handle.readinto(buffer)

    def __getattr__(self, name: str):
        return getattr(self._handle, name)


@pytest.mark.parametrize("operation", ["ls", "verify"])
def test_a_cache_file_cut_short_while_read_is_reported_not_fatal(cache, monkeypatch, operation):
    opened, size = light_data_cache.cache_folder.Folder.open, cache.good_old.stat().st_size

    @contextlib.contextmanager
    def open_then_cut(folder, name):
        with opened(folder, name) as (handle, status):
            yield (CutBeforeItsData(handle, cache.folder / name) if name == cache.good_old.name else handle), status

    monkeypatch.setattr(light_data_cache.cache_folder.Folder, "open", open_then_cut)
    if operation == "ls":
        listed = {f.name: f for f in light_data_cache.ls(str(cache.folder)).files}
        # read from its start, the file ends before its footer: nothing of it is known
        assert (listed[cache.good_old.name].rows, listed[cache.good_old.name].columns) == (None, None)
        assert listed[cache.good_new.name].rows == 3
    else:
        bad = {b.name: b.reason for b in light_data_cache.verify(str(cache.folder)).bad}
        assert bad[cache.good_old.name].startswith("unreadable: ")
        assert cache.good_new.name not in bad
    assert cache.good_old.stat().st_size == size // 2  # cut while it was read, not before


@pytest.mark.parametrize("args", [
    ["prune"],
    ["prune", "--max-size", "10X"],
    ["prune", "--max-size", "1e400G"],
    ["prune", "--max-size", "99999999999999999999T"],
    ["prune", "--max-size", "nanG"],
    ["prune", "--max-size", "9" * 400 + "G"],
    ["prune", "--older-than", "3"],
    ["prune", "--older-than", "9" * 400 + "d"],
    ["ls", "--limit", "0"],
    ["clear", "--yes", "--cache-dir", ""],  # not the current folder, nor the configured one
    ["where", "20240105", "BTCUSDT", "Metrics"],
    ["where", "20240105", "binance-futures:BTCUSDT", "Metric"],
    ["where", "20241305", "binance-futures:BTCUSDT", "Metrics"],
    ["where", "2024-13-05", "binance-futures:BTCUSDT", "Metrics"],
    ["where", "2024-1-5", "binance-futures:BTCUSDT", "Metrics"],
])
def test_usage_errors_exit_2_and_touch_nothing(storage, cache, args):
    assert storage.cache_dir == cache.folder  # the configured folder is the planted one
    before = names(cache.folder)
    status, message = run_here("--cache-dir", str(cache.folder), *args)
    assert status == 2
    assert "Traceback" not in message and ": error: " in message.splitlines()[-1]
    assert names(cache.folder) == before


@pytest.mark.parametrize("text, size", [
    ("1234", 1234), ("100B", 100), ("500M", 500 * 2**20), ("10g", 10 * 2**30), ("1.5GiB", 3 * 2**29),
    ("1G", 2**30), ("1GB", 2**30), ("1 gib", 2**30), ("128MB", 128 * 2**20), ("64 KiB", 64 * 2**10),
    ("2T", 2 * 2**40), ("1P", 2**50),
])
def test_a_size_means_the_same_bytes_to_prune_and_to_dask(text, size):
    from halvorn.orrery_data._light_data_batch.dask_frames import partition_bytes

    assert light_data_cache.parse_size(text) == partition_bytes(text) == size


@pytest.mark.parametrize("name, fields", [
    (f"{'a' * 64}.feather.tmp-build7.example-12345-{TOKEN}", ("build7.example", 12345)),
    (f"{'a' * 64}.feather.tmp-node-1-2-3-{TOKEN}", ("node-1-2", 3)),  # pid is the last number
    (f"{'a' * 64}.feather.tmp-h__te-12-{TOKEN}", ("h__te", 12)),  # node name "hôte", one "_" a byte
    (f"{'a' * 64}.feather.tmp-unknown-12-{TOKEN}", ("unknown", 12)),  # an empty node name
    (f"{'a' * 64}.feather.tmp-node-012-{TOKEN}", None),  # no leading zero in a pid
    (f"{'a' * 64}.feather.tmp-node-0-{TOKEN}", None),
    (f"{'a' * 64}.feather.tmp-no de-12-{TOKEN}", None),
    (f"{'a' * 64}.feather.tmp-hôte-12-{TOKEN}", None),  # never written: readers replace each byte
    (f"{'a' * 64}.feather.tmp--12-{TOKEN}", None),  # no host
    (f"{'a' * 64}.feather.tmp-node-12-{TOKEN[:-1]}g", None),  # the random part is hex
    (f"{'a' * 64}.feather.tmp-node-12-", None),
    (f"{'a' * 63}.feather.tmp-node-12-{TOKEN}", None),
    (f"{'a' * 64}.feather.tmp-12-{TOKEN}", None),  # no host
])
def test_temporary_names_parse_from_the_right_and_strictly(name, fields):
    parsed = parse_temporary_name(name)
    assert (parsed and (parsed.host, parsed.pid)) == fields
