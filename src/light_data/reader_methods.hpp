// The bodies of the thirteen methods of CryptoMktData. Each receives its bound
// arguments (borrowed, `self` first) and returns a new reference, or NULL
// with an exception set.
#pragma once

#include "module_state.hpp"

namespace light_data {

PyObject* reader_init(PyObject* const* arguments);
PyObject* reader_get_path(PyObject* const* arguments);
PyObject* reader_compute_cmc_historical_snapshot_date(PyObject* const* arguments);
PyObject* reader_get_raw_data_path(PyObject* const* arguments);
PyObject* reader_exists(PyObject* const* arguments);
PyObject* reader_get_raw(PyObject* const* arguments);
PyObject* reader_read_cache(PyObject* const* arguments);
PyObject* reader_remove_cache(PyObject* const* arguments);
PyObject* reader_get_private(PyObject* const* arguments);
PyObject* reader_get(PyObject* const* arguments);
PyObject* reader_write(PyObject* const* arguments);
PyObject* reader_get_raw_data(PyObject* const* arguments);
PyObject* reader_write_raw_data(PyObject* const* arguments);

// Full dotted names, for the traceback entries of handled failures.
#define LIGHT_DATA_METHOD_NAME(method) LIGHT_DATA_MODULE_NAME ".CryptoMktData." method

}  // namespace light_data
