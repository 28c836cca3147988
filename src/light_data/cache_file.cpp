// The cache file's format (cache_file.hpp): written, read, mapped, described
// and judged through pyarrow and pandas, called through the C API.
#include "cache_file.hpp"

#include <sys/mman.h>
#include <sys/stat.h>

#include "module_state.hpp"
#include "object_calls.hpp"

namespace light_data {

namespace {

// Rows per record batch, as Feather writes them.
constexpr long feather_chunk_rows = 1L << 16;

Ref interned(const char* text) {
    return Ref(PyUnicode_InternFromString(text));
}

// The IpcWriteOptions of each compression. Feather's own choice for `lz4`:
// LZ4 frames when Arrow was built with them. Without the zstd codec, that
// form is Py_None: writing it raises (write_cache_table).
int make_write_options(PyObject* pyarrow, PyObject* ipc, Ref (&options)[cache_compression_count]) {
    Ref codec(PyObject_GetAttrString(pyarrow, "Codec"));
    if (!codec) return -1;
    const int has_lz4 = truth(Ref(PyObject_CallMethod(codec.get(), "is_available", "s", "lz4_frame")));
    if (has_lz4 < 0) return -1;
    const int has_zstd = truth(Ref(PyObject_CallMethod(codec.get(), "is_available", "s", "zstd")));
    if (has_zstd < 0) return -1;
    Ref options_type(PyObject_GetAttrString(ipc, "IpcWriteOptions"));
    if (!options_type) return -1;
    Ref empty(PyTuple_New(0));
    if (!empty) return -1;
    const char* codecs[cache_compression_count] = {has_lz4 ? "lz4" : nullptr, nullptr, "zstd"};
    for (int i = 0; i < cache_compression_count; ++i) {
        if (i == static_cast<int>(CacheCompression::zstd) && !has_zstd) {
            options[i] = Ref::borrow(Py_None);
            continue;
        }
        Ref keywords(Py_BuildValue("{s:s,s:O,s:O}", "compression", codecs[i], "allow_64bit", Py_True,
                                   "unify_dictionaries", Py_True));
        if (!keywords) return -1;
        options[i] = Ref(PyObject_Call(options_type.get(), empty.get(), keywords.get()));
        if (!options[i]) return -1;
    }
    return 0;
}

// Made on first use and kept for the process, as the interned names are.
// They are stored together, with no call between the stores, so another
// thread sees all of them or none; two threads meeting the first use may
// both make them, and the earlier set then stays alive, unused.
int make_arrow_calls(ArrowCalls& calls) {
    Ref pyarrow(PyImport_ImportModule("pyarrow"));
    if (!pyarrow) return -1;
    Ref ipc(PyImport_ImportModule("pyarrow.ipc"));
    if (!ipc) return -1;
    Ref table_type(PyObject_GetAttrString(pyarrow.get(), "Table"));
    if (!table_type) return -1;
    Ref from_pandas(PyObject_GetAttrString(table_type.get(), "from_pandas"));
    Ref new_file(PyObject_GetAttrString(ipc.get(), "new_file"));
    Ref open_file(PyObject_GetAttrString(ipc.get(), "open_file"));
    Ref read_options_type(PyObject_GetAttrString(ipc.get(), "IpcReadOptions"));
    if (!from_pandas || !new_file || !open_file || !read_options_type) return -1;
    Ref allocate_buffer(PyObject_GetAttrString(pyarrow.get(), "allocate_buffer"));
    Ref buffer_reader(PyObject_GetAttrString(pyarrow.get(), "BufferReader"));
    if (!allocate_buffer || !buffer_reader) return -1;
    Ref options[cache_compression_count];
    if (make_write_options(pyarrow.get(), ipc.get(), options) < 0) return -1;
    // The tables of a range are read in parallel already: Arrow's own threads
    // would only add their hand-offs (a small table reads 2-3x slower with them).
    Ref serial_keywords(Py_BuildValue("{s:O}", "use_threads", Py_False));
    Ref empty(PyTuple_New(0));
    if (!serial_keywords || !empty) return -1;
    Ref serial_read(PyObject_Call(read_options_type.get(), empty.get(), serial_keywords.get()));
    if (!serial_read) return -1;

    Ref key(PyBytes_FromString(storage_path_key));
    Ref identity_key(PyBytes_FromString(storage_identity_key));
    Ref kw_preserve_index(Py_BuildValue("(s)", "preserve_index"));
    Ref kw_options(Py_BuildValue("(s)", "options"));
    Ref kw_max_chunksize(Py_BuildValue("(s)", "max_chunksize"));
    Ref kw_serial_fields(Py_BuildValue("(ss)", "use_threads", "included_fields"));
    Ref chunk_rows(PyLong_FromLong(feather_chunk_rows));
    if (!key || !identity_key || !kw_preserve_index || !kw_options || !kw_max_chunksize ||
        !kw_serial_fields || !chunk_rows) {
        return -1;
    }
    Ref schema = interned("schema"), metadata = interned("metadata"),
        replace_schema_metadata = interned("replace_schema_metadata"), with_metadata = interned("with_metadata"),
        write_table = interned("write_table"), read_all = interned("read_all"), count_rows = interned("count_rows"),
        pandas_metadata = interned("pandas_metadata"), names_attr = interned("names");
    if (!schema || !metadata || !replace_schema_metadata || !with_metadata || !write_table || !read_all ||
        !count_rows || !pandas_metadata || !names_attr) {
        return -1;
    }
    calls.table_from_pandas = from_pandas.release();
    calls.new_file = new_file.release();
    calls.open_file = open_file.release();
    calls.read_options_type = read_options_type.release();
    calls.serial_read = serial_read.release();
    for (int i = 0; i < cache_compression_count; ++i) calls.options[i] = options[i].release();
    calls.storage_path_key = key.release();
    calls.storage_identity_key = identity_key.release();
    calls.kw_preserve_index = kw_preserve_index.release();
    calls.kw_options = kw_options.release();
    calls.kw_max_chunksize = kw_max_chunksize.release();
    calls.kw_serial_fields = kw_serial_fields.release();
    calls.chunk_rows = chunk_rows.release();
    calls.schema = schema.release();
    calls.metadata = metadata.release();
    calls.replace_schema_metadata = replace_schema_metadata.release();
    calls.with_metadata = with_metadata.release();
    calls.write_table = write_table.release();
    calls.read_all = read_all.release();
    calls.count_rows = count_rows.release();
    calls.pandas_metadata = pandas_metadata.release();
    calls.names = names_attr.release();
    calls.allocate_buffer = allocate_buffer.release();
    calls.buffer_reader = buffer_reader.release();
    return 0;
}

const ArrowCalls* arrow_calls() {
    ArrowCalls& calls = module_state.arrow_calls;
    if (calls.table_from_pandas == nullptr && make_arrow_calls(calls) < 0) return nullptr;
    return &calls;
}

// The table of `df` with `storage_path` and, when known, `identity` added to its schema metadata.
Ref table_holding_path(const ArrowCalls& calls, PyObject* df, PyObject* storage_path, PyObject* identity) {
    Ref table = call(calls.table_from_pandas, {df}, calls.kw_preserve_index, {Py_None});
    if (!table) return Ref();
    Ref schema = attr(table.get(), calls.schema);
    if (!schema) return Ref();
    Ref stored = attr(schema.get(), calls.metadata);
    if (!stored) return Ref();
    Ref metadata(PyDict_New());
    if (!metadata) return Ref();
    if (stored.get() != Py_None && PyDict_Update(metadata.get(), stored.get()) < 0) return Ref();
    Ref path_bytes(PyUnicode_AsUTF8String(storage_path));
    if (!path_bytes) return Ref();
    if (PyDict_SetItem(metadata.get(), calls.storage_path_key, path_bytes.get()) < 0) return Ref();
    if (identity != nullptr && PyUnicode_Check(identity)) {
        Ref identity_bytes(PyUnicode_AsUTF8String(identity));
        if (!identity_bytes ||
            PyDict_SetItem(metadata.get(), calls.storage_identity_key, identity_bytes.get()) < 0) {
            return Ref();
        }
    }
    return call_method(table.get(), calls.replace_schema_metadata, {metadata.get()});
}

// `table` written into `file` under `schema`, in record batches of 64K rows.
int write_arrow(const ArrowCalls& calls, PyObject* file, PyObject* schema, PyObject* table, PyObject* options) {
    Ref file_writer = call(calls.new_file, {file, schema}, calls.kw_options, {options});
    if (!file_writer) return -1;
    if (!call_method(file_writer.get(), calls.write_table, {table}, calls.kw_max_chunksize, {calls.chunk_rows})) {
        SavedError saved;
        Ref closed = call_method(file_writer.get(), names.close, {});
        return -1;
    }
    return call_method(file_writer.get(), names.close, {}) ? 0 : -1;
}

// file.close(), keeping an error that is already on its way to the caller.
int close_file(PyObject* file) {
    if (PyErr_Occurred()) {
        SavedError saved;
        Ref closed = call_method(file, names.close, {});
        return -1;
    }
    return call_method(file, names.close, {}) ? 0 : -1;
}

// A binary file object over `fd` that leaves closing the descriptor to the
// descriptor's owner.
Ref file_object(const FileDescriptor& fd, const char* mode) {
    return Ref(PyFile_FromFd(fd.get(), nullptr, mode, -1, nullptr, nullptr, nullptr, 0));
}

// The text of a metadata value, undecodable bytes shown escaped; Py_None when absent.
Ref metadata_text(PyObject* metadata, PyObject* key) {
    if (!PyDict_Check(metadata)) return Ref::borrow(Py_None);
    PyObject* value = PyDict_GetItemWithError(metadata, key);  // borrowed
    if (value == nullptr) return PyErr_Occurred() ? Ref() : Ref::borrow(Py_None);
    if (!PyBytes_Check(value)) return Ref::borrow(Py_None);
    return Ref(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value), "backslashreplace"));
}

