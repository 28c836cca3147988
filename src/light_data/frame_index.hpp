// The shape every read hands back: a table indexed by its "DateTime", in UTC
// time for the time-normalised kinds.
#pragma once

#include "owned_ref.hpp"

namespace light_data {

// Indexes the stored table `df` of the kind `data_type` by "DateTime": for
// the time-normalised kinds without a "DateTime" column, from their stored
// time column (time_index.hpp); otherwise the "DateTime" column moved into
// the index. A table that comes back with its "DateTime" as the index (one
// that a read returned, written back) is served with that index, as if it
// had been a column. `df` becomes the table to return. -1 with an exception
// set.
int index_frame(PyObject* data_type, Ref& df);

}  // namespace light_data
