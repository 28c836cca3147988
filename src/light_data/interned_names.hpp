// Interned strings for every name and fixed text the reader uses, and the
// keyword-name tuples of the calls it makes with keywords. They are made once,
// when the module is first initialised, and kept in the module state.
#pragma once

#include <Python.h>

namespace light_data {

// X(identifier, text): one interned string each.
#define LIGHT_DATA_NAMES(X)                                                    \
    /* module globals */                                                      \
    X(hashlib, "hashlib") X(logging, "logging") X(os, "os")                  \
    X(traceback, "traceback") X(List, "List")            \
    X(Optional, "Optional") X(pandas, "pandas") X(pd, "pd")                  \
    X(DataDestination, "DataDestination") X(DataSource, "DataSource")        \
    X(DataType, "DataType") X(PathManager, "PathManager")                    \
    X(ConfigLoader, "ConfigLoader") X(DataIOModule, "DataIOModule")          \
    X(FileType, "FileType") X(Instrument, "Instrument")                      \
    X(TradingDay, "TradingDay") X(CryptoMktData, "CryptoMktData")            \
    X(dunder_test, "__test__") X(dunder_builtins, "__builtins__")            \
    X(dunder_module, "__module__") X(dunder_qualname, "__qualname__")        \
    X(dunder_doc, "__doc__") X(dunder_class, "__class__")                    \
    X(dunder_name, "__name__") X(dunder_getattribute, "__getattribute__")     \
    /* reader attributes */                                                   \
    X(use_minio_storage, "use_minio_storage") X(date, "date")                \
    X(instrument, "instrument") X(data_type, "data_type")                    \
    X(silent_fail, "silent_fail") X(data_sources, "data_sources")            \
    X(file_type_attr, "_file_type") X(cache_dir, "cache_dir")                \
    X(use_cache_attr, "_use_cache") X(write_cache_attr, "_write_cache")      \
    X(trading_day, "trading_day") X(io_obj, "io_obj")                        \
    /* keywords and annotation keys not named above */                        \
    X(file_type, "file_type") X(data_source, "data_source")                  \
    X(dunder_return, "return")                                               \
    /* collaborators and their members */                                     \
    X(config, "config") X(getboolean, "getboolean") X(tardis, "tardis")      \
    X(binance, "binance") X(coin_market_cap, "coin_market_cap")              \
    X(DerivativeTicker, "DerivativeTicker") X(Liquidations, "Liquidations")  \
    X(Metrics, "Metrics") X(processed_data, "processed_data")                \
    X(raw_mkt_data, "raw_mkt_data") X(data_destination, "data_destination")  \
    X(get_mktdata_path, "get_mktdata_path")                                  \
    X(get_last_sunday, "get_last_sunday") X(date_int, "date_int")            \
    X(exists, "exists") X(read_file_wrapper, "read_file_wrapper")            \
    X(read_file_identified, "read_file_identified")                          \
    X(load_path, "load_path") X(write_file_wrapper, "write_file_wrapper")    \
    X(dataframe, "dataframe") X(write_path, "write_path") X(Feather, "Feather") \
    /* reader methods called on self */                                       \
    X(get_path, "get_path") X(get_raw_data_path, "get_raw_data_path")        \
    X(compute_cmc_historical_snapshot_date, "compute_cmc_historical_snapshot_date") \
    X(read_cache, "_read_cache") X(remove_cache, "remove_cache")             \
    X(get_raw, "get_raw") X(get_private, "_get")                              \
    /* standard library members */                                            \
    X(encode, "encode") X(sha256, "sha256") X(hexdigest, "hexdigest")        \
    X(path, "path") X(join, "join") X(makedirs, "makedirs")                  \
    X(exist_ok, "exist_ok") X(remove, "remove") X(replace, "replace")        \
    X(debug, "debug") X(info, "info") X(exception, "exception")              \
    X(format_exc, "format_exc") X(close, "close")                                              \
    /* pandas members */                                                      \
    X(empty, "empty") X(to_feather, "to_feather") X(read_feather, "read_feather") \
    X(DataFrame, "DataFrame") X(columns, "columns") X(rename, "rename")      \
    X(iloc, "iloc") X(astype, "astype") X(DatetimeIndex, "DatetimeIndex")    \
    X(to_datetime, "to_datetime") X(tz_localize, "tz_localize")              \
    X(set_index, "set_index") X(inplace, "inplace") X(utc, "utc") X(to_numpy, "to_numpy")  \
    X(min, "min") X(max, "max") X(index, "index") X(dtype, "dtype") X(kind, "kind")      \
    X(view, "view") X(empty_array, "empty") X(int64_dtype, "int64")           \
    X(nanosecond_dtype, "M8[ns]") X(name, "name") X(Index, "Index") X(copy, "copy") X(deep, "deep")                            \
    X(check_inplace_deprecation, "_check_inplace_deprecation") \
    X(isna, "isna") X(hasnans, "hasnans") X(na_value, "na_value") X(float64_dtype, "float64") \
    X(eq, "eq") X(mask, "mask") X(dropna, "dropna") X(nullable_int64_dtype, "Int64")                                              \
    /* configuration keys */                                                  \
    X(env, "env") X(data_related, "data_related")                            \
    X(LOCAL_DATA_CACHE_DIR, "LOCAL_DATA_CACHE_DIR")                          \
    /* time columns */                                                        \
    X(DateTime, "DateTime") X(timestamp, "timestamp") X(Time, "Time")        \
    X(CloseTime, "CloseTime") X(create_time, "create_time") X(UTC, "UTC")    \
    /* message pieces */                                                      \
    X(empty_text, "") X(feather_suffix, ".feather") X(reading, "reading ")   \
    X(reading_from_cache, "Reading from cache: ") X(cache_prefix, "cache ")  \
    X(space, " ") X(read_from_cache, " read from cache: ")                   \
    X(removed_cache, " removed cache: ") X(error_reading, "Error reading ")  \
    X(error_reading_cache, "Error reading cache ")                           \
    X(error_removing_cache, "Error removing cache ")               \
    X(error_writing_cache, "Error writing cache ")                         \
    X(exception_equals, ", Exception = ") X(missing_data, "Missing data: ")

struct InternedNames {
#define LIGHT_DATA_DECLARE(identifier, text) PyObject* identifier;
    LIGHT_DATA_NAMES(LIGHT_DATA_DECLARE)
#undef LIGHT_DATA_DECLARE
    // Keyword-name tuples, one per shape of keyword call.
    PyObject* kw_date_int;
    PyObject* kw_data_source;
    PyObject* kw_load_path;
    PyObject* kw_exist_ok;
    PyObject* kw_columns;
    PyObject* kw_inplace;
    PyObject* kw_utc;
    PyObject* kw_name;
    PyObject* kw_deep;
    PyObject* kw_write;             // (dataframe, write_path)
    PyObject* kw_io_module;         // (file_type, use_minio_storage)
    PyObject* kw_mktdata_path;      // (date, instrument, data_type, data_source, data_destination)
    PyObject* kw_to_numpy;          // (dtype, na_value)
    PyObject* one;                  // the int 1
    PyObject* zero;                 // the int 0
    PyObject* nan;                  // the float NaN
};

// Fills `names`; -1 on failure.
int make_interned_names(InternedNames& names);

}  // namespace light_data
