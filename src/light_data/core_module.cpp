// The private module _light_data_core: the reader's rules, for the companion
// modules (range reads, the cache command) to call instead of restating them.
// Every function here is the one that CryptoMktData's own methods run.
// Sizes of "#" formats (Py_BuildValue) are Py_ssize_t.
#define PY_SSIZE_T_CLEAN

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdarg>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

#include "cache_file.hpp"
#include "cache_names.hpp"
#include "cached_read.hpp"
#include "epoch_counts.hpp"
#include "frame_index.hpp"
#include "local_cache.hpp"
#include "module_state.hpp"
#include "object_calls.hpp"
#include "reader_sources.hpp"
#include "scoped_resources.hpp"
#include "time_index.hpp"

namespace light_data {

namespace {

const char core_doc[] =
    "The rules of halvorn.orrery_data.light_data's reader, for its companion modules.\n\n"
    "Private: the names here may change with any release.";

using Keywords = const char* const[];

bool parse(PyObject* args, PyObject* kwargs, const char* format, Keywords keywords, ...) {
    va_list values;
    va_start(values, keywords);
    const int parsed = PyArg_VaParseTupleAndKeywords(args, kwargs, format,
                                                     const_cast<char**>(keywords), values);
    va_end(values);
    return parsed != 0;
}

std::string_view utf8_view(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    return data == nullptr ? std::string_view() : std::string_view(data, static_cast<size_t>(size));
}

// ---------------------------------------------------------------------------
// Cache files

PyObject* core_cache_name(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"path", nullptr};
    PyObject* path;
    if (!parse(args, kwargs, "U:cache_name", keywords, &path)) return nullptr;
    return cache_file_name(path).release();
}

// A new temporary file name for writing `cache_path`, as the reader names its
// own (so that the reader's writes and the cache command reclaim it, should its
// writer die).
PyObject* core_temporary_cache_path(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"cache_path", nullptr};
    PyObject* cache_path;
    if (!parse(args, kwargs, "U:temporary_cache_path", keywords, &cache_path)) return nullptr;
    return temporary_path_for(cache_path).release();
}

PyObject* core_is_cache_name(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"name", nullptr};
    PyObject* name;
    if (!parse(args, kwargs, "U:is_cache_name", keywords, &name)) return nullptr;
    std::string_view text = utf8_view(name);
    if (text.data() == nullptr) return nullptr;
    return PyBool_FromLong(is_cache_name(text));
}

PyObject* core_cache_entry_kind(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"path", nullptr};
    PyObject* path;
    if (!parse(args, kwargs, "U:cache_entry_kind", keywords, &path)) return nullptr;
    Ref encoded = file_system_path(path);
    if (!encoded) return nullptr;
    struct stat status;
    if (lstat(PyBytes_AS_STRING(encoded.get()), &status) < 0) return PyUnicode_FromString("absent");
    return PyUnicode_FromString(entry_kind_name(status.st_mode));
}

PyObject* core_open_cache_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"path", "dir_fd", "keep_access_time", nullptr};
    PyObject* path;
    PyObject* folder = Py_None;
    int keep_access_time = 0;
    if (!parse(args, kwargs, "U|$Op:open_cache_entry", keywords, &path, &folder,
               &keep_access_time)) {
        return nullptr;
    }
    int folder_fd = AT_FDCWD;
    if (folder != Py_None) {
        const long value = PyLong_AsLong(folder);
        if (value == -1 && PyErr_Occurred()) return nullptr;
        if (value < 0 || value > INT_MAX) {
            PyErr_SetString(PyExc_ValueError, "dir_fd must be an open file descriptor");
            return nullptr;
        }
        folder_fd = static_cast<int>(value);
    }
    Ref encoded = file_system_path(path);
    if (!encoded) return nullptr;
    FileDescriptor fd;
    if (open_cache_entry(folder_fd, PyBytes_AS_STRING(encoded.get()), keep_access_time != 0, path,
                         fd) < 0) {
        return nullptr;
    }
    return PyLong_FromLong(fd.release());
}

PyObject* core_host_label(PyObject*, PyObject*) {
    const std::string host = host_label();
    return PyUnicode_DecodeUTF8(host.data(), static_cast<Py_ssize_t>(host.size()), "strict");
}

