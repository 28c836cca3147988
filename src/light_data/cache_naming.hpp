// The local cache file of a storage path: the SHA-256 hex digest of the
// path's UTF-8 bytes plus ".feather", directly in the reader's cache folder.
#pragma once

#include "owned_ref.hpp"

namespace light_data {

// os.path.join(self.cache_dir, hashlib.sha256(path.encode()).hexdigest() + ".feather")
Ref cache_path_for(PyObject* self, PyObject* path);

}  // namespace light_data

namespace light_data {

// `df` when it is a non-empty table, after logging the cache hit at info
// level; Py_None when it is empty; NULL on error.
Ref logged_cache_hit(PyObject* self, Ref df, PyObject* cache_path);

// "cache " + class name + " " + data type + " " + date + event + cache_path,
// the text of a cache hit or removal.
Ref cache_event_message(PyObject* self, PyObject* event, PyObject* cache_path);

}  // namespace light_data
