// Cache files read into Arrow tables by Arrow's C++ library, many at a time,
// without the interpreter lock.
#pragma once

#include <arrow/buffer.h>
#include <arrow/table.h>
#include <arrow/util/future.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace light_data {

// A cache file to read: its bytes, or the path of the entry to open (by the
// cache's safe open) and map; neither for none.
struct CacheFileToRead {
    std::shared_ptr<arrow::Buffer> bytes;
    std::string path;
};

// The reads of a batch of cache files, as
// pyarrow's ipc.open_file(...).read_all() reads each without Arrow's own
// threads. start() hands them to Arrow's CPU threads, which live on between
// batches (a thread started for each batch would fault in fresh memory for
// every table it decodes), and returns at once; finish() waits for them.
// Neither touches the interpreter: call finish() with its lock released.
class CacheTableReads {
public:
    explicit CacheTableReads(std::vector<CacheFileToRead> files);
    // Only files whose fields bear exactly `names` are read (others give
    // nullptr), and of them only the fields at the positions `fields`.
    CacheTableReads(std::vector<CacheFileToRead> files, std::vector<std::string> names, std::vector<int> fields);
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
    // Waits until the threads are done with this object (for one dropped
    // unfinished). Call it with the interpreter's lock released: the threads
    // may first have to finish others' work that needs it.
    void wait();

private:
    void work() noexcept;

    std::shared_ptr<arrow::Table> read(const CacheFileToRead& file) const;

    std::vector<CacheFileToRead> files_;
    bool named_ = false;
    std::vector<std::string> names_;
    std::vector<int> fields_;
    std::vector<std::shared_ptr<arrow::Table>> tables_;
    std::atomic<size_t> next_{0};
    std::vector<arrow::Future<>> started_;
};

}  // namespace light_data
