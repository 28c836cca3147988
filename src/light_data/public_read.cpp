// CryptoMktData._get and get: the table indexed by "DateTime", with UTC
// timestamps for the time-normalised kinds, and the reader's failure policy.
#include "log_records.hpp"
#include "message_text.hpp"
#include "module_state.hpp"
#include "object_calls.hpp"
#include "reader_methods.hpp"
#include "reader_sources.hpp"
#include "time_index.hpp"

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

// The index that set_index("DateTime") would build, made directly when that
// is plain pd.Index(column, name="DateTime"), as it is for a datetime column
// (set_index may turn an integer column into a RangeIndex, and a repeated
// label is its own error). Py_None when the column is not one.
Ref datetime_column_index(PyObject* df) {
    Ref column = item(df, names.DateTime);
    Ref dtype = column ? attr(column.get(), names.dtype) : Ref();
    Ref kind = dtype ? attr(dtype.get(), names.kind) : Ref();
    if (!kind) {
        PyErr_Clear();  // set_index raises what fits
        return Ref::borrow(Py_None);
    }
    if (!PyUnicode_Check(kind.get()) || PyUnicode_CompareWithASCIIString(kind.get(), "M") != 0) {
        return Ref::borrow(Py_None);
    }
    Ref pd = global(names.pd);
    if (!pd) return Ref();
    Ref index_type = attr(pd.get(), names.Index);
    if (!index_type) return Ref();
    return call(index_type.get(), {column.get()}, names.kw_name, {names.DateTime});
}

// df.set_index("DateTime", inplace=True). pandas versions that deprecate the
// inplace keyword warn on every such call, so there the same change is made
// without it: the index built as set_index builds it (on a shallow copy when
// it cannot be built directly), then the column removed and the index set on
// df itself.
int set_datetime_index(PyObject* df) {
    int deprecated = deprecates_inplace(df);
    if (deprecated < 0) return -1;
    if (!deprecated) {
        return call_method(df, names.set_index, {names.DateTime}, names.kw_inplace, {Py_True})
                   ? 0
                   : -1;
    }
    Ref index = datetime_column_index(df);
    if (!index) return -1;
    if (index.get() == Py_None) {
        Ref indexed = call_method(df, names.set_index, {names.DateTime});
        if (!indexed) return -1;
        index = attr(indexed.get(), names.index);
        if (!index) return -1;
    }
    if (PyObject_DelItem(df, names.DateTime) < 0) return -1;
    return PyObject_SetAttr(df, names.index, index.get());
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
    int normalised = is_time_normalised_kind(data_type.get());
    if (normalised < 0) return nullptr;
    if (normalised) {
        Ref columns = attr(df.get(), names.columns);
        if (!columns) return nullptr;
        int has_datetime = PySequence_Contains(columns.get(), names.DateTime);
        if (has_datetime < 0) return nullptr;
        if (!has_datetime) return index_by_utc_time(df) < 0 ? nullptr : df.release();
    }
    if (set_datetime_index(df.get()) < 0) return nullptr;
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
