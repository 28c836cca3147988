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

namespace {

int raise_float_overflow(double value) {
    Ref shown(PyFloat_FromDouble(value));
    if (!shown) return -1;
    PyErr_Format(PyExc_OverflowError, "DateTime value %R does not fit in a signed 64-bit integer",
                 shown.get());
    return -1;
}

}  // namespace

int float_counts_to_nanoseconds(const double* in, int64_t* out, Py_ssize_t count, bool plus_one) {
    // 2**63, the first double past the int64 range; -2**63 is still inside it.
    constexpr double limit = 9223372036854775808.0;
    auto outside = [](double value) { return std::isinf(value) || value >= limit || value < -limit; };
    Py_ssize_t position = 0;
    while (position < count && std::isnan(in[position])) ++position;
    int exponent = 0;
    if (position < count) {
        if (outside(in[position])) return raise_float_overflow(in[position]);
        const int64_t whole = static_cast<int64_t>(std::trunc(in[position]));
        int64_t first = 0;
        if (first_count(&whole, 0, plus_one, first) < 0) return -1;
        exponent = nanosecond_exponent(first);
    }
    const int64_t factor = power_of_ten(exponent);
    const int64_t high = int64_max / factor;
    const int64_t low = int64_min / factor;
    // A fraction is kept to the microsecond (a double holds no more of a
    // seconds, milliseconds or microseconds count of today), finer units to
    // the unit itself.
    const int64_t fraction_unit = exponent >= 3 ? 1000 : 1;
    const double fraction_scale = static_cast<double>(factor / fraction_unit);
    const int64_t one = plus_one ? 1 : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const double value = in[i];
        if (std::isnan(value)) {
            out[i] = not_a_time;
            continue;
        }
        if (outside(value)) return raise_float_overflow(value);
        const double whole_part = std::trunc(value);
        const auto whole = static_cast<int64_t>(whole_part);
        int64_t result = 0;
        if (!scaled(whole, one, factor, high, low, result)) {
            return raise_overflow(whole, exponent, plus_one);
        }
        const int64_t fraction = std::llround((value - whole_part) * fraction_scale) * fraction_unit;
        if (__builtin_add_overflow(result, fraction, &out[i])) {
            return raise_overflow(whole, exponent, plus_one);
        }
    }
    return 0;
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
