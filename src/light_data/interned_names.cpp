#include "interned_names.hpp"

#include <initializer_list>

namespace light_data {

namespace {

PyObject* keyword_tuple(std::initializer_list<PyObject*> keywords) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(keywords.size()));
    if (tuple == nullptr) return nullptr;
    Py_ssize_t index = 0;
    for (PyObject* keyword : keywords) {
        Py_INCREF(keyword);
        PyTuple_SET_ITEM(tuple, index++, keyword);
    }
    return tuple;
}

}  // namespace

int make_interned_names(InternedNames& n) {
#define LIGHT_DATA_MAKE(identifier, text)                       \
    n.identifier = PyUnicode_InternFromString(text);            \
    if (n.identifier == nullptr) return -1;
    LIGHT_DATA_NAMES(LIGHT_DATA_MAKE)
#undef LIGHT_DATA_MAKE
    if ((n.kw_date_int = keyword_tuple({n.date_int})) == nullptr) return -1;
    if ((n.kw_data_source = keyword_tuple({n.data_source})) == nullptr) return -1;
    if ((n.kw_load_path = keyword_tuple({n.load_path})) == nullptr) return -1;
    if ((n.kw_exist_ok = keyword_tuple({n.exist_ok})) == nullptr) return -1;
    if ((n.kw_columns = keyword_tuple({n.columns})) == nullptr) return -1;
    if ((n.kw_inplace = keyword_tuple({n.inplace})) == nullptr) return -1;
    if ((n.kw_utc = keyword_tuple({n.utc})) == nullptr) return -1;
    if ((n.kw_name = keyword_tuple({n.name})) == nullptr) return -1;
    if ((n.kw_deep = keyword_tuple({n.deep})) == nullptr) return -1;
    if ((n.kw_write = keyword_tuple({n.dataframe, n.write_path})) == nullptr) return -1;
    if ((n.kw_io_module = keyword_tuple({n.file_type, n.use_minio_storage})) == nullptr) return -1;
    if ((n.kw_mktdata_path = keyword_tuple(
             {n.date, n.instrument, n.data_type, n.data_source, n.data_destination})) == nullptr)
        return -1;
    if ((n.kw_to_numpy = keyword_tuple({n.dtype, n.na_value})) == nullptr) return -1;
    if ((n.one = PyLong_FromLong(1)) == nullptr) return -1;
    if ((n.zero = PyLong_FromLong(0)) == nullptr) return -1;
    if ((n.nan = PyFloat_FromDouble(Py_NAN)) == nullptr) return -1;
    return 0;
}

}  // namespace light_data
