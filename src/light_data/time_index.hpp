// The "DateTime" column of the time-normalised kinds: found under one of the
// stored time-column names, all-digit epoch counts scaled exactly to
// nanoseconds, then turned into UTC timestamps.
#pragma once

#include "owned_ref.hpp"

namespace light_data {

// The UTC DatetimeIndex converted from the time column of `df`, which is
// put under "DateTime" first: `df` becomes its relabelled copy, or gains a
// "DateTime" column made from "CloseTime". NULL with an exception set.
Ref utc_datetime_index(Ref& df);

}  // namespace light_data
