// The local cache: one Feather file per storage path, named by the SHA-256
// digest of the path, directly in the reader's cache folder.
//
// The folder may be shared with other users and processes, so nothing in it
// is trusted: entries are examined without following links and only regular
// files are read; cache files are written through temporary files created
// exclusively (never following a link, never reusing a file) and renamed into
// place; the temporary files of crashed writers are reclaimed.
#pragma once

#include "owned_ref.hpp"

namespace light_data {

// os.path.join(self.cache_dir, hashlib.sha256(path.encode()).hexdigest() + ".feather")
Ref cache_path_for(PyObject* self, PyObject* path);

// What stands at a cache path, seen without following a link. An entry that
// cannot be examined counts as absent, as for os.path.exists.
enum class CacheEntry { absent, regular_file, directory, unusable };

// The entry at `cache_path`; -1 with an exception set when the path cannot be
// encoded for the file system.
int look_up_cache_entry(PyObject* cache_path, CacheEntry& entry);

// `df` when it is a non-empty table, after logging the cache hit at info
// level; Py_None when it is empty; NULL on error.
Ref logged_cache_hit(PyObject* self, Ref df, PyObject* cache_path);

// Writes `df` as the cache file at `cache_path`, creating the cache folder
// when needed: into a new temporary file beside it, then renamed onto the
// cache path, so that other processes see either the old file or the whole
// new one. Reclaims the key's leftover temporary files first. Returns 0, or
// -1 with an exception set and no temporary file left behind.
int write_cache_file(PyObject* self, PyObject* df, PyObject* cache_path);

}  // namespace light_data
