// Epoch counts (seconds, milliseconds, microseconds or nanoseconds since
// 1970) scaled exactly to nanoseconds. The unit comes from the digit count
// of the first present value; a product outside the int64 range, or a close
// time whose bar end (plus one) is, is refused rather than wrapped.
#pragma once

#include <Python.h>

#include <cstdint>

namespace light_data {

// The nanosecond count numpy and pandas read as "not a time" (NaT).
inline constexpr int64_t not_a_time = INT64_MIN;

// The power of ten that scales the count `first` (the first present value,
// plus one for a close time) to nanoseconds: 19 minus its digit count. A
// negative first value has a sign, not digits, and is taken as nanoseconds
// already (0).
int nanosecond_exponent(int64_t first);

// out[i] = (in[i] + plus_one) * 10**exponent for every i not marked in
// `missing` (which may be NULL), not_a_time where it is marked. `out` may be
// `in`; then nothing is written unless every value fits. -1 with
// OverflowError set when a value does not fit in int64.
int scale_counts(const int64_t* in, int64_t* out, Py_ssize_t count, int exponent, bool plus_one,
                 const uint8_t* missing);

// The float counts of `in` scaled to nanoseconds in `out` by the digit count
// of the whole part of the first present value (plus one for a close time),
// a fraction kept to the microsecond; not_a_time where a value is NaN. -1
// with OverflowError set when a value does not fit in int64.
int float_counts_to_nanoseconds(const double* in, int64_t* out, Py_ssize_t count, bool plus_one);

// The position of the first value not marked in `missing`, or `count`.
Py_ssize_t first_present(const uint8_t* missing, Py_ssize_t count);

// The first present value plus `plus_one`, in `first`; -1 with OverflowError
// set when that does not fit.
int first_count(const int64_t* in, Py_ssize_t position, bool plus_one, int64_t& first);

}  // namespace light_data
