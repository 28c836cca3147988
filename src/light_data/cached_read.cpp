// The reads over the data sources: CryptoMktData.get_raw, through the local
// cache, and get_raw_data, from the raw area around it; and the same walk for
// the companion modules, with each source's outcome.
#include "cached_read.hpp"

#include <fcntl.h>

#include "cache_names.hpp"
#include "local_cache.hpp"
#include "log_records.hpp"
#include "message_text.hpp"
#include "module_state.hpp"
#include "object_calls.hpp"
#include "reader_methods.hpp"
#include "reader_sources.hpp"

namespace light_data {

namespace {

// The non-empty cached copy at `cache_path` when the cache is in use and
// something stands there; Py_None to go on to storage. A directory at the
// cache name bypasses the cache; anything else but a regular file goes to
// _read_cache, which clears it like a corrupt file.
Ref cached_copy(PyObject* self, PyObject* cache_path) {
    int wanted = truth(attr(self, names.use_cache_attr));
    if (wanted <= 0) return wanted < 0 ? Ref() : Ref::borrow(Py_None);
    CacheEntry entry;
    if (look_up_cache_entry(cache_path, entry) < 0) return Ref();
    if (entry == CacheEntry::absent || entry == CacheEntry::directory) return Ref::borrow(Py_None);
    return logged_cache_hit(self, call_method(self, names.read_cache, {cache_path}), cache_path);
}

// The table at `path` read through io_obj.read_file_identified(path), which
// answers (table, identity); `identity` is set to the identity. Py_None when
// the storage module has no such call.
Ref read_identified(PyObject* io_obj, PyObject* path, Ref& identity) {
    Ref call_identified(PyObject_GetAttr(io_obj, names.read_file_identified));
    if (!call_identified) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    Ref answer = call(call_identified.get(), {path});
    if (!answer) return Ref();
    if (!PyTuple_Check(answer.get()) || PyTuple_GET_SIZE(answer.get()) != 2) {
        PyErr_Format(PyExc_TypeError, "read_file_identified must return (table, identity), got %.100s",
                     Py_TYPE(answer.get())->tp_name);
        return Ref();
    }
    identity = Ref::borrow(PyTuple_GET_ITEM(answer.get(), 1));
    return Ref::borrow(PyTuple_GET_ITEM(answer.get(), 0));
}

// One source's guarded work: the cached copy, else storage, then the cache
// write. A NULL result means the source failed. The cache is an optimisation:
// a table read from storage is returned even when caching it fails, which is
// logged. The cache copy is compressed as `compression` says; with `identify`,
// the cache file records the stored table's identity.
Ref read_source(PyObject* self, PyObject* path, bool identify, CacheCompression compression) {
    Ref cache_path = cache_path_for(self, path);
    if (!cache_path) return Ref();
    Ref cached = cached_copy(self, cache_path.get());
    if (!cached || cached.get() != Py_None) return cached;

    Ref io_obj = attr(self, names.io_obj);
    if (!io_obj) return Ref();
    Ref identity;
    Ref df = identify ? read_identified(io_obj.get(), path, identity) : Ref::borrow(Py_None);
    if (!df) return Ref();
    if (df.get() == Py_None) {
        df = call_method(io_obj.get(), names.read_file_wrapper, {}, names.kw_load_path, {path});
    }
    if (!df) return Ref();
    int empty = truth(attr(df.get(), names.empty));
    if (empty < 0) return Ref();
    if (empty) return df;
    int write = truth(attr(self, names.write_cache_attr));
    if (write < 0) return Ref();
    if (write && write_cache_file(self, df.get(), cache_path.get(), path, identity.get(), compression) < 0 &&
        log_handled_failure(LIGHT_DATA_METHOD_NAME("get_raw"), names.error_writing_cache,
                            cache_path.get()) < 0) {
        return Ref();
    }
    return df;
}

// The pending exception as a value carrying its traceback; the error
// indicator is left set to the same exception.
Ref pending_exception() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Ref exception = Ref::borrow(value);
    PyErr_Restore(type, value, traceback);
    return exception;
}

Ref served_mapping(PyObject* reader) {
    Ref served = served_cache_file(reader);
    if (!served || served.get() == Py_None) return served;
    FileDescriptor fd;
    if (open_cache_path(PyTuple_GET_ITEM(served.get(), 0), fd) < 0) return Ref();
    return mapped_cache_file(fd);
}

int append_tried(PyObject* tried, PyObject* source, PyObject* path, PyObject* exception) {
    Ref entry(PyTuple_Pack(3, source, path, exception));
    return entry ? PyList_Append(tried, entry.get()) : -1;
}

}  // namespace

