#include "method_table.hpp"

#include "reader_methods.hpp"

namespace light_data {

namespace {

// Parameter lists shared by several methods.
constexpr const char* self_only[] = {"self"};
constexpr const char* self_and_source[] = {"self", "data_source"};
constexpr const char* self_and_df[] = {"self", "df"};
constexpr ParameterAnnotation source_annotation[] = {{"data_source", "DataSource"}};
constexpr ParameterAnnotation df_annotation[] = {{"df", "pd.DataFrame"}};

constexpr const char* init_parameters[] = {
    "self",        "date",         "instrument", "data_type", "use_minio_storage",
    "silent_fail", "data_sources", "file_type",  "use_cache", "write_cache"};
constexpr ParameterAnnotation init_annotations[] = {
    {"date", "int"},           {"instrument", "Instrument"},
    {"data_type", "DataType"}, {"use_minio_storage", "bool"},
    {"silent_fail", "bool"},   {"data_sources", "List[DataSource]"},
    {"file_type", "FileType"}, {"use_cache", "bool"},
    {"write_cache", "bool"}};
const EntryTypeCheck init_checks[] = {{1, &PyLong_Type, false}, {6, &PyList_Type, true}};

constexpr const char* snapshot_parameters[] = {"self", "date"};
constexpr ParameterAnnotation snapshot_annotations[] = {{"date", "int"}};
const EntryTypeCheck snapshot_checks[] = {{1, &PyLong_Type, false}};

constexpr const char* read_cache_parameters[] = {"self", "cache_path"};
constexpr ParameterAnnotation read_cache_annotations[] = {{"cache_path", "str"}};
const EntryTypeCheck read_cache_checks[] = {{1, &PyUnicode_Type, false}};

#define METHOD(method) .name = method, .traceback_name = LIGHT_DATA_METHOD_NAME(method)

const MethodDescription methods[] = {
    {METHOD("__init__"), .parameters = init_parameters, .optional_count = 6,
     .annotations = init_annotations, .checks = init_checks, .body = reader_init},
    {METHOD("get_path"), .parameters = self_and_source, .annotations = source_annotation,
     .return_annotation = "str", .body = reader_get_path},
    {METHOD("compute_cmc_historical_snapshot_date"), .parameters = snapshot_parameters,
     .annotations = snapshot_annotations, .return_annotation = "int", .checks = snapshot_checks,
     .body = reader_compute_cmc_historical_snapshot_date},
    {METHOD("get_raw_data_path"), .parameters = self_and_source, .annotations = source_annotation,
     .return_annotation = "str", .body = reader_get_raw_data_path},
    {METHOD("exists"), .parameters = self_only, .body = reader_exists},
    {METHOD("get_raw"), .parameters = self_only, .return_annotation = "pd.DataFrame",
     .body = reader_get_raw},
    {METHOD("_read_cache"), .parameters = read_cache_parameters,
     .annotations = read_cache_annotations, .return_annotation = "pd.DataFrame",
     .checks = read_cache_checks, .body = reader_read_cache},
    {METHOD("remove_cache"), .parameters = self_only, .body = reader_remove_cache},
    {METHOD("_get"), .parameters = self_only, .body = reader_get_private},
    {METHOD("get"), .parameters = self_only, .return_annotation = "Optional[pd.DataFrame]",
     .body = reader_get},
    {METHOD("write"), .parameters = self_and_df, .annotations = df_annotation,
     .return_annotation = "None", .body = reader_write},
    {METHOD("get_raw_data"), .parameters = self_only, .body = reader_get_raw_data},
    {METHOD("write_raw_data"), .parameters = self_and_df, .annotations = df_annotation,
     .return_annotation = "None", .body = reader_write_raw_data},
};

#undef METHOD

}  // namespace

const std::span<const MethodDescription> method_table = methods;

}  // namespace light_data
