// Cache files mapped read-only into memory for the range reads, many in one
// call: the file that get_raw would serve for each reader, opened by the
// cache's safe open and mapped from that descriptor (nothing opens the path
// again). A mapping is an object with a read-only buffer over the file's
// bytes; the file is unmapped when the last view of it (an Arrow buffer, a
// column built on one) is released. It holds no descriptor, so a range of
// thousands of tables does not run into the process's limit of open files.
//
// Cache files are replaced by renaming and removed by unlinking, which leave
// a mapped file's pages intact; nothing in this system truncates one in place
// (a process touching pages lost that way would fail with SIGBUS).
#pragma once

#include "owned_ref.hpp"

namespace light_data {

// Makes the mapping type once per process; -1 on error.
int make_cache_mapping_type();

// For each reader of the sequence `readers`, the mapping of the cache file
// that its get_raw would serve unchanged, or Py_None when it would serve
// none, or the file cannot be opened or mapped (get_raw's own read then
// decides, and reports what is wrong). Exceptions that are not Exception
// subclasses (an interrupt) propagate.
Ref served_cache_mappings(PyObject* readers);

}  // namespace light_data