PyObject* core_parse_temporary_name(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"name", nullptr};
    PyObject* name;
    if (!parse(args, kwargs, "U:parse_temporary_name", keywords, &name)) return nullptr;
    std::string_view text = utf8_view(name);
    if (text.data() == nullptr) return nullptr;
    TemporaryWriter writer;
    if (!parse_temporary_name(text, writer)) Py_RETURN_NONE;
    return Py_BuildValue("(s#s#l)", writer.cache_name.data(),
                         static_cast<Py_ssize_t>(writer.cache_name.size()), writer.host.data(),
                         static_cast<Py_ssize_t>(writer.host.size()), writer.pid);
}

PyObject* core_is_leftover(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"name", "mode", "mtime", "now", nullptr};
    PyObject* name;
    unsigned int mode;
    double mtime, now;
    if (!parse(args, kwargs, "UIdd:is_leftover", keywords, &name, &mode, &mtime, &now))
        return nullptr;
    std::string_view text = utf8_view(name);
    if (text.data() == nullptr) return nullptr;
    TemporaryWriter writer;
    return PyBool_FromLong(parse_temporary_name(text, writer) &&
                           is_leftover(writer, static_cast<mode_t>(mode), mtime, now));
}

// ---------------------------------------------------------------------------
// What a cache file holds

PyObject* core_describe_cache_file(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"file", "rows", nullptr};
    PyObject* file;
    int rows = 1;
    if (!parse(args, kwargs, "O|$p:describe_cache_file", keywords, &file, &rows)) return nullptr;
    return describe_cache_file(file, rows != 0).release();
}

PyObject* core_cache_file_problem(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"file", nullptr};
    PyObject* file;
    if (!parse(args, kwargs, "O:cache_file_problem", keywords, &file)) return nullptr;
    return cache_file_problem(file).release();
}

PyObject* core_read_cache_arrow(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"data", "included_fields", nullptr};
    PyObject* data;
    PyObject* included = Py_None;
    if (!parse(args, kwargs, "O|O:read_cache_arrow", keywords, &data, &included)) return nullptr;
    return read_cache_arrow(data, included).release();
}

PyObject* core_cache_arrow_names(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"data", nullptr};
    PyObject* data;
    if (!parse(args, kwargs, "O:cache_arrow_names", keywords, &data)) return nullptr;
    return cache_arrow_names(data).release();
}

PyObject* core_write_cache_arrow(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"file", "table", "metadata", nullptr};
    PyObject* file;
    PyObject* table;
    PyObject* metadata;
    if (!parse(args, kwargs, "OOO!:write_cache_arrow", keywords, &file, &table, &PyDict_Type, &metadata))
        return nullptr;
    if (write_cache_arrow(table, file, metadata) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Time

PyObject* core_is_time_normalised(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"data_type", nullptr};
    PyObject* data_type;
    if (!parse(args, kwargs, "O:is_time_normalised", keywords, &data_type)) return nullptr;
    const int normalised = is_time_normalised_kind(data_type);
    return normalised < 0 ? nullptr : PyBool_FromLong(normalised);
}

PyObject* core_time_column(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"columns", nullptr};
    PyObject* columns;
    if (!parse(args, kwargs, "O:time_column", keywords, &columns)) return nullptr;
    for (PyObject* label : time_labels()) {
        const int present = PySequence_Contains(columns, label);
        if (present < 0) return nullptr;
        if (present) return Py_BuildValue("(OO)", label, label == names.CloseTime ? Py_True : Py_False);
    }
    Py_RETURN_NONE;
}

// A contiguous buffer of `object` read as int64 values; ValueError when its
// size is not a whole number of them or it is not aligned for them.
int int64_values(PyObject* object, BufferView& buffer, bool writable, const char* what) {
    if (buffer.acquire(object, writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) < 0) return -1;
    const Py_buffer& view = buffer.view();
    if (view.len % 8 != 0 || reinterpret_cast<uintptr_t>(view.buf) % alignof(int64_t) != 0) {
        PyErr_Format(PyExc_ValueError, "%s must hold aligned 64-bit integers", what);
        return -1;
    }
    return 0;
}

