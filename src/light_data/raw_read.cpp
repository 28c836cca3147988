// CryptoMktData.get_raw_data: the raw area's table of the first data source
// whose read succeeds, without the cache; raises when every source fails.
#include "interned_names.hpp"
#include "log_records.hpp"
#include "message_text.hpp"
#include "object_calls.hpp"
#include "reader_methods.hpp"
#include "source_walk.hpp"

namespace light_data {

PyObject* reader_get_raw_data(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    Ref df;
    const int found = walk_source_paths(self, names.get_raw_data_path, true, [&](PyObject* path) {
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
