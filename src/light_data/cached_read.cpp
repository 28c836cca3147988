// CryptoMktData.get_raw: the stored table of the first data source that
// yields one, served from the local cache when a usable copy is there, and
// copied into the cache after a storage read.
#include <unistd.h>

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

// Removes a temporary file after a failed cache write, keeping the pending
// error: the write's failure is what the caller must see.
void discard_temporary(PyObject* os, PyObject* temporary) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref os_path = attr(os, names.path);
    int present = os_path ? truth(call_method(os_path.get(), names.exists, {temporary})) : -1;
    if (present > 0) Ref removed = call_method(os, names.remove, {temporary});
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

// Writes `df` to the cache file atomically: into a temporary file beside it
// whose name is unique to this process and thread and never looks like a
// cache file, then replaced onto the cache path. Another process sharing the
// folder sees either the old file or the whole new one.
int write_cache_file(PyObject* df, PyObject* cache_path) {
    Ref suffix(PyUnicode_FromFormat(".tmp-%ld-%lu", static_cast<long>(getpid()),
                                    PyThread_get_thread_ident()));
    if (!suffix) return -1;
    Ref temporary(PyNumber_Add(cache_path, suffix.get()));
    if (!temporary) return -1;
    Ref os = global(names.os);
    if (!os) return -1;
    Ref written = call_method(df, names.to_feather, {temporary.get()});
    if (written) written = call_method(os.get(), names.replace, {temporary.get(), cache_path});
    if (written) return 0;
    discard_temporary(os.get(), temporary.get());
    return -1;
}

Ref cached_copy(PyObject* self, PyObject* cache_path) {
    Ref use_cache = attr(self, names.use_cache_attr);
    int wanted = truth(use_cache);
    if (wanted <= 0) return wanted < 0 ? Ref() : Ref::borrow(Py_None);
    Ref os = global(names.os);
    if (!os) return Ref();
    Ref os_path = attr(os.get(), names.path);
    if (!os_path) return Ref();
    int present = truth(call_method(os_path.get(), names.exists, {cache_path}));
    if (present <= 0) return present < 0 ? Ref() : Ref::borrow(Py_None);
    return logged_cache_hit(self, call_method(self, names.read_cache, {cache_path}), cache_path);
}

// One source's guarded work: the cached copy, else storage (then the cache
// write). A NULL result means the source failed.
Ref read_source(PyObject* self, PyObject* path) {
    Ref cache_path = cache_path_for(self, path);
    if (!cache_path) return Ref();
    Ref cached = cached_copy(self, cache_path.get());
    if (!cached || cached.get() != Py_None) return cached;

    Ref io_obj = attr(self, names.io_obj);
    if (!io_obj) return Ref();
    Ref df = call_method(io_obj.get(), names.read_file_wrapper, {}, names.kw_load_path, {path});
    if (!df) return Ref();
    int empty = truth(attr(df.get(), names.empty));
    if (empty < 0) return Ref();
    if (empty) return df;
    int write = truth(attr(self, names.write_cache_attr));
    if (write < 0) return Ref();
    if (!write) return df;
    Ref os = global(names.os);
    if (!os) return Ref();
    Ref cache_dir = attr(self, names.cache_dir);
    if (!cache_dir) return Ref();
    Ref made = call_method(os.get(), names.makedirs, {cache_dir.get()}, names.kw_exist_ok, {Py_True});
    if (!made || write_cache_file(df.get(), cache_path.get()) < 0) return Ref();
    return df;
}

}  // namespace

PyObject* reader_get_raw(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    Ref df;
    const int found = walk_source_paths(self, names.get_path, true, [&](PyObject* path) {
        df = read_source(self, path);
        if (df) return 1;
        return log_handled_failure(LIGHT_DATA_METHOD_NAME("get_raw"), names.error_reading, path);
    });
    if (found < 0) return nullptr;
    if (found == 0) Py_RETURN_NONE;
    return df.release();
}

}  // namespace light_data
