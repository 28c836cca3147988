#include "time_index.hpp"

#include <cmath>
#include <utility>
#include <cstdint>
#include <limits>

#include "module_state.hpp"
#include "object_calls.hpp"
#include "scoped_resources.hpp"

namespace light_data {

namespace {

// df.rename(columns={label: "DateTime"})
Ref relabelled(PyObject* df, PyObject* label) {
    Ref mapping(PyDict_New());
    if (!mapping || PyDict_SetItem(mapping.get(), label, names.DateTime) < 0) return Ref();
    return call_method(df, names.rename, {}, names.kw_columns, {mapping.get()});
}

int has_column(PyObject* df, PyObject* label) {
    Ref columns = attr(df, names.columns);
    if (!columns) return -1;
    return PySequence_Contains(columns.get(), label);
}

// Where the time of a table comes from: the table to go on with, and the
// label of its column that holds the time and gives way to the index (none
// when the time is computed from a column that stays).
struct TimeSource {
    Ref frame;
    Ref stored_label;
};

// The stored time column under "DateTime", as a relabelled copy of `df`.
// Where pandas copies on write, a shallow copy that keeps the label is the
// same table without rename's cost.
int relabel(Ref df, PyObject* label, TimeSource& source) {
    int shallow = deprecates_inplace(df.get());
    if (shallow < 0) return -1;
    if (shallow) {
        source.frame = call_method(df.get(), names.copy, {}, names.kw_deep, {Py_False});
        source.stored_label = Ref::borrow(label);
    } else {
        source.frame = relabelled(df.get(), label);
        source.stored_label = Ref::borrow(names.DateTime);
    }
    return source.frame ? 0 : -1;
}

// The first time label present decides: "timestamp", "Time" or
// "create_time" is relabelled "DateTime"; "CloseTime" plus one gives the time
// and stays a column (a bar is stamped with its end, a millisecond after its
// close time); with none of them, "DateTime" itself is looked up and fails.
int find_time_source(Ref df, TimeSource& source) {
    for (PyObject* label : {names.timestamp, names.Time, names.CloseTime, names.create_time}) {
        int present = has_column(df.get(), label);
        if (present < 0) return -1;
        if (!present) continue;
        if (label == names.CloseTime) break;
        return relabel(std::move(df), label, source);
    }
    source.frame = std::move(df);
    return 0;
}

// The values that hold the time: the stored column, or close time plus one.
Ref time_values(const TimeSource& source) {
    if (source.stored_label) return item(source.frame.get(), source.stored_label.get());
    int close_time = has_column(source.frame.get(), names.CloseTime);
    if (close_time <= 0) {
        return close_time < 0 ? Ref() : item(source.frame.get(), names.DateTime);
    }
    Ref column = item(source.frame.get(), names.CloseTime);
    if (!column) return Ref();
    return Ref(PyNumber_Add(column.get(), names.one));
}

// Number of characters of `text` when all of them are digits (str.isdigit),
// else 0.
Py_ssize_t digit_count(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) return 0;
    }
    return length;
}

int raise_scaling_overflow(long long value, int exponent) {
    PyErr_Format(PyExc_OverflowError,
                 "DateTime value %lld scaled by 10**%d to nanoseconds does not fit in a "
                 "signed 64-bit integer",
                 value, exponent);
    return -1;
}

// A contiguous native int64 buffer of `array` (writable when asked), or
// false with no error set when it has none, for instance an array of another
// integer type or byte order.
bool int64_buffer(PyObject* array, BufferView& buffer, bool writable = false) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (buffer.acquire(array, flags) < 0) {
        PyErr_Clear();
        return false;
    }
    const Py_buffer& view = buffer.view();
    const bool int64 = view.itemsize == 8 && view.format != nullptr &&
                       (view.format[0] == 'l' || view.format[0] == 'q') &&
                       view.format[1] == '\0';
    if (!int64) buffer.release();
    return int64;
}

// numpy.empty(count, "int64")
Ref int64_array(Py_ssize_t count) {
    Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy) return Ref();
    Ref size(PyLong_FromSsize_t(count));
    if (!size) return Ref();
    return call_method(numpy.get(), names.empty_array, {size.get(), names.int64_dtype});
}