Ref read_sources(PyObject* self, bool log_failures, bool identify, CacheCompression compression) {
    Ref tried(PyList_New(0));
    if (!tried) return Ref();
    Ref df;
    // 1: found, 2: failed, 0: every source without the table.
    const int outcome = walk_source_paths(self, names.get_path, true, [&](PyObject* source,
                                                                            PyObject* path) {
        if (path == Py_None) return append_tried(tried.get(), source, path, Py_None);
        df = read_source(self, path, identify, compression);
        if (df) return 1;
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        const bool absent = PyErr_ExceptionMatches(PyExc_FileNotFoundError);
        Ref exception = pending_exception();
        // Logging the failure clears it; unlogged, it is cleared here: `tried` holds it.
        if (!log_failures) {
            PyErr_Clear();
        } else if (log_handled_failure(LIGHT_DATA_METHOD_NAME("get_raw"), names.error_reading, path) < 0) {
            return -1;
        }
        if (append_tried(tried.get(), source, path, exception.get()) < 0) return -1;
        return absent ? 0 : 2;
    });
    if (outcome < 0) return Ref();
    const char* label = outcome == 1 ? "found" : outcome == 2 ? "failed" : "missing";
    return Ref(Py_BuildValue("(sOO)", label, outcome == 1 ? df.get() : Py_None, tried.get()));
}

Ref served_cache_file(PyObject* self) {
    int wanted = truth(attr(self, names.use_cache_attr));
    if (wanted <= 0) return wanted < 0 ? Ref() : Ref::borrow(Py_None);
    Ref earlier(PyList_New(0));
    if (!earlier) return Ref();
    Ref served = Ref::borrow(Py_None);
    const int status = walk_source_paths(self, names.get_path, false, [&](PyObject* source,
                                                                          PyObject* path) {
        if (path == Py_None) return 0;
        Ref cache_path = cache_path_for(self, path);
        if (!cache_path) return -1;
        CacheEntry entry;
        if (look_up_cache_entry(cache_path.get(), entry) < 0) return -1;
        if (entry == CacheEntry::absent) return PyList_Append(earlier.get(), path);
        if (entry != CacheEntry::regular_file) return 1;
        // An earlier source without a cache entry is read from storage when it holds the table.
        Ref io_obj = attr(self, names.io_obj);
        if (!io_obj) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(earlier.get()); ++i) {
            int stored = truth(call_method(io_obj.get(), names.exists,
                                           {PyList_GET_ITEM(earlier.get(), i)}));
            if (stored != 0) return stored;
        }
        served = Ref(PyTuple_Pack(3, cache_path.get(), source, path));
        return served ? 1 : -1;
    });
    if (status < 0) return Ref();
    return served;
}

// served(reader) for each of the sequence `readers`, as a list; a reader whose
// call fails with an Exception gives None: anything doubtful is left to
// get_raw's own read, which reports it. Other exceptions (an interrupt)
// propagate.
template <typename Served>
Ref for_each_reader(PyObject* readers, Served served) {
    Ref sequence(PySequence_Fast(readers, "readers must be a sequence"));
    if (!sequence) return Ref();
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    Ref result(PyList_New(count));
    if (!result) return Ref();
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = served(PySequence_Fast_GET_ITEM(sequence.get(), i));
        if (!item) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
            PyErr_Clear();
            item = Ref::borrow(Py_None);
        }
        PyList_SET_ITEM(result.get(), i, item.release());
    }
    return result;
}

Ref served_cache_mappings(PyObject* readers) { return for_each_reader(readers, served_mapping); }

Ref served_cache_paths(PyObject* readers) {
    return for_each_reader(readers, [](PyObject* reader) {
        Ref served = served_cache_file(reader);
        if (!served || served.get() == Py_None) return served;
        return Ref::borrow(PyTuple_GET_ITEM(served.get(), 0));
    });
}

PyObject* reader_get_raw(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    Ref df;
    const int found = walk_source_paths(self, names.get_path, true, [&](PyObject*, PyObject* path) {
        df = read_source(self, path, false, CacheCompression::lz4);
        if (df) return 1;
        return log_handled_failure(LIGHT_DATA_METHOD_NAME("get_raw"), names.error_reading, path);
    });
    if (found < 0) return nullptr;
    if (found == 0) Py_RETURN_NONE;
    return df.release();
}

PyObject* reader_get_raw_data(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    Ref df;
    const int found = walk_source_paths(self, names.get_raw_data_path, true, [&](PyObject*, PyObject* path) {
        Ref io_obj = attr(self, names.io_obj);
        if (io_obj) {
            df = call_method(io_obj.get(), names.read_file_wrapper, {}, names.kw_load_path, {path});
        }
        if (df) return 1;
        return log_handled_failure(LIGHT_DATA_METHOD_NAME("get_raw_data"), names.error_reading,
                                   path);
    });
    if (found < 0) return nullptr;
    if (found == 1) return df.release();
    Ref sources = attr(self, names.data_sources);
    if (!sources) return nullptr;
    Ref message = join_message({names.missing_data, sources.get()});
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_Exception, message.get());
    return nullptr;
}

}  // namespace light_data
