// Cache files as Feather (Arrow IPC) files: a table written as pandas'
// DataFrame.to_feather writes it, with the storage path it holds recorded in
// the schema's metadata, so that a cache file can say what it holds. Reading
// it back with pandas ignores that entry.
#pragma once

#include "owned_ref.hpp"

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

// Writes `df` into the binary file object `file` as a Feather file. A pandas
// table is converted and written as to_feather does it (record batches of 64K
// rows, compressed as `compression` says: `lz4` is to_feather's own choice),
// plus `storage_path` in the schema metadata, and `identity` when it is a str
// (NULL: unknown); anything else through its own to_feather(file). -1 with an
// exception set.
int write_feather(PyObject* df, PyObject* file, PyObject* storage_path, PyObject* identity,
                  CacheCompression compression = CacheCompression::lz4);

}  // namespace light_data