// How many of `schema`'s fields hold a stored index: those named in the
// pandas metadata's index_columns (a range index is described there, not
// stored). 0 when there is no pandas metadata or it is not as pandas writes it.
Py_ssize_t stored_index_columns(const ArrowCalls& calls, PyObject* schema) {
    Ref pandas = attr(schema, calls.pandas_metadata);
    if (!pandas) {
        PyErr_Clear();
        return 0;
    }
    if (!PyDict_Check(pandas.get())) return 0;
    PyObject* index = PyDict_GetItemString(pandas.get(), "index_columns");  // borrowed
    if (index == nullptr || !PyList_Check(index)) return 0;
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(index); ++i) count += PyUnicode_Check(PyList_GET_ITEM(index, i));
    return count;
}

// Clears a pending Exception, for the reads whose failure only means "not
// known"; -1 when the pending error is something else (an interrupt).
int forget_failure() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
}

struct CacheMapping {
    PyObject_HEAD
    void* address;
    Py_ssize_t size;
};

int mapping_buffer(PyObject* self, Py_buffer* view, int flags) {
    auto* mapping = reinterpret_cast<CacheMapping*>(self);
    return PyBuffer_FillInfo(view, self, mapping->address, mapping->size, 1, flags);
}

void mapping_dealloc(PyObject* self) {
    auto* mapping = reinterpret_cast<CacheMapping*>(self);
    PyTypeObject* type = Py_TYPE(self);
    munmap(mapping->address, static_cast<size_t>(mapping->size));
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot mapping_slots[] = {
    {Py_tp_doc, const_cast<char*>("A cache file mapped read-only; its buffer is the file's bytes.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(mapping_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(mapping_buffer)},
    {0, nullptr},
};

PyType_Spec mapping_spec = {
    .name = "_light_data_core.CacheMapping",
    .basicsize = sizeof(CacheMapping),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = mapping_slots,
};

}  // namespace

int remember_pandas_writer() {
    if (module_state.pandas_to_feather != nullptr) return 0;
    Ref pandas(PyImport_ImportModule("pandas"));
    if (!pandas) return -1;
    Ref frame_type = attr(pandas.get(), names.DataFrame);
    if (!frame_type) return -1;
    module_state.pandas_to_feather = attr(frame_type.get(), names.to_feather).release();
    return module_state.pandas_to_feather == nullptr ? -1 : 0;
}

int cache_compression_named(PyObject* name, CacheCompression& compression) {
    static constexpr const char* known[cache_compression_count] = {"lz4", "none", "zstd"};
    if (PyUnicode_Check(name)) {
        for (int i = 0; i < cache_compression_count; ++i) {
            if (PyUnicode_CompareWithASCIIString(name, known[i]) == 0) {
                compression = static_cast<CacheCompression>(i);
                return 0;
            }
        }
    }
    PyErr_Format(PyExc_ValueError, "cache compression must be 'lz4', 'none' or 'zstd', got %R", name);
    return -1;
}

int write_cache_table(PyObject* df, PyObject* file, PyObject* storage_path, PyObject* identity,
                      CacheCompression compression) {
    Ref own(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(df)), names.to_feather));
    if (!own) PyErr_Clear();
    if (!own || own.get() != module_state.pandas_to_feather || !PyUnicode_Check(storage_path)) {
        return call_method(df, names.to_feather, {file}) ? 0 : -1;
    }
    const ArrowCalls* calls = arrow_calls();
    if (calls == nullptr) return -1;
    PyObject* options = calls->options[static_cast<int>(compression)];
    if (options == Py_None) {
        PyErr_SetString(PyExc_ValueError, "this pyarrow has no zstd codec to write the cache file with");
        return -1;
    }
    Ref table = table_holding_path(*calls, df, storage_path, identity);
    if (!table) return -1;
    Ref schema = attr(table.get(), calls->schema);
    if (!schema) return -1;
    return write_arrow(*calls, file, schema.get(), table.get(), options);
}

