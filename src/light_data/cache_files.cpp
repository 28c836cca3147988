// Reading a cache file back (clearing the reader's cache when the file is
// empty or unreadable) and removing the reader's cache files.
#include "cache_naming.hpp"
#include "interned_names.hpp"
#include "log_records.hpp"
#include "message_text.hpp"
#include "module_globals.hpp"
#include "object_calls.hpp"
#include "reader_methods.hpp"
#include "source_walk.hpp"

namespace light_data {

namespace {

// The guarded part of _read_cache: the table when the file holds a non-empty
// one, Py_None when it holds an empty one, NULL when reading failed.
Ref non_empty_table(PyObject* self, PyObject* cache_path) {
    Ref pd = global(names.pd);
    if (!pd) return Ref();
    return logged_cache_hit(self, call_method(pd.get(), names.read_feather, {cache_path}),
                            cache_path);
}

// The guarded part of remove_cache for one storage path. `cache_path` is set
// once formed, for the failure message.
int remove_cache_file(PyObject* self, PyObject* path, Ref& cache_path) {
    cache_path = cache_path_for(self, path);
    if (!cache_path) return -1;
    Ref os = global(names.os);
    if (!os) return -1;
    Ref os_path = attr(os.get(), names.path);
    if (!os_path) return -1;
    int present = truth(call_method(os_path.get(), names.exists, {cache_path.get()}));
    if (present <= 0) return present;
    Ref removed = call_method(os.get(), names.remove, {cache_path.get()});
    if (!removed) return -1;
    Ref message = cache_event_message(self, names.removed_cache, cache_path.get());
    if (!message) return -1;
    return log_message(names.info, message.get());
}

}  // namespace

PyObject* reader_read_cache(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    PyObject* cache_path = arguments[1];
    Ref message = join_message({names.reading_from_cache, cache_path});
    if (!message || log_message(names.info, message.get()) < 0) return nullptr;

    Ref df = non_empty_table(self, cache_path);
    if (df && df.get() != Py_None) return df.release();
    if (!df && log_handled_failure(LIGHT_DATA_METHOD_NAME("_read_cache"),
                                   names.error_reading_cache, cache_path) < 0) {
        return nullptr;
    }
    if (!call_method(self, names.remove_cache, {})) return nullptr;
    Ref pd = global(names.pd);
    if (!pd) return nullptr;
    return call_method(pd.get(), names.DataFrame, {}).release();
}

PyObject* reader_remove_cache(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    const int status = walk_source_paths(self, names.get_path, true, [&](PyObject* path) {
        Ref cache_path;
        if (remove_cache_file(self, path, cache_path) == 0) return 0;
        // A source whose cache path could not be formed is named by its storage path.
        PyObject* subject = cache_path ? cache_path.get() : path;
        return log_handled_failure(LIGHT_DATA_METHOD_NAME("remove_cache"),
                                   names.error_removing_cache, subject);
    });
    if (status < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace light_data
