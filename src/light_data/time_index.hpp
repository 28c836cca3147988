// The "DateTime" column of the time-normalised kinds: found under one of the
// stored time-column names, all-digit epoch counts scaled exactly to
// nanoseconds, then turned into UTC timestamps.
#pragma once

#include <array>

#include "owned_ref.hpp"

namespace light_data {

// Moves the time of `df`, one of the time-normalised kinds without a
// "DateTime" column, into a UTC DatetimeIndex named "DateTime": from the first
// of its stored time columns, all-digit epoch counts scaled exactly to
// nanoseconds. `df` becomes the table to return: a relabelled copy, or the
// table itself when the time is its close time plus one. -1 with an
// exception set.
int index_by_utc_time(Ref& df);

// The stored time-column labels in the order in which the first present one
// is taken: "timestamp", "Time", "CloseTime" (whose time is the close time
// plus one, the column staying), "create_time".
std::array<PyObject*, 4> time_labels();

// 1 for pandas versions that deprecate inplace operations (and always copy
// on write), 0 for the others, -1 on error.
int deprecates_inplace(PyObject* df);

}  // namespace light_data