// The int64 nanosecond counts of `array` seen as datetime64[ns], without a copy.
Ref nanoseconds_view(PyObject* array) {
    if (array == nullptr) return Ref();
    return call_method(array, names.view, {names.nanosecond_dtype});
}

// The epoch counts of `integers` times 10**exponent, as a new numpy
// datetime64[ns] array, in one pass that refuses any product outside the
// int64 range. Py_None when the column has no int64 buffer to work on.
Ref scaled_to_nanoseconds(PyObject* integers, int exponent) {
    Ref values = call_method(integers, names.to_numpy, {});
    if (!values) return Ref();
    BufferView source;
    if (!int64_buffer(values.get(), source)) return Ref::borrow(Py_None);
    // Nanoseconds already: read through a datetime view, never written.
    if (exponent == 0) return nanoseconds_view(values.get());
    const Py_ssize_t count = source.view().len / 8;
    long long factor = 1;
    for (int i = 0; i < exponent; ++i) factor *= 10;
    const long long high = std::numeric_limits<long long>::max() / factor;
    const long long low = std::numeric_limits<long long>::min() / factor;

    Ref scaled = int64_array(count);
    if (!scaled) return Ref();
    BufferView target;
    if (!int64_buffer(scaled.get(), target, true)) {
        PyErr_SetString(PyExc_RuntimeError, "numpy.empty gave no int64 buffer");
        return Ref();
    }
    const auto* in = static_cast<const int64_t*>(source.view().buf);
    auto* out = static_cast<int64_t*>(target.view().buf);
    for (Py_ssize_t i = 0; i < count; ++i) {
        const int64_t value = in[i];
        if (value > high || value < low) {
            raise_scaling_overflow(value, exponent);
            return Ref();
        }
        out[i] = value * factor;
    }
    target.release();
    return nanoseconds_view(scaled.get());
}

// Refuses a column whose product with `factor` leaves the int64 range, for
// columns without an int64 buffer: asks the column for its extremes.
int check_scaling_fits(PyObject* column, long long factor, int exponent) {
    const long long high = std::numeric_limits<long long>::max() / factor;
    const long long low = std::numeric_limits<long long>::min() / factor;
    for (PyObject* extreme_name : {names.max, names.min}) {
        Ref extreme = call_method(column, extreme_name, {});
        if (!extreme) return -1;
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(extreme.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) return -1;
        if (overflow != 0 || value > high || value < low) {
            return raise_scaling_overflow(overflow > 0   ? std::numeric_limits<long long>::max()
                                          : overflow < 0 ? std::numeric_limits<long long>::min()
                                                         : value,
                                          exponent);
        }
    }
    return 0;
}

// An unsigned column holding counts beyond the int64 range would wrap to
// negative numbers in astype(int) (numpy casts without checking); refuse it.
int check_unsigned_fits(PyObject* column) {
    Ref dtype = attr(column, names.dtype);
    if (!dtype) return -1;
    Ref kind = attr(dtype.get(), names.kind);
    if (!kind) return -1;
    if (!PyUnicode_Check(kind.get()) || PyUnicode_CompareWithASCIIString(kind.get(), "u") != 0)
        return 0;
    Ref largest = call_method(column, names.max, {});
    if (!largest) return -1;
    Ref limit(PyLong_FromLongLong(std::numeric_limits<long long>::max()));
    if (!limit) return -1;
    int too_large = PyObject_RichCompareBool(largest.get(), limit.get(), Py_GT);
    if (too_large <= 0) return too_large;
    PyErr_Format(PyExc_OverflowError,
                 "DateTime value %S does not fit in a signed 64-bit integer", largest.get());
    return -1;
}

// str(column.iloc[0])
Ref first_value_text(PyObject* column) {
    Ref iloc = attr(column, names.iloc);
    if (!iloc) return Ref();
    Ref position(PyLong_FromLong(0));
    if (!position) return Ref();
    Ref first = item(iloc.get(), position.get());
    if (!first) return Ref();
    return Ref(PyObject_Str(first.get()));
}

