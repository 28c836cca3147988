#include "cache_table_reads.hpp"

#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/record_batch.h>
#include <arrow/util/thread_pool.h>

#include <sys/mman.h>

#include <algorithm>
#include <exception>

#include "cache_entry_open.hpp"

namespace light_data {

namespace {

arrow::Result<std::shared_ptr<arrow::ipc::RecordBatchFileReader>> opened(const std::shared_ptr<arrow::Buffer>& file,
                                                                         const std::vector<int>& fields) {
    auto options = arrow::ipc::IpcReadOptions::Defaults();
    options.use_threads = false;  // the files are read side by side instead
    options.included_fields = fields;
    return arrow::ipc::RecordBatchFileReader::Open(std::make_shared<arrow::io::BufferReader>(file), options);
}

// A cache file mapped read-only, unmapped when the last buffer over it goes.
class MappedCacheFile : public arrow::Buffer {
public:
    MappedCacheFile(const void* address, int64_t size) : arrow::Buffer(static_cast<const uint8_t*>(address), size) {}
    MappedCacheFile(const MappedCacheFile&) = delete;
    MappedCacheFile& operator=(const MappedCacheFile&) = delete;
    ~MappedCacheFile() override { munmap(const_cast<uint8_t*>(data_), static_cast<size_t>(size_)); }
};

// The entry at `path`, opened by the cache's safe open and mapped; nullptr
// when it cannot be (its reader then opens it again, and reports why).
std::shared_ptr<arrow::Buffer> mapped(const std::string& path) {
    mode_t mode = 0;
    const int fd = light_data::open_regular_entry(AT_FDCWD, path.c_str(), false, mode);
    if (fd < 0) return nullptr;
    struct stat status;
    void* address = MAP_FAILED;
    if (fstat(fd, &status) == 0 && status.st_size > 0) {
        address = mmap(nullptr, static_cast<size_t>(status.st_size), PROT_READ, MAP_SHARED, fd, 0);
    }
    close(fd);
    if (address == MAP_FAILED) return nullptr;
    try {
        return std::make_shared<MappedCacheFile>(address, static_cast<int64_t>(status.st_size));
    } catch (const std::exception&) {
        munmap(address, static_cast<size_t>(status.st_size));
        return nullptr;
    }
}

}  // namespace

std::shared_ptr<arrow::Table> CacheTableReads::read(const CacheFileToRead& entry) const {
    const std::shared_ptr<arrow::Buffer> file = entry.bytes ? entry.bytes
                                                : entry.path.empty() ? nullptr
                                                                     : mapped(entry.path);
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

CacheTableReads::CacheTableReads(std::vector<CacheFileToRead> files, std::vector<std::string> names,
                                 std::vector<int> fields)
    : files_(std::move(files)), named_(true), names_(std::move(names)), fields_(std::move(fields)),
      tables_(files_.size()) {}

CacheTableReads::CacheTableReads(std::vector<CacheFileToRead> files)
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
