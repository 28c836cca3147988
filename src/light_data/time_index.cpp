#include "time_index.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "epoch_counts.hpp"
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

// Where the time of a table comes from: the table to go on with, the label
// of its column that holds the time and gives way to the index (none when
// the time is computed from a column that stays), and whether the time is a
// close time, stamped one after it.
struct TimeSource {
    Ref frame;
    Ref stored_label;
    bool close_time = false;
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
// and stays a column (a bar is stamped with its end, one unit after its
// close time); with none of them, "DateTime" itself is looked up and fails.
int find_time_source(Ref df, TimeSource& source) {
    for (PyObject* label : time_labels()) {
        int present = has_column(df.get(), label);
        if (present < 0) return -1;
        if (!present) continue;
        if (label == names.CloseTime) {
            source.close_time = true;
            break;
        }
        return relabel(std::move(df), label, source);
    }
    source.frame = std::move(df);
    return 0;
}

// The column that holds the time, as stored (a close time without its one).
Ref time_column(const TimeSource& source) {
    PyObject* label = source.stored_label ? source.stored_label.get()
                      : source.close_time ? names.CloseTime
                                          : names.DateTime;
    return item(source.frame.get(), label);
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

// A contiguous native buffer of `array` whose items have the one-character
// struct format `format` (writable when asked); false with no error set when
// it has none, for instance an array of another type or byte order.
bool typed_buffer(PyObject* array, BufferView& buffer, const char* formats, bool writable = false) {
    const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (buffer.acquire(array, flags) < 0) {
        PyErr_Clear();
        return false;
    }
    const Py_buffer& view = buffer.view();
    bool matches = view.itemsize == 8 && view.format != nullptr && view.format[0] != '\0' &&
                   view.format[1] == '\0';
    if (matches) {
        matches = false;
        for (const char* format = formats; *format != '\0'; ++format) {
            matches = matches || view.format[0] == *format;
        }
    }
    if (!matches) buffer.release();
    return matches;
}

bool int64_buffer(PyObject* array, BufferView& buffer, bool writable = false) {
    return typed_buffer(array, buffer, "lq", writable);
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

// A new int64 array of `count` items and its writable buffer.
Ref writable_int64_array(Py_ssize_t count, BufferView& buffer) {
    Ref array = int64_array(count);
    if (array && !int64_buffer(array.get(), buffer, true)) {
        PyErr_SetString(PyExc_RuntimeError, "numpy.empty gave no int64 buffer");
        return Ref();
    }
    return array;
}

// The counts of `in` (with `missing` marked, which may be NULL), plus one
// for a close time, scaled to nanoseconds by the digit count of the first
// present value: a new datetime64[ns] array, NaT where missing.
Ref counts_to_nanoseconds(const int64_t* in, Py_ssize_t count, bool close_time,
                          const uint8_t* missing, BufferView& target, PyObject* target_array) {
    const Py_ssize_t position = first_present(missing, count);
    int exponent = 0;
    if (position < count) {
        int64_t first = 0;
        if (first_count(in, position, close_time, first) < 0) return Ref();
        exponent = nanosecond_exponent(first);
    }
    auto* out = static_cast<int64_t*>(target.view().buf);
    if (scale_counts(in, out, count, exponent, close_time, missing) < 0) return Ref();
    target.release();
    return nanoseconds_view(target_array);
}

// column.to_numpy(dtype=dtype, na_value=na_value)
Ref column_values(PyObject* column, PyObject* dtype, PyObject* na_value) {
    return call_method(column, names.to_numpy, {}, names.kw_to_numpy, {dtype, na_value});
}

// An unsigned column holding counts beyond the int64 range would wrap to
// negative numbers in astype(int) (numpy casts without checking); refuse it.
int check_unsigned_fits(PyObject* column) {
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

// A float column of epoch counts (a vendor file with empty time fields loads
// as float; some vendors stamp fractional seconds): the counts scaled by the
// digit count of the first present whole part, a fraction kept to the
// microsecond, NaT where missing.
Ref float_epoch_nanoseconds(PyObject* column, bool close_time) {
    Ref values = column_values(column, names.float64_dtype, names.nan);
    if (!values) return Ref();
    BufferView source;
    if (!typed_buffer(values.get(), source, "d")) return Ref::borrow(Py_None);
    const Py_ssize_t count = source.view().len / 8;
    BufferView target;
    Ref target_array = writable_int64_array(count, target);
    if (!target_array) return Ref();
    if (float_counts_to_nanoseconds(static_cast<const double*>(source.view().buf),
                                    static_cast<int64_t*>(target.view().buf), count,
                                    close_time) < 0) {
        return Ref();
    }
    target.release();
    return nanoseconds_view(target_array.get());
}

// An integer column with missing values (a nullable or Arrow-backed dtype):
// the present counts scaled exactly, NaT where missing.
Ref nullable_epoch_nanoseconds(PyObject* column, bool close_time, bool is_unsigned) {
    if (is_unsigned && check_unsigned_fits(column) < 0) return Ref();
    Ref values = column_values(column, names.int64_dtype, names.zero);
    if (!values) return Ref();
    Ref marks_series = call_method(column, names.isna, {});
    if (!marks_series) return Ref();
    Ref marks = call_method(marks_series.get(), names.to_numpy, {});
    if (!marks) return Ref();
    BufferView source, flags;
    if (!int64_buffer(values.get(), source) || flags.acquire(marks.get(), PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    const Py_ssize_t count = source.view().len / 8;
    if (flags.view().len != count) return Ref::borrow(Py_None);
    BufferView target;
    Ref target_array = writable_int64_array(count, target);
    if (!target_array) return Ref();
    return counts_to_nanoseconds(static_cast<const int64_t*>(source.view().buf), count,
                                 close_time, static_cast<const uint8_t*>(flags.view().buf),
                                 target, target_array.get());
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

// A text column of epoch counts with empty fields (a vendor file read as
// text: None, NaN, NA or ""), or a close time as text: when its first present
// value is all digits, the counts read exactly as integers (astype("Int64"),
// which refuses any other text), scaled, NaT where a field is empty. Py_None
// for text that is not a count, and for a column of counts without gaps,
// which the first value's text decides about.
Ref text_epoch_nanoseconds(PyObject* column, bool close_time) {
    Ref blanks = call_method(column, names.eq, {names.empty_text});
    if (!blanks) return Ref();
    Ref fields = call_method(column, names.mask, {blanks.get()});
    if (!fields) return Ref();
    blanks = Ref();
    int gaps = truth(attr(fields.get(), names.hasnans));
    if (gaps < 0) return Ref();
    if (!gaps && !close_time) return Ref::borrow(Py_None);
    Ref present = call_method(fields.get(), names.dropna, {});
    if (!present) return Ref();
    const Py_ssize_t count = PyObject_Length(present.get());
    if (count <= 0) return count < 0 ? Ref() : Ref::borrow(Py_None);
    Ref first_text = first_value_text(present.get());
    if (!first_text) return Ref();
    if (digit_count(first_text.get()) == 0) return Ref::borrow(Py_None);
    present = Ref();
    Ref counts = call_method(fields.get(), names.astype, {names.nullable_int64_dtype});
    if (!counts) return Ref();
    return nullable_epoch_nanoseconds(counts.get(), close_time, false);
}

// The time of a column of epoch counts as a new datetime64[ns] array, scaled
// exactly: int64 columns, whole-number float columns, integer columns with
// missing values and digit text with empty fields (NaT there). Py_None for
// any other column, which the first value's text decides about.
Ref epoch_nanoseconds(PyObject* column, bool close_time) {
    Ref dtype = attr(column, names.dtype);
    if (!dtype) {
        // Not a column: a label repeated in the table gives a table, which
        // the general path refuses.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    Ref kind = attr(dtype.get(), names.kind);
    if (!kind) return Ref();
    if (!PyUnicode_Check(kind.get()) || PyUnicode_GET_LENGTH(kind.get()) != 1)
        return Ref::borrow(Py_None);
    const Py_UCS4 letter = PyUnicode_READ_CHAR(kind.get(), 0);
    if (letter == 'f') return float_epoch_nanoseconds(column, close_time);
    if (letter == 'O' || letter == 'U') return text_epoch_nanoseconds(column, close_time);
    if (letter != 'i' && letter != 'u') return Ref::borrow(Py_None);

    Ref values = call_method(column, names.to_numpy, {});
    if (!values) return Ref();
    BufferView source;
    if (int64_buffer(values.get(), source)) {
        const auto* in = static_cast<const int64_t*>(source.view().buf);
        const Py_ssize_t count = source.view().len / 8;
        int64_t first = 0;
        if (first_count(in, 0, close_time, first) < 0) return Ref();
        // Nanoseconds already: read through a datetime view, never written.
        if (nanosecond_exponent(first) == 0 && !close_time) return nanoseconds_view(values.get());
        BufferView target;
        Ref target_array = writable_int64_array(count, target);
        if (!target_array) return Ref();
        return counts_to_nanoseconds(in, count, close_time, nullptr, target, target_array.get());
    }
    int has_missing = truth(attr(column, names.hasnans));
    if (has_missing <= 0) return has_missing < 0 ? Ref() : Ref::borrow(Py_None);
    return nullable_epoch_nanoseconds(column, close_time, letter == 'u');
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
            PyErr_Format(PyExc_OverflowError,
                         "DateTime value %S scaled by 10**%d to nanoseconds does not fit in a "
                         "signed 64-bit integer",
                         extreme.get(), exponent);
            return -1;
        }
    }
    return 0;
}

int unsigned_column(PyObject* column) {
    Ref dtype = attr(column, names.dtype);
    if (!dtype) return -1;
    Ref kind = attr(dtype.get(), names.kind);
    if (!kind) return -1;
    return PyUnicode_Check(kind.get()) && PyUnicode_CompareWithASCIIString(kind.get(), "u") == 0;
}

// column.astype(int) scaled to nanoseconds, for a column of digit text or of
// another integer type: by the integer 10**(19-n), exactly, for n <= 19
// digits (a datetime64[ns] array); by the float 10.0**(19-n) beyond (a
// float column).
Ref scaled_epoch_counts(PyObject* column, Py_ssize_t digits) {
    int is_unsigned = unsigned_column(column);
    if (is_unsigned < 0 || (is_unsigned && check_unsigned_fits(column) < 0)) return Ref();
    Ref integers = call_method(column, names.astype, {reinterpret_cast<PyObject*>(&PyLong_Type)});
    if (!integers) return Ref();
    if (digits > 19) {
        Ref factor(PyFloat_FromDouble(std::pow(10.0, static_cast<double>(19 - digits))));
        if (!factor) return Ref();
        return Ref(PyNumber_Multiply(integers.get(), factor.get()));
    }
    const int exponent = static_cast<int>(19 - digits);
    Ref values = call_method(integers.get(), names.to_numpy, {});
    if (!values) return Ref();
    BufferView source;
    if (int64_buffer(values.get(), source)) {
        if (exponent == 0) return nanoseconds_view(values.get());
        const Py_ssize_t count = source.view().len / 8;
        BufferView target;
        Ref target_array = writable_int64_array(count, target);
        if (!target_array) return Ref();
        if (scale_counts(static_cast<const int64_t*>(source.view().buf),
                         static_cast<int64_t*>(target.view().buf), count, exponent, false,
                         nullptr) < 0) {
            return Ref();
        }
        target.release();
        return nanoseconds_view(target_array.get());
    }
    if (exponent == 0) return integers;
    long long factor_value = 1;
    for (int i = 0; i < exponent; ++i) factor_value *= 10;
    if (check_scaling_fits(integers.get(), factor_value, exponent) < 0) return Ref();
    Ref factor(PyLong_FromLongLong(factor_value));
    if (!factor) return Ref();
    return Ref(PyNumber_Multiply(integers.get(), factor.get()));
}

}  // namespace

std::array<PyObject*, 4> time_labels() {
    return {names.timestamp, names.Time, names.CloseTime, names.create_time};
}

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

    // What becomes the index: epoch counts scaled exactly (as datetime64[ns],
    // which the index takes as they are), NaT where a count is missing; else,
    // when the first value is all digits, the column read as integers and
    // scaled; else the column parsed by pd.to_datetime, whose instants are
    // kept (text with a UTC offset, zone-aware times) and shown in UTC, naive
    // times being taken as UTC. A table without rows gets an empty index.
    Ref values;
    bool parse_as_utc = false;
    bool exact_nanoseconds = true;
    if (rows == 0) {
        values = nanoseconds_view(int64_array(0).get());
    } else {
        Ref column = time_column(source);
        if (!column) return -1;
        values = epoch_nanoseconds(column.get(), source.close_time);
        if (values && values.get() == Py_None) {
            if (source.close_time) column = Ref(PyNumber_Add(column.get(), names.one));
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
