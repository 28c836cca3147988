// The cache file's format, in one place: a Feather (Arrow IPC) file holding
// one table as pandas' DataFrame.to_feather writes it, with the storage path
// it copies and, when known, the identity of the stored table in its schema
// metadata (reading it back with pandas ignores both entries). Everything
// that writes, reads, maps, describes or judges a cache file goes through
// here: get(), the range reads and the cache command alike. Where the file
// sits and how it is opened, written into place and removed is the cache
// folder's concern (local_cache.hpp).
#pragma once

#include "owned_ref.hpp"
#include "scoped_resources.hpp"

namespace light_data {

// The schema metadata key of the storage path.
inline constexpr char storage_path_key[] = "light_data.storage_path";
// The schema metadata key of the identity of the stored table a cache file
// copies (its ETag, or size and modification time), as the storage module
// named it when the copy was read; absent when unknown.
inline constexpr char storage_identity_key[] = "light_data.storage_identity";

// How a cache file's buffers are compressed. `lz4` is what to_feather writes
// (LZ4 frames when Arrow has them, else none); `none` leaves every buffer as
// it is in memory, so that a reader can map the file's columns uncopied.
enum class CacheCompression { lz4, none, zstd };
inline constexpr int cache_compression_count = 3;

// The compression named `name` ("lz4", "none" or "zstd"); ValueError otherwise.
int cache_compression_named(PyObject* name, CacheCompression& compression);

// Remembers pandas' own DataFrame.to_feather, so that a table whose type
// writes itself otherwise (a substitute bound over it, a table of another
// kind) is written by its own method. Run at module initialisation; -1 on
// error.
int remember_pandas_writer();

// ---------------------------------------------------------------------------
// Writing

// Writes `df` into the binary file object `file` as a cache file. A pandas
// table is converted and written as to_feather does it (record batches of 64K
// rows, compressed as `compression` says: `lz4` is to_feather's own choice),
// plus `storage_path` in the schema metadata, and `identity` when it is a str
// (NULL: unknown); anything else through its own to_feather(file). -1 with an
// exception set.
int write_cache_table(PyObject* df, PyObject* file, PyObject* storage_path, PyObject* identity,
                      CacheCompression compression = CacheCompression::lz4);

// write_cache_table into the new file open at `fd`, then flushed and closed
// (the descriptor too: some file systems report a failed write only then).
// `shown` names the file in an error. -1 with an exception set.
int write_cache_file_at(FileDescriptor& fd, PyObject* shown, PyObject* df, PyObject* storage_path,
                        PyObject* identity, CacheCompression compression);

// The Arrow table `table` written into `file` as a cache file (as the
// `lz4` form above writes one), with `metadata` (a dict of bytes) as its
// schema metadata: the copy of a stored file already decoded into Arrow.
int write_cache_arrow(PyObject* table, PyObject* file, PyObject* metadata);

// ---------------------------------------------------------------------------
// Reading and judging

// The table in the cache file `file` (a binary file object), read as get()
// reads it: pandas.read_feather(file). NULL with the reader's error set.
Ref read_cache_table(PyObject* file);

// read_cache_table on the file open at `fd`, which stays open.
Ref read_cache_table_at(const FileDescriptor& fd);

// Whether a table read from a cache file may be served: 1 when it has rows
// and columns, 0 when it is empty (an empty cached table counts as no cached
// copy, and its file as a bad one), -1 on error.
int is_servable(PyObject* df);

// Why the cache file `file` cannot be served, read as get() reads it: "
// unreadable: <error type>: <message>" or "empty table"; Py_None when it can.
// Exceptions that are not Exception subclasses (an interrupt) propagate.
Ref cache_file_problem(PyObject* file);

// What the cache file `file` holds, from its schema and record batches
// without decoding a column: (rows, columns, storage path, identity), each
// None when it cannot be read or is not recorded. Columns do not count a
// stored index. The file is read whole through the file object into memory
// of Arrow's own, never mapped, so a file truncated meanwhile is described as
// far as it goes instead of faulting. Without `count_rows`, only the footer is
// looked at and rows is None.
Ref describe_cache_file(PyObject* file, bool count_rows);

// ---------------------------------------------------------------------------
// Mapping, for the range reads

// Makes the mapping type once per process; -1 on error.
int make_cache_mapping_type();

// The whole cache file open at `fd`, mapped read-only: an object with a
// read-only buffer over the file's bytes, unmapped when the last view of it
// (an Arrow buffer, a column built on one) is released. It holds no
// descriptor, so a range of thousands of tables does not run into the
// process's limit of open files. Py_None when the file is empty or cannot be
// mapped; NULL on error.
//
// Cache files are replaced by renaming and removed by unlinking, which leave
// a mapped file's pages intact; nothing in this system truncates one in place
// (a process touching pages lost that way would fail with SIGBUS). Whatever
// else reads a file that another host may change (the cache command) reads it
// through a file object instead.
Ref mapped_cache_file(const FileDescriptor& fd);

// The Arrow table in the cache file whose bytes are the buffer `data` (a
// mapping above, or any object with a buffer), read on the calling thread:
// the columns of an uncompressed file stay in `data`, uncopied. With
// `included` (a list of field positions; Py_None: all), only those columns.
Ref read_cache_arrow(PyObject* data, PyObject* included);

// The column names of the cache file in `data`, from its footer alone.
Ref cache_arrow_names(PyObject* data);

}  // namespace light_data
