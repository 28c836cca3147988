"""Many cache files read at once by the native reads: the tables pyarrow reads, or None."""

from __future__ import annotations

import os

import pyarrow as pa
import pyarrow.feather as feather
import pyarrow.ipc as ipc
import pytest

from halvorn.orrery_data import _light_data_arrow as native


def cache_bytes(compression: str, rows: int) -> pa.Buffer:
    # More rows than one record batch holds (to_feather writes 64K rows a batch), with the schema
    # metadata a cache file carries.
    table = pa.table({"DateTime": pa.array(range(rows), pa.timestamp("ns", tz="UTC")),
                      "Close": pa.array([float(i) for i in range(rows)]),
                      "Symbol": pa.array(["BTCUSDT", None] * (rows // 2) + ["x"] * (rows % 2))})
    table = table.replace_schema_metadata({b"light_data.storage_path": b"/store/a.feather"})
    sink = pa.BufferOutputStream()
    feather.write_feather(table, sink, compression=compression)
    return sink.getvalue()


@pytest.mark.parametrize("threads", [1, 2, 8])
@pytest.mark.parametrize("compression", ["lz4", "uncompressed", "zstd"])
def test_every_file_is_read_as_pyarrow_reads_it_or_gives_none(compression, threads):
    whole = [cache_bytes(compression, rows) for rows in (1, 70_001, 3)]
    cut = whole[1].slice(0, whole[1].size // 2)  # a file cut short: its footer is gone
    damaged = pa.py_buffer(whole[2].to_pybytes()[:-40] + bytes(40))
    files = [whole[0], None, cut, whole[1], pa.py_buffer(b""), damaged, whole[2]]
    tables = native.start_reads(files, threads).tables()
    expected = [ipc.open_file(file).read_all() if file is whole[0] or file is whole[1] or file is whole[2] else None
                for file in files]
    assert [table is None for table in tables] == [table is None for table in expected]
    for table, want in zip(tables, expected):
        if want is not None:
            assert table.equals(want, check_metadata=True)
            assert table.column("Close").num_chunks == want.column("Close").num_chunks


def test_reads_are_taken_once_and_refuse_what_is_not_a_file():
    reads = native.start_reads([cache_bytes("lz4", 2)])
    assert len(reads.tables()) == 1
    with pytest.raises(RuntimeError, match="already taken"):
        reads.tables()
    with pytest.raises(TypeError, match=r"files\[1\] must be a path \(str\), a pyarrow.Buffer or None, not bytes"):
        native.start_reads([None, b"x"])
    with pytest.raises(ValueError, match="threads must be at least 1, got 0"):
        native.start_reads([], threads=0)
    with pytest.raises(TypeError):
        native.CacheTableReads()


def test_the_module_names_the_pyarrow_it_was_built_against():
    assert native.PYARROW_VERSION == pa.__version__


def test_a_selection_reads_only_files_of_the_names_given():
    file, other = cache_bytes("lz4", 5), cache_bytes("lz4", 4)
    renamed = pa.BufferOutputStream()
    feather.write_feather(ipc.open_file(other).read_all().rename_columns(["DateTime", "Open", "Symbol"]), renamed)
    names = ["DateTime", "Close", "Symbol"]
    tables = native.start_reads([file, renamed.getvalue(), other], names=names, fields=[2, 0]).tables()
    assert tables[1] is None
    for table, source in ((tables[0], file), (tables[2], other)):
        want = ipc.open_file(source, options=ipc.IpcReadOptions(included_fields=[2, 0])).read_all()
        assert table.column_names == ["DateTime", "Symbol"] and table.equals(want, check_metadata=True)
    with pytest.raises(TypeError, match="names and fields go together"):
        native.start_reads([file], names=names)
    with pytest.raises(ValueError, match=r"fields\[0\] must be a field's position, got -1"):
        native.start_reads([file], names=names, fields=[-1])


@pytest.mark.parametrize("entry", ["file", "symlink", "directory", "fifo", "missing", "empty"])
def test_a_path_is_opened_as_the_cache_opens_its_entries(tmp_path, entry):
    target = tmp_path / "table.feather"
    target.write_bytes(cache_bytes("uncompressed", 3).to_pybytes())
    path = tmp_path / "entry"
    {"file": lambda: path.write_bytes(target.read_bytes()), "symlink": lambda: path.symlink_to(target),
     "directory": path.mkdir, "fifo": lambda: os.mkfifo(path), "missing": lambda: None,
     "empty": lambda: path.write_bytes(b"")}[entry]()
    table, = native.start_reads([str(path)], 2).tables()  # a FIFO must not block the read
    if entry == "file":
        assert table.equals(ipc.open_file(str(target)).read_all(), check_metadata=True)
    else:
        assert table is None  # left to get()'s own read, which says what is wrong