// column.astype(int) scaled to nanoseconds: by the integer 10**(19-n),
// exactly, for n <= 19 digits (a datetime64[ns] array); by the float
// 10.0**(19-n) beyond (a float column). An int64 column is its own astype(int).
Ref scaled_epoch_counts(PyObject* column, Py_ssize_t digits) {
    if (digits <= 19) {
        Ref counts = scaled_to_nanoseconds(column, static_cast<int>(19 - digits));
        if (!counts || counts.get() != Py_None) return counts;
    }
    if (check_unsigned_fits(column) < 0) return Ref();
    Ref integers = call_method(column, names.astype, {reinterpret_cast<PyObject*>(&PyLong_Type)});
    if (!integers) return Ref();
    if (digits > 19) {
        Ref factor(PyFloat_FromDouble(std::pow(10.0, static_cast<double>(19 - digits))));
        if (!factor) return Ref();
        return Ref(PyNumber_Multiply(integers.get(), factor.get()));
    }
    const int exponent = static_cast<int>(19 - digits);
    Ref nanoseconds = scaled_to_nanoseconds(integers.get(), exponent);
    if (!nanoseconds || nanoseconds.get() != Py_None) return nanoseconds;
    if (exponent == 0) return integers;
    long long factor_value = 1;
    for (int i = 0; i < exponent; ++i) factor_value *= 10;
    if (check_scaling_fits(integers.get(), factor_value, exponent) < 0) return Ref();
    Ref factor(PyLong_FromLongLong(factor_value));
    if (!factor) return Ref();
    return Ref(PyNumber_Multiply(integers.get(), factor.get()));
}

}  // namespace

int deprecates_inplace(PyObject* df) {
    Ref frame_type(PyObject_Type(df));
    if (!frame_type) return -1;
    return PyObject_HasAttr(frame_type.get(), names.check_inplace_deprecation);
}

int index_by_utc_time(Ref& df) {
    TimeSource source;
    if (find_time_source(std::move(df), source) < 0) return -1;
    df = source.frame.copy();
    const Py_ssize_t rows = PyObject_Length(df.get());
    if (rows < 0) return -1;

    // What becomes the index: the exactly scaled counts when the first value
    // is all digits (as datetime64[ns], which the index takes as they are);
    // else the column parsed by pd.to_datetime, whose instants are kept (text
    // with a UTC offset, zone-aware times) and shown in UTC, naive times
    // being taken as UTC. A table without rows gets an empty index.
    Ref values;
    bool parse_as_utc = false;
    bool exact_nanoseconds = true;
    if (rows == 0) {
        values = nanoseconds_view(int64_array(0).get());
    } else {
        Ref column = time_values(source);
        if (!column) return -1;
        Ref first_text = first_value_text(column.get());
        if (!first_text) return -1;
        const Py_ssize_t digits = digit_count(first_text.get());
        if (digits > 0) {
            values = scaled_epoch_counts(column.get(), digits);
            exact_nanoseconds = digits <= 19;
        } else {
            values = std::move(column);
            parse_as_utc = true;
        }
    }
    if (!values) return -1;

    Ref pd = global(names.pd);
    if (!pd) return -1;
    Ref index_type = attr(pd.get(), names.DatetimeIndex);
    if (!index_type) return -1;
    if (!exact_nanoseconds || parse_as_utc) {
        Ref to_datetime = attr(pd.get(), names.to_datetime);
        if (!to_datetime) return -1;
        values = parse_as_utc ? call(to_datetime.get(), {values.get()}, names.kw_utc, {Py_True})
                              : call(to_datetime.get(), {values.get()});
        if (!values) return -1;
    }
    Ref index = call(index_type.get(), {values.get()});
    if (!index) return -1;
    values = Ref();
    if (!parse_as_utc) {
        index = call_method(index.get(), names.tz_localize, {names.UTC});
        if (!index) return -1;
    }
    if (PyObject_SetAttr(index.get(), names.name, names.DateTime) < 0) return -1;
    if (source.stored_label && PyObject_DelItem(df.get(), source.stored_label.get()) < 0) return -1;
    return PyObject_SetAttr(df.get(), names.index, index.get());
}

}  // namespace light_data