int write_cache_file_at(FileDescriptor& fd, PyObject* shown, PyObject* df, PyObject* storage_path,
                        PyObject* identity, CacheCompression compression) {
    Ref file = file_object(fd, "wb");
    if (!file) return -1;
    write_cache_table(df, file.get(), storage_path, identity, compression);
    if (close_file(file.get()) < 0) return -1;
    // Some file systems report a failed write only when the file is closed.
    if (close(fd.release()) < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, shown);
        return -1;
    }
    return 0;
}

int write_cache_arrow(PyObject* table, PyObject* file, PyObject* metadata) {
    const ArrowCalls* calls = arrow_calls();
    if (calls == nullptr) return -1;
    Ref schema = attr(table, calls->schema);
    if (!schema) return -1;
    Ref stated = call_method(schema.get(), calls->with_metadata, {metadata});
    if (!stated) return -1;
    return write_arrow(*calls, file, stated.get(), table, calls->options[static_cast<int>(CacheCompression::lz4)]);
}

Ref read_cache_table(PyObject* file) {
    Ref pd = global(names.pd);
    if (!pd) return Ref();
    return call_method(pd.get(), names.read_feather, {file});
}

Ref read_cache_table_at(const FileDescriptor& fd) {
    Ref file = file_object(fd, "rb");
    if (!file) return Ref();
    Ref df = read_cache_table(file.get());
    if (close_file(file.get()) < 0) return Ref();
    return df;
}

