#include "cache_table_reads.hpp"

#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/record_batch.h>
#include <arrow/util/thread_pool.h>

#include <algorithm>
#include <exception>

namespace light_data {

namespace {

arrow::Result<std::shared_ptr<arrow::ipc::RecordBatchFileReader>> opened(const std::shared_ptr<arrow::Buffer>& file,
                                                                         const std::vector<int>& fields) {
    auto options = arrow::ipc::IpcReadOptions::Defaults();
    options.use_threads = false;  // the files are read side by side instead
    options.included_fields = fields;
    return arrow::ipc::RecordBatchFileReader::Open(std::make_shared<arrow::io::BufferReader>(file), options);
}

}  // namespace

std::shared_ptr<arrow::Table> CacheTableReads::read(const std::shared_ptr<arrow::Buffer>& file) const {
    if (!file) return nullptr;
    auto reader = opened(file, {});
    if (!reader.ok()) return nullptr;
    if (named_) {
        if ((*reader)->schema()->field_names() != names_) return nullptr;
        reader = opened(file, fields_);
        if (!reader.ok()) return nullptr;
    }
    const int count = (*reader)->num_record_batches();
    std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
    batches.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto batch = (*reader)->ReadRecordBatch(i);
        if (!batch.ok()) return nullptr;
        batches.push_back(std::move(*batch));
    }
    auto table = arrow::Table::FromRecordBatches((*reader)->schema(), batches);
    return table.ok() ? *table : nullptr;
}

CacheTableReads::CacheTableReads(std::vector<std::shared_ptr<arrow::Buffer>> files, std::vector<std::string> names,
                                 std::vector<int> fields)
    : files_(std::move(files)), named_(true), names_(std::move(names)), fields_(std::move(fields)),
      tables_(files_.size()) {}

CacheTableReads::CacheTableReads(std::vector<std::shared_ptr<arrow::Buffer>> files)
    : files_(std::move(files)), tables_(files_.size()) {}

CacheTableReads::~CacheTableReads() { wait(); }

void CacheTableReads::wait() {
    // The threads read into this object: they must be done before it goes.
    for (arrow::Future<>& thread : started_) thread.Wait();
    started_.clear();
}

void CacheTableReads::work() noexcept {
    for (size_t i = next_++; i < files_.size(); i = next_++) {
        try {
            tables_[i] = read(files_[i]);
        } catch (const std::exception&) {  // an allocation that failed: read again elsewhere
            tables_[i] = nullptr;
        }
    }
}

void CacheTableReads::start(int threads) {
    const size_t wanted = std::min(files_.size(), static_cast<size_t>(std::max(threads, 1)));
    for (size_t i = 0; i < wanted; ++i) {
        auto submitted = arrow::internal::GetCpuThreadPool()->Submit([this]() { work(); });
        if (!submitted.ok()) break;
        started_.push_back(std::move(*submitted));
    }
}

std::vector<std::shared_ptr<arrow::Table>> CacheTableReads::finish() {
    work();  // whatever no thread has taken yet
    wait();
    return std::move(tables_);
}

}  // namespace light_data
