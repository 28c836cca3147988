#include "method_table.hpp"

#include "reader_methods.hpp"

namespace light_data {

namespace {
constexpr EntryTypeCheck no_check{0, nullptr, false};
}

const MethodDescription method_table[] = {
    {"__init__", LIGHT_DATA_METHOD_NAME("__init__"),
     {"self", "date", "instrument", "data_type", "use_minio_storage", "silent_fail",
      "data_sources", "file_type", "use_cache", "write_cache"},
     10, 4,
     {{"date", "int"}, {"instrument", "Instrument"}, {"data_type", "DataType"},
      {"use_minio_storage", "bool"}, {"silent_fail", "bool"},
      {"data_sources", "List[DataSource]"}, {"file_type", "FileType"},
      {"use_cache", "bool"}, {"write_cache", "bool"}},
     9, nullptr,
     {{1, &PyLong_Type, false}, {6, &PyList_Type, true}}, 2, reader_init},
    {"get_path", LIGHT_DATA_METHOD_NAME("get_path"), {"self", "data_source"}, 2, 2,
     {{"data_source", "DataSource"}}, 1, "str", {no_check, no_check}, 0, reader_get_path},
    {"compute_cmc_historical_snapshot_date",
     LIGHT_DATA_METHOD_NAME("compute_cmc_historical_snapshot_date"), {"self", "date"}, 2, 2,
     {{"date", "int"}}, 1, "int", {{1, &PyLong_Type, false}, no_check}, 1,
     reader_compute_cmc_historical_snapshot_date},
    {"get_raw_data_path", LIGHT_DATA_METHOD_NAME("get_raw_data_path"), {"self", "data_source"},
     2, 2, {{"data_source", "DataSource"}}, 1, "str", {no_check, no_check}, 0,
     reader_get_raw_data_path},
    {"exists", LIGHT_DATA_METHOD_NAME("exists"), {"self"}, 1, 1, {}, 0, nullptr,
     {no_check, no_check}, 0, reader_exists},
    {"get_raw", LIGHT_DATA_METHOD_NAME("get_raw"), {"self"}, 1, 1, {}, 0, "pd.DataFrame",
     {no_check, no_check}, 0, reader_get_raw},
    {"_read_cache", LIGHT_DATA_METHOD_NAME("_read_cache"), {"self", "cache_path"}, 2, 2,
     {{"cache_path", "str"}}, 1, "pd.DataFrame", {{1, &PyUnicode_Type, false}, no_check}, 1,
     reader_read_cache},
    {"remove_cache", LIGHT_DATA_METHOD_NAME("remove_cache"), {"self"}, 1, 1, {}, 0, nullptr,
     {no_check, no_check}, 0, reader_remove_cache},
    {"_get", LIGHT_DATA_METHOD_NAME("_get"), {"self"}, 1, 1, {}, 0, nullptr,
     {no_check, no_check}, 0, reader_get_private},
    {"get", LIGHT_DATA_METHOD_NAME("get"), {"self"}, 1, 1, {}, 0, "Optional[pd.DataFrame]",
     {no_check, no_check}, 0, reader_get},
    {"write", LIGHT_DATA_METHOD_NAME("write"), {"self", "df"}, 2, 2,
     {{"df", "pd.DataFrame"}}, 1, "None", {no_check, no_check}, 0, reader_write},
    {"get_raw_data", LIGHT_DATA_METHOD_NAME("get_raw_data"), {"self"}, 1, 1, {}, 0, nullptr,
     {no_check, no_check}, 0, reader_get_raw_data},
    {"write_raw_data", LIGHT_DATA_METHOD_NAME("write_raw_data"), {"self", "df"}, 2, 2,
     {{"df", "pd.DataFrame"}}, 1, "None", {no_check, no_check}, 0, reader_write_raw_data},
};

const int method_count = static_cast<int>(sizeof(method_table) / sizeof(method_table[0]));

}  // namespace light_data
