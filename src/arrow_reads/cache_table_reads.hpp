// Cache files read into Arrow tables by Arrow's C++ library, many at a time,
// without the interpreter lock.
#pragma once

#include <arrow/buffer.h>
#include <arrow/table.h>
#include <arrow/util/future.h>

#include <atomic>
#include <memory>
#include <vector>

namespace light_data {

// The reads of a batch of cache files (the bytes of each, or nullptr), as
// pyarrow's ipc.open_file(...).read_all() reads each without Arrow's own
// threads. start() hands them to Arrow's CPU threads, which live on between
// batches (a thread started for each batch would fault in fresh memory for
// every table it decodes), and returns at once; finish() waits for them.
// Neither touches the interpreter: call finish() with its lock released.
class CacheTableReads {
public:
    explicit CacheTableReads(std::vector<std::shared_ptr<arrow::Buffer>> files);
    CacheTableReads(const CacheTableReads&) = delete;
    CacheTableReads& operator=(const CacheTableReads&) = delete;
    ~CacheTableReads();

    // Starts the reads in up to `threads` of Arrow's CPU threads; with none
    // to be had, finish() reads the files itself.
    void start(int threads);
    // Waits until every file is read (reading those still untaken), then
    // gives the table of each file: nullptr for a null file or one that could
    // not be read (its reader reads it again its own way, and reports what is
    // wrong). Called once. The files are let go of with the object, where
    // the interpreter's lock is held (a file may be a Python object's bytes).
    std::vector<std::shared_ptr<arrow::Table>> finish();

private:
    void work() noexcept;

    std::vector<std::shared_ptr<arrow::Buffer>> files_;
    std::vector<std::shared_ptr<arrow::Table>> tables_;
    std::atomic<size_t> next_{0};
    std::vector<arrow::Future<>> started_;
};

}  // namespace light_data
