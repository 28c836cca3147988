// CryptoMktData._get and get: the table indexed by "DateTime", with UTC
// timestamps for the time-normalised kinds, and the reader's failure policy.
#include "frame_index.hpp"
#include "log_records.hpp"
#include "message_text.hpp"
#include "module_state.hpp"
#include "object_calls.hpp"
#include "reader_methods.hpp"
#include "reader_sources.hpp"

namespace light_data {

namespace {

// FileNotFoundError("Missing data: " + path of the first data source).
PyObject* raise_missing_data(PyObject* self) {
    Ref first = first_data_source(self);
    if (!first) return nullptr;
    Ref path = call_method(self, names.get_path, {}, names.kw_data_source, {first.get()});
    if (!path) return nullptr;
    Ref message = join_message({names.missing_data, path.get()});
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_FileNotFoundError, message.get());
    return nullptr;
}

}  // namespace

PyObject* reader_get_private(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    Ref df = call_method(self, names.get_raw, {});
    if (!df) return nullptr;
    Ref pd = global(names.pd);
    if (!pd) return nullptr;
    Ref frame_type = attr(pd.get(), names.DataFrame);
    if (!frame_type) return nullptr;
    int is_frame = PyObject_IsInstance(df.get(), frame_type.get());
    if (is_frame < 0) return nullptr;
    if (!is_frame) {
        int silent = truth(attr(self, names.silent_fail));
        if (silent < 0) return nullptr;
        if (silent) Py_RETURN_NONE;
        return raise_missing_data(self);
    }

    Ref data_type = attr(self, names.data_type);
    if (!data_type) return nullptr;
    if (index_frame(data_type.get(), df) < 0) return nullptr;
    return df.release();
}

PyObject* reader_get(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    int silent = truth(attr(self, names.silent_fail));
    if (silent < 0) return nullptr;
    Ref df = call_method(self, names.get_private, {});
    if (df || !silent) return df.release();
    if (log_handled_failure(LIGHT_DATA_METHOD_NAME("get"), nullptr, nullptr) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace light_data
