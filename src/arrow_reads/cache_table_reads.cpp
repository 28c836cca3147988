#include "cache_table_reads.hpp"

#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/record_batch.h>
#include <arrow/util/thread_pool.h>

#include <algorithm>
#include <exception>

namespace light_data {

namespace {

std::shared_ptr<arrow::Table> read_one(const std::shared_ptr<arrow::Buffer>& file) {
    if (!file) return nullptr;
    auto options = arrow::ipc::IpcReadOptions::Defaults();
    options.use_threads = false;  // the files are read side by side instead
    auto input = std::make_shared<arrow::io::BufferReader>(file);
    auto opened = arrow::ipc::RecordBatchFileReader::Open(input, options);
    if (!opened.ok()) return nullptr;
    const std::shared_ptr<arrow::ipc::RecordBatchFileReader>& reader = *opened;
    std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
    batches.reserve(static_cast<size_t>(reader->num_record_batches()));
    for (int i = 0; i < reader->num_record_batches(); ++i) {
        auto batch = reader->ReadRecordBatch(i);
        if (!batch.ok()) return nullptr;
        batches.push_back(std::move(*batch));
    }
    auto table = arrow::Table::FromRecordBatches(reader->schema(), batches);
    return table.ok() ? *table : nullptr;
}

}  // namespace

CacheTableReads::CacheTableReads(std::vector<std::shared_ptr<arrow::Buffer>> files)
    : files_(std::move(files)), tables_(files_.size()) {}

CacheTableReads::~CacheTableReads() {
    // The threads read into this object: they must be done before it goes.
    for (arrow::Future<>& thread : started_) thread.Wait();
}

void CacheTableReads::work() noexcept {
    for (size_t i = next_++; i < files_.size(); i = next_++) {
        try {
            tables_[i] = read_one(files_[i]);
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
    for (arrow::Future<>& thread : started_) thread.Wait();
    started_.clear();
    return std::move(tables_);
}

}  // namespace light_data
