#include "feather_tables.hpp"

#include "module_state.hpp"
#include "object_calls.hpp"

namespace light_data {

namespace {

// Rows per record batch, as Feather writes them.
constexpr long feather_chunk_rows = 1L << 16;

// Made on first use and kept for the process, as the interned names are.
int make_arrow_writer(ArrowWriter& writer) {
    Ref pyarrow(PyImport_ImportModule("pyarrow"));
    if (!pyarrow) return -1;
    Ref ipc(PyImport_ImportModule("pyarrow.ipc"));
    if (!ipc) return -1;
    Ref table_type(PyObject_GetAttrString(pyarrow.get(), "Table"));
    if (!table_type) return -1;
    Ref from_pandas(PyObject_GetAttrString(table_type.get(), "from_pandas"));
    Ref new_file(PyObject_GetAttrString(ipc.get(), "new_file"));
    if (!from_pandas || !new_file) return -1;

    // Feather's own choice: LZ4 frames when Arrow was built with them.
    Ref codec(PyObject_GetAttrString(pyarrow.get(), "Codec"));
    if (!codec) return -1;
    Ref lz4_available(PyObject_CallMethod(codec.get(), "is_available", "s", "lz4_frame"));
    const int has_lz4 = truth(lz4_available);
    if (has_lz4 < 0) return -1;
    Ref zstd_available(PyObject_CallMethod(codec.get(), "is_available", "s", "zstd"));
    const int has_zstd = truth(zstd_available);
    if (has_zstd < 0) return -1;
    Ref options_type(PyObject_GetAttrString(ipc.get(), "IpcWriteOptions"));
    if (!options_type) return -1;
    Ref empty(PyTuple_New(0));
    if (!empty) return -1;
    const char* codecs[cache_compression_count] = {has_lz4 ? "lz4" : nullptr, nullptr, "zstd"};
    Ref options[cache_compression_count];
    for (int i = 0; i < cache_compression_count; ++i) {
        // Without the codec, Py_None: writing that form raises (write_feather).
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

    Ref key(PyBytes_FromString(storage_path_key));
    Ref identity_key(PyBytes_FromString(storage_identity_key));
    Ref kw_preserve_index(Py_BuildValue("(s)", "preserve_index"));
    Ref kw_options(Py_BuildValue("(s)", "options"));
    Ref kw_max_chunksize(Py_BuildValue("(s)", "max_chunksize"));
    Ref chunk_rows(PyLong_FromLong(feather_chunk_rows));
    Ref schema(PyUnicode_InternFromString("schema"));
    Ref metadata(PyUnicode_InternFromString("metadata"));
    Ref replace_schema_metadata(PyUnicode_InternFromString("replace_schema_metadata"));
    Ref write_table(PyUnicode_InternFromString("write_table"));
    if (!key || !identity_key || !kw_preserve_index || !kw_options || !kw_max_chunksize || !chunk_rows ||
        !schema || !metadata || !replace_schema_metadata || !write_table) {
        return -1;
    }
    writer.table_from_pandas = from_pandas.release();
    writer.new_file = new_file.release();
    for (int i = 0; i < cache_compression_count; ++i) writer.options[i] = options[i].release();
    writer.storage_path_key = key.release();
    writer.storage_identity_key = identity_key.release();
    writer.kw_preserve_index = kw_preserve_index.release();
    writer.kw_options = kw_options.release();
    writer.kw_max_chunksize = kw_max_chunksize.release();
    writer.chunk_rows = chunk_rows.release();
    writer.schema = schema.release();
    writer.metadata = metadata.release();
    writer.replace_schema_metadata = replace_schema_metadata.release();
    writer.write_table = write_table.release();
    return 0;
}

const ArrowWriter* arrow_writer() {
    ArrowWriter& writer = module_state.arrow_writer;
    if (writer.table_from_pandas == nullptr && make_arrow_writer(writer) < 0) return nullptr;
    return &writer;
}

// The table of `df` with `storage_path` and, when known, `identity` added to its schema metadata.
Ref table_holding_path(const ArrowWriter& writer, PyObject* df, PyObject* storage_path,
                       PyObject* identity) {
    Ref table = call(writer.table_from_pandas, {df}, writer.kw_preserve_index, {Py_None});
    if (!table) return Ref();
    Ref schema = attr(table.get(), writer.schema);
    if (!schema) return Ref();
    Ref stored = attr(schema.get(), writer.metadata);
    if (!stored) return Ref();
    Ref metadata(PyDict_New());
    if (!metadata) return Ref();
    if (stored.get() != Py_None && PyDict_Update(metadata.get(), stored.get()) < 0) return Ref();
    Ref path_bytes(PyUnicode_AsUTF8String(storage_path));
    if (!path_bytes) return Ref();
    if (PyDict_SetItem(metadata.get(), writer.storage_path_key, path_bytes.get()) < 0) return Ref();
    if (identity != nullptr && PyUnicode_Check(identity)) {
        Ref identity_bytes(PyUnicode_AsUTF8String(identity));
        if (!identity_bytes ||
            PyDict_SetItem(metadata.get(), writer.storage_identity_key, identity_bytes.get()) < 0) {
            return Ref();
        }
    }
    return call_method(table.get(), writer.replace_schema_metadata, {metadata.get()});
}

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

int write_feather(PyObject* df, PyObject* file, PyObject* storage_path, PyObject* identity,
                  CacheCompression compression) {
    Ref own(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(df)), names.to_feather));
    if (!own) PyErr_Clear();
    if (!own || own.get() != module_state.pandas_to_feather || !PyUnicode_Check(storage_path)) {
        return call_method(df, names.to_feather, {file}) ? 0 : -1;
    }
    const ArrowWriter* writer = arrow_writer();
    if (writer == nullptr) return -1;
    PyObject* options = writer->options[static_cast<int>(compression)];
    if (options == Py_None) {
        PyErr_SetString(PyExc_ValueError, "this pyarrow has no zstd codec to write the cache file with");
        return -1;
    }
    Ref table = table_holding_path(*writer, df, storage_path, identity);
    if (!table) return -1;
    Ref schema = attr(table.get(), writer->schema);
    if (!schema) return -1;
    Ref file_writer = call(writer->new_file, {file, schema.get()}, writer->kw_options,
                           {options});
    if (!file_writer) return -1;
    if (!call_method(file_writer.get(), writer->write_table, {table.get()},
                     writer->kw_max_chunksize, {writer->chunk_rows})) {
        return -1;
    }
    return call_method(file_writer.get(), names.close, {}) ? 0 : -1;
}

}  // namespace light_data
