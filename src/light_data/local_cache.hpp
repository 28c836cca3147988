// The local cache: one cache file (cache_file.hpp) per storage path, named by the SHA-256
// digest of the path (cache_names.hpp), directly in the reader's cache folder.
//
// The folder may be shared with other users and processes, so nothing in it
// is trusted: entries are examined without following links and only regular
// files are read; cache files are written through temporary files created
// exclusively (never following a link, never reusing a file) and renamed into
// place; the temporary files of crashed writers are reclaimed.
#pragma once

#include <sys/types.h>

#include "cache_file.hpp"
#include "owned_ref.hpp"
#include "scoped_resources.hpp"

namespace light_data {

// What stands at a cache path, seen without following a link. An entry that
// cannot be examined counts as absent, as for os.path.exists.
enum class CacheEntry { absent, regular_file, directory, unusable };

// The file-system bytes of a path string (ValueError for an embedded NUL).
Ref file_system_path(PyObject* path);

// "regular file", "symbolic link", "directory", "FIFO", "socket" or "device".
const char* entry_kind_name(mode_t mode);

// The entry at `cache_path`; -1 with an exception set when the path cannot be
// encoded for the file system.
int look_up_cache_entry(PyObject* cache_path, CacheEntry& entry);

// Opens the cache entry `path` (relative to the folder `folder_fd`, or
// AT_FDCWD) for reading when it is a regular file: looked at without
// following a link, then opened without following one and without blocking
// (a FIFO put there would otherwise hang the read), and checked again on the
// open descriptor. With `keep_access_time`, the read leaves the file's access
// time alone where the system allows it. -1 with OSError set (naming `shown`)
// otherwise.
int open_cache_entry(int folder_fd, const char* path, bool keep_access_time, PyObject* shown,
                     FileDescriptor& fd);

// open_cache_entry of the cache file at `cache_path` (a str), as the file
// system encodes it. -1 with an exception set otherwise.
int open_cache_path(PyObject* cache_path, FileDescriptor& fd);

// Removes the temporary files of the cache file at `cache_file` that crashed
// writers left (cache_names.hpp: is_leftover). Entries are examined without
// following links, and only files and links are removed (a link itself,
// never its target). Best effort: a leftover that cannot be removed now
// (another user's, or already gone) is left for later.
void reclaim_leftovers(const char* cache_file);

// `df` when it is a non-empty table, after logging the cache hit at info
// level; Py_None when it is empty (an empty cached table counts as no cached
// copy); NULL on error.
Ref logged_cache_hit(PyObject* self, Ref df, PyObject* cache_path);

// Writes `df`, read from `storage_path`, as the cache file at `cache_path`,
// creating the cache folder when needed: into a new temporary file beside
// it, then renamed onto the cache path, so that other processes see either
// the old file or the whole new one. Reclaims the key's leftover temporary
// files first. `compression` as write_cache_table takes it. Returns 0, or -1
// with an exception set and no temporary file left behind.
// `identity`: that of the stored table the copy was read from, or NULL when unknown.
int write_cache_file(PyObject* self, PyObject* df, PyObject* cache_path, PyObject* storage_path,
                     PyObject* identity = nullptr, CacheCompression compression = CacheCompression::lz4);

}  // namespace light_data
