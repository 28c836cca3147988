#include "epoch_counts.hpp"

#include <cmath>
#include <limits>

#include "owned_ref.hpp"

namespace light_data {

namespace {

constexpr int64_t int64_max = std::numeric_limits<int64_t>::max();
constexpr int64_t int64_min = std::numeric_limits<int64_t>::min();

int64_t power_of_ten(int exponent) {
    int64_t factor = 1;
    for (int i = 0; i < exponent; ++i) factor *= 10;
    return factor;
}

int raise_overflow(int64_t value, int exponent, bool plus_one) {
    if (plus_one && value == int64_max) {
        PyErr_Format(PyExc_OverflowError,
                     "CloseTime value %lld plus one does not fit in a signed 64-bit integer",
                     static_cast<long long>(value));
    } else {
        PyErr_Format(PyExc_OverflowError,
                     "DateTime value %lld scaled by 10**%d to nanoseconds does not fit in a "
                     "signed 64-bit integer",
                     static_cast<long long>(value + (plus_one ? 1 : 0)), exponent);
    }
    return -1;
}

// (value + plus_one) * factor in `result`; false when it leaves int64.
bool scaled(int64_t value, int64_t plus_one, int64_t factor, int64_t high, int64_t low,
            int64_t& result) {
    if (value == int64_max && plus_one) return false;
    const int64_t end = value + plus_one;
    if (end > high || end < low) return false;
    result = end * factor;
    return true;
}

}  // namespace

int nanosecond_exponent(int64_t first) {
    if (first < 0) return 0;
    int digits = 1;
    for (int64_t rest = first / 10; rest != 0; rest /= 10) ++digits;
    return 19 - digits;
}

int scale_counts(const int64_t* in, int64_t* out, Py_ssize_t count, int exponent, bool plus_one,
                 const uint8_t* missing) {
    const int64_t factor = power_of_ten(exponent);
    const int64_t high = int64_max / factor;
    const int64_t low = int64_min / factor;
    const int64_t one = plus_one ? 1 : 0;
    int64_t result = 0;
    if (in == out) {
        // In place: look at every value before the first one is replaced.
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (missing != nullptr && missing[i]) continue;
            if (!scaled(in[i], one, factor, high, low, result)) {
                return raise_overflow(in[i], exponent, plus_one);
            }
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (missing != nullptr && missing[i]) {
            out[i] = not_a_time;
            continue;
        }
        if (!scaled(in[i], one, factor, high, low, result)) {
            return raise_overflow(in[i], exponent, plus_one);
        }
        out[i] = result;
    }
    return 0;
}

int whole_float_counts(const double* in, int64_t* out, uint8_t* missing, Py_ssize_t count) {
    // 2**63, the first double past the int64 range; -2**63 is still inside it.
    constexpr double limit = 9223372036854775808.0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const double value = in[i];
        missing[i] = std::isnan(value) ? 1 : 0;
        if (missing[i]) {
            out[i] = 0;
            continue;
        }
        if (std::isinf(value) || value != std::trunc(value)) return 0;
        if (value >= limit || value < -limit) {
            Ref shown(PyFloat_FromDouble(value));
            if (!shown) return -1;
            PyErr_Format(PyExc_OverflowError,
                         "DateTime value %R does not fit in a signed 64-bit integer", shown.get());
            return -1;
        }
        out[i] = static_cast<int64_t>(value);
    }
    return 1;
}

Py_ssize_t first_present(const uint8_t* missing, Py_ssize_t count) {
    if (missing == nullptr) return 0;
    Py_ssize_t position = 0;
    while (position < count && missing[position]) ++position;
    return position;
}

int first_count(const int64_t* in, Py_ssize_t position, bool plus_one, int64_t& first) {
    first = in[position];
    if (!plus_one) return 0;
    if (first == int64_max) return raise_overflow(first, 0, true);
    ++first;
    return 0;
}

}  // namespace light_data
