#include "frame_index.hpp"

#include "module_state.hpp"
#include "object_calls.hpp"
#include "reader_sources.hpp"
#include "time_index.hpp"

namespace light_data {

namespace {

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

// 1 when the index of `df` is named "DateTime".
int indexed_by_datetime(PyObject* df) {
    Ref index = attr(df, names.index);
    if (!index) return -1;
    Ref name = attr(index.get(), names.name);
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) return 0;
    return PyUnicode_Compare(name.get(), names.DateTime) == 0;
}

}  // namespace

int index_frame(PyObject* data_type, Ref& df) {
    int normalised = is_time_normalised_kind(data_type);
    if (normalised < 0) return -1;
    Ref columns = attr(df.get(), names.columns);
    if (!columns) return -1;
    int has_column = PySequence_Contains(columns.get(), names.DateTime);
    if (has_column < 0) return -1;
    if (!has_column) {
        int indexed = indexed_by_datetime(df.get());
        if (indexed != 0) return indexed < 0 ? -1 : 0;
        if (normalised) return index_by_utc_time(df);
    }
    return set_datetime_index(df.get());
}

}  // namespace light_data
