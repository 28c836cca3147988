// The "DateTime" column of the time-normalised kinds: found under one of the
// stored time-column names, all-digit epoch counts scaled exactly to
// nanoseconds, then turned into UTC timestamps.
#pragma once

#include "owned_ref.hpp"

namespace light_data {

// Builds and converts the "DateTime" column of `df`. Returns the table to
// index: `df` itself or its relabelled copy. NULL with an exception set.
Ref with_utc_datetime_column(Ref df);

}  // namespace light_data
