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
    Ref sources = attr(self, names.data_sources);
    if (!sources) return nullptr;
    SourceWalk walk;
    if (walk.start(sources.get()) < 0) return nullptr;
    sources = Ref();
    Ref source;
    int status;
    while ((status = walk.next(source)) == 1) {
        Ref path =
            call_method(self, names.get_raw_data_path, {}, names.kw_data_source, {source.get()});
        if (!path) return nullptr;
        Ref message = join_message({names.reading, path.get()});
        if (!message || log_message(names.debug, message.get()) < 0) return nullptr;
        Ref io_obj = attr(self, names.io_obj);
        Ref df = io_obj ? call_method(io_obj.get(), names.read_file_wrapper, {},
                                      names.kw_load_path, {path.get()})
                        : Ref();
        if (df) return df.release();
        if (log_handled_failure(LIGHT_DATA_METHOD_NAME("get_raw_data"), names.error_reading,
                                path.get()) < 0) {
            return nullptr;
        }
    }
    if (status < 0) return nullptr;
    sources = attr(self, names.data_sources);
    if (!sources) return nullptr;
    Ref message = join_message({names.missing_data, sources.get()});
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_Exception, message.get());
    return nullptr;
}

}  // namespace light_data