// The chunks of `object`: the items of a list or tuple, or the object itself.
Ref chunk_sequence(PyObject* object) {
    if (PyList_Check(object) || PyTuple_Check(object)) {
        return Ref(PySequence_Fast(object, "chunks must be a sequence"));
    }
    return Ref(PyTuple_Pack(1, object));
}

PyObject* core_scale_epoch_counts(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"values", "out", "close_time", nullptr};
    PyObject* values;
    PyObject* out;
    int close_time = 0;
    if (!parse(args, kwargs, "OO|$p:scale_epoch_counts", keywords, &values, &out, &close_time))
        return nullptr;
    Ref inputs = chunk_sequence(values);
    Ref outputs = chunk_sequence(out);
    if (!inputs || !outputs) return nullptr;
    const Py_ssize_t chunks = PySequence_Fast_GET_SIZE(inputs.get());
    if (PySequence_Fast_GET_SIZE(outputs.get()) != chunks) {
        PyErr_SetString(PyExc_ValueError, "out must have as many chunks as values");
        return nullptr;
    }
    // The first value of the whole column decides the unit of every chunk.
    int exponent = 0;
    bool decided = false;
    for (Py_ssize_t i = 0; i < chunks; ++i) {
        BufferView source, target;
        if (int64_values(PySequence_Fast_GET_ITEM(inputs.get(), i), source, false, "values") < 0 ||
            int64_values(PySequence_Fast_GET_ITEM(outputs.get(), i), target, true, "out") < 0) {
            return nullptr;
        }
        const Py_ssize_t count = source.view().len / 8;
        if (target.view().len < source.view().len || target.view().buf == source.view().buf) {
            PyErr_SetString(PyExc_ValueError, "out must be as large as values and apart from it");
            return nullptr;
        }
        const auto* in = static_cast<const int64_t*>(source.view().buf);
        if (count > 0 && !decided) {
            int64_t first = 0;
            if (first_count(in, 0, close_time != 0, first) < 0) return nullptr;
            exponent = nanosecond_exponent(first);
            decided = true;
        }
        if (scale_counts(in, static_cast<int64_t*>(target.view().buf), count, exponent,
                         close_time != 0, nullptr) < 0) {
            return nullptr;
        }
    }
    return PyLong_FromLong(exponent);
}

PyObject* core_index_by_time(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"data_type", "df", nullptr};
    PyObject* data_type;
    PyObject* frame;
    if (!parse(args, kwargs, "OO:index_by_time", keywords, &data_type, &frame)) return nullptr;
    Ref df = Ref::borrow(frame);
    if (index_frame(data_type, df) < 0) return nullptr;
    return df.release();
}

// ---------------------------------------------------------------------------
// Reads over the sources

PyObject* core_read_sources(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"reader", "log_failures", "identify", "compression", nullptr};
    PyObject* reader;
    int log_failures = 1;
    int identify = 0;
    PyObject* name = nullptr;
    if (!parse(args, kwargs, "O|$ppU:read_sources", keywords, &reader, &log_failures, &identify, &name))
        return nullptr;
    CacheCompression compression = CacheCompression::lz4;
    if (name != nullptr && cache_compression_named(name, compression) < 0) return nullptr;
    return read_sources(reader, log_failures != 0, identify != 0, compression).release();
}

PyObject* core_served_cache_file(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"reader", nullptr};
    PyObject* reader;
    if (!parse(args, kwargs, "O:served_cache_file", keywords, &reader)) return nullptr;
    return served_cache_file(reader).release();
}

PyObject* core_served_cache_mappings(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"readers", nullptr};
    PyObject* readers;
    if (!parse(args, kwargs, "O:served_cache_mappings", keywords, &readers)) return nullptr;
    return served_cache_mappings(readers).release();
}

PyObject* core_served_cache_paths(PyObject*, PyObject* args, PyObject* kwargs) {
    static Keywords keywords = {"readers", nullptr};
    PyObject* readers;
    if (!parse(args, kwargs, "O:served_cache_paths", keywords, &readers)) return nullptr;
    return served_cache_paths(readers).release();
}

