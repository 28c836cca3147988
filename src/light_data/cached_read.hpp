// The reads over a reader's data sources that the companion modules make
// through the private module: the same walk as get_raw, with each source's
// outcome kept instead of only logged.
#pragma once

#include "cache_file.hpp"
#include "owned_ref.hpp"

namespace light_data {

// get_raw's walk over the sources of `self`, stopping at the first source
// that fails for any reason but the table's absence. A source holds no table
// when its path builder gives no path (None) or its storage read raises
// FileNotFoundError; every other exception is a failure. With
// `log_failures`, each source that raised is logged as get_raw logs it; the
// range reads leave that out, since their answer (the table, a missing day
// or an error naming every source) already carries each outcome. Returns
// (outcome, table, tried): outcome "found" with the table, "missing" when
// no source holds one, or "failed"; tried lists (source, path, exception or
// None) for each source walked before the answer. NULL with an exception set
// for what get_raw would let through (a failing path lookup, an interrupt).
// The cache copies it writes are compressed as `compression` says.
// `identify`: read through the storage module's read_file_identified where it has one, so
// that each cache file written records the identity of the stored table it copies.
Ref read_sources(PyObject* self, bool log_failures, bool identify = false,
                 CacheCompression compression = CacheCompression::lz4);

// The cache file that get_raw would serve, without reading it: the first
// source's regular cache file when the cache is in use and every earlier
// source has neither a cache entry nor a stored table. (cache_path, source,
// path), or Py_None when get_raw would do anything else. Errors (of a path
// lookup, of a storage probe) propagate.
Ref served_cache_file(PyObject* self);

// For each reader of the sequence `readers`, the mapping (cache_file.hpp:
// mapped_cache_file) of the cache file that its get_raw would serve
// unchanged, opened by the cache's safe open (nothing opens the path again);
// Py_None when it would serve none, or the file cannot be opened or mapped
// (get_raw's own read then decides, and reports what is wrong). Exceptions
// that are not Exception subclasses (an interrupt) propagate.
Ref served_cache_mappings(PyObject* readers);

// The cache path of the file get() would serve for each of `readers` (a
// sequence), or None, in one call: served_cache_file's path, for a reader
// that opens and maps the files itself, elsewhere. A reader whose lookup
// fails gives None (get()'s own read reports it).
Ref served_cache_paths(PyObject* readers);

}  // namespace light_data