int is_servable(PyObject* df) {
    const int empty = truth(attr(df, names.empty));
    return empty < 0 ? -1 : !empty;
}

Ref cache_file_problem(PyObject* file) {
    Ref df = read_cache_table(file);
    if (!df) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref owned_type(type), owned_value(value), owned_traceback(traceback);
        Ref type_name(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
        if (!type_name) return Ref();
        return Ref(PyUnicode_FromFormat("unreadable: %U: %S", type_name.get(), value));
    }
    const int servable = is_servable(df.get());
    if (servable < 0) return Ref();
    return servable ? Ref::borrow(Py_None) : Ref(PyUnicode_FromString("empty table"));
}

// Arrow's file reader reads a footer through its IO threads, which may let go
// of the file only after the call has returned: a Python file object handed
// to it would be released late, from one of Arrow's threads (at exit, after
// the interpreter is gone: an abort). So the file is read through its handle
// (as its owner opened it) into memory of Arrow's own, and described from
// there; a file cut short while it is read is described as far as it goes.
static Ref file_in_memory(const ArrowCalls& calls, PyObject* file) {
    Ref end(PyObject_CallMethod(file, "seek", "ii", 0, 2));
    if (!end) return Ref();
    const Py_ssize_t size = PyLong_AsSsize_t(end.get());
    if (size < 0) return Ref();
    Ref start(PyObject_CallMethod(file, "seek", "i", 0));
    if (!start) return Ref();
    Ref buffer(PyObject_CallFunction(calls.allocate_buffer, "n", size));
    if (!buffer) return Ref();
    Ref whole(PyMemoryView_FromObject(buffer.get()));
    if (!whole) return Ref();
    Py_ssize_t filled = 0;
    while (filled < size) {
        Ref from(PyLong_FromSsize_t(filled));
        if (!from) return Ref();
        Ref rest_slice(PySlice_New(from.get(), nullptr, nullptr));
        if (!rest_slice) return Ref();
        Ref view(PyObject_GetItem(whole.get(), rest_slice.get()));
        if (!view) return Ref();
        Ref got(PyObject_CallMethod(file, "readinto", "O", view.get()));
        if (!got) return Ref();
        const Py_ssize_t count = got.get() == Py_None ? 0 : PyLong_AsSsize_t(got.get());
        if (count < 0) return Ref();
        if (count == 0) break;
        filled += count;
    }
    whole = Ref(PyObject_CallMethod(whole.get(), "release", nullptr));
    if (!whole) return Ref();
    if (filled < size) {
        buffer = Ref(PyObject_CallMethod(buffer.get(), "slice", "nn", Py_ssize_t{0}, filled));
        if (!buffer) return Ref();
    }
    return call(calls.buffer_reader, {buffer.get()});
}