#define FUNCTION(name, flags) \
    { #name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(core_##name)), flags, nullptr }
constexpr int with_keywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef core_functions[] = {
    FUNCTION(cache_name, with_keywords),
    FUNCTION(is_cache_name, with_keywords),
    FUNCTION(temporary_cache_path, with_keywords),
    FUNCTION(cache_entry_kind, with_keywords),
    FUNCTION(open_cache_entry, with_keywords),
    FUNCTION(host_label, METH_NOARGS),
    FUNCTION(parse_temporary_name, with_keywords),
    FUNCTION(is_leftover, with_keywords),
    FUNCTION(describe_cache_file, with_keywords),
    FUNCTION(cache_file_problem, with_keywords),
    FUNCTION(read_cache_arrow, with_keywords),
    FUNCTION(cache_arrow_names, with_keywords),
    FUNCTION(write_cache_arrow, with_keywords),
    FUNCTION(is_time_normalised, with_keywords),
    FUNCTION(time_column, with_keywords),
    FUNCTION(scale_epoch_counts, with_keywords),
    FUNCTION(index_by_time, with_keywords),
    FUNCTION(read_sources, with_keywords),
    FUNCTION(served_cache_file, with_keywords),
    FUNCTION(served_cache_mappings, with_keywords),
    FUNCTION(served_cache_paths, with_keywords),
    {nullptr, nullptr, 0, nullptr},
};

#undef FUNCTION

// ---------------------------------------------------------------------------
// Module set-up

int bind_import(PyObject* dict, const char* module_name, PyObject* bound_as) {
    Ref module(PyImport_ImportModule(module_name));
    return module ? PyDict_SetItem(dict, bound_as, module.get()) : -1;
}

// The globals the shared code reads (module_state.hpp: global()).
int bind_globals(PyObject* dict) {
    const InternedNames& n = names;
    if (bind_import(dict, "hashlib", n.hashlib) < 0 || bind_import(dict, "logging", n.logging) < 0 ||
        bind_import(dict, "os", n.os) < 0 || bind_import(dict, "traceback", n.traceback) < 0 ||
        bind_import(dict, "pandas", n.pd) < 0) {
        return -1;
    }
    Ref enums(PyImport_ImportModule("halvorn.orrery_data.enums"));
    if (!enums) return -1;
    Ref data_type = attr(enums.get(), n.DataType);
    return data_type ? PyDict_SetItem(dict, n.DataType, data_type.get()) : -1;
}

int add_constants(PyObject* module) {
    Ref labels(PyTuple_New(4));
    if (!labels) return -1;
    Py_ssize_t position = 0;
    for (PyObject* label : time_labels()) PyTuple_SET_ITEM(labels.get(), position++, Py_NewRef(label));
    Ref key(PyBytes_FromString(storage_path_key));
    Ref identity_key(PyBytes_FromString(storage_identity_key));
    Ref age(PyFloat_FromDouble(foreign_leftover_age));
    if (!key || !identity_key || !age) return -1;
    if (PyModule_AddObjectRef(module, "INDEX_LABEL", names.DateTime) < 0 ||
        PyModule_AddObjectRef(module, "TIME_LABELS", labels.get()) < 0 ||
        PyModule_AddObjectRef(module, "MISSING_PREFIX", names.missing_data) < 0 ||
        PyModule_AddObjectRef(module, "STORAGE_PATH_KEY", key.get()) < 0 ||
        PyModule_AddObjectRef(module, "STORAGE_IDENTITY_KEY", identity_key.get()) < 0 ||
        PyModule_AddObjectRef(module, "OTHER_HOST_LEFTOVER_AGE", age.get()) < 0 ||
        PyModule_AddObjectRef(module, "CacheMapping",
                              reinterpret_cast<PyObject*>(module_state.cache_mapping_type)) < 0) {
        return -1;
    }
    return 0;
}

int exec_core(PyObject* module) {
    if (make_process_state() < 0 || make_cache_mapping_type() < 0) return -1;
    if (bind_globals(PyModule_GetDict(module)) < 0 || remember_pandas_writer() < 0 ||
        add_constants(module) < 0) {
        return -1;
    }
    Py_XSETREF(module_state.module, Py_NewRef(module));
    return 0;
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_core)},
    {0, nullptr},
};

PyModuleDef core_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_light_data_core",
    .m_doc = core_doc,
    .m_size = 0,
    .m_methods = core_functions,
    .m_slots = core_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace light_data

PyMODINIT_FUNC PyInit__light_data_core() { return PyModuleDef_Init(&light_data::core_def); }
