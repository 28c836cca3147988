// What the reads share with path resolution.
#pragma once

#include <Python.h>

namespace light_data {

// 1 when `data_type` equals DataType.DerivativeTicker, .Liquidations or
// .Metrics (compared in that order, members read from the module global at
// each comparison), 0 when none does, -1 on error.
int is_time_normalised_kind(PyObject* data_type);

}  // namespace light_data