static Ref describe_native_file(const ArrowCalls& calls, PyObject* file, bool count_rows) {
    Ref reader = call(calls.open_file, {file});
    if (!reader) {
        if (forget_failure() < 0) return Ref();
        return Ref(Py_BuildValue("(OOOO)", Py_None, Py_None, Py_None, Py_None));
    }
    Ref schema = attr(reader.get(), calls.schema);
    if (!schema) return Ref();
    Ref metadata = attr(schema.get(), calls.metadata);
    if (!metadata) return Ref();
    Ref storage_path = metadata_text(metadata.get(), calls.storage_path_key);
    Ref identity = metadata_text(metadata.get(), calls.storage_identity_key);
    if (!storage_path || !identity) return Ref();
    const Py_ssize_t fields = PyObject_Length(schema.get());
    if (fields < 0) return Ref();
    Ref columns(PyLong_FromSsize_t(fields - stored_index_columns(calls, schema.get())));
    if (!columns) return Ref();
    // count_rows reads every record batch whole but decodes none; a file cut
    // short raises here.
    Ref rows = count_rows ? call_method(reader.get(), calls.count_rows, {}) : Ref::borrow(Py_None);
    if (!rows) {
        if (forget_failure() < 0) return Ref();
        rows = Ref::borrow(Py_None);
    }
    return Ref(PyTuple_Pack(4, rows.get(), columns.get(), storage_path.get(), identity.get()));
}

Ref describe_cache_file(PyObject* file, bool count_rows) {
    const ArrowCalls* calls = arrow_calls();
    if (calls == nullptr) return Ref();
    Ref in_memory = file_in_memory(*calls, file);
    if (!in_memory) return Ref();
    return describe_native_file(*calls, in_memory.get(), count_rows);
}

int make_cache_mapping_type() {
    if (module_state.cache_mapping_type != nullptr) return 0;
    module_state.cache_mapping_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&mapping_spec));
    return module_state.cache_mapping_type == nullptr ? -1 : 0;
}

Ref mapped_cache_file(const FileDescriptor& fd) {
    struct stat status;
    if (fstat(fd.get(), &status) < 0 || status.st_size <= 0) return Ref::borrow(Py_None);
    const auto size = static_cast<size_t>(status.st_size);
    void* address = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (address == MAP_FAILED) return Ref::borrow(Py_None);
    auto* mapping = PyObject_New(CacheMapping, module_state.cache_mapping_type);
    if (mapping == nullptr) {
        munmap(address, size);
        return Ref();
    }
    mapping->address = address;
    mapping->size = static_cast<Py_ssize_t>(status.st_size);
    return Ref(reinterpret_cast<PyObject*>(mapping));
}

Ref read_cache_arrow(PyObject* data, PyObject* included) {
    const ArrowCalls* calls = arrow_calls();
    if (calls == nullptr) return Ref();
    Ref options;
    if (included == Py_None) {
        options = Ref::borrow(calls->serial_read);
    } else {
        options = call(calls->read_options_type, {}, calls->kw_serial_fields, {Py_False, included});
        if (!options) return Ref();
    }
    Ref reader = call(calls->open_file, {data}, calls->kw_options, {options.get()});
    if (!reader) return Ref();
    return call_method(reader.get(), calls->read_all, {});
}

Ref cache_arrow_names(PyObject* data) {
    const ArrowCalls* calls = arrow_calls();
    if (calls == nullptr) return Ref();
    Ref reader = call(calls->open_file, {data}, calls->kw_options, {calls->serial_read});
    if (!reader) return Ref();
    Ref schema = attr(reader.get(), calls->schema);
    if (!schema) return Ref();
    return attr(schema.get(), calls->names);
}

}  // namespace light_data
