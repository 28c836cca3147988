// CryptoMktData.write and write_raw_data: hand a table to the reader's I/O
// object for the first data source's processed-area or raw-area path.
#include "module_state.hpp"
#include "object_calls.hpp"
#include "reader_methods.hpp"
#include "reader_sources.hpp"

namespace light_data {

namespace {

PyObject* write_at(PyObject* self, PyObject* df, PyObject* path_method) {
    Ref io_obj = attr(self, names.io_obj);
    if (!io_obj) return nullptr;
    Ref write_file = attr(io_obj.get(), names.write_file_wrapper);
    if (!write_file) return nullptr;
    Ref first = first_data_source(self);
    if (!first) return nullptr;
    Ref path = call_method(self, path_method, {}, names.kw_data_source, {first.get()});
    if (!path) return nullptr;
    if (!call(write_file.get(), {}, names.kw_write, {df, path.get()})) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyObject* reader_write(PyObject* const* arguments) {
    return write_at(arguments[0], arguments[1], names.get_path);
}

PyObject* reader_write_raw_data(PyObject* const* arguments) {
    return write_at(arguments[0], arguments[1], names.get_raw_data_path);
}

}  // namespace light_data
