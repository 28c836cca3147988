// The local cache folder: lookup, safe reads and writes, removal, and the
// reclaiming of crashed writers' temporary files; with the two cache methods
// of CryptoMktData, _read_cache and remove_cache.
#include "local_cache.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "cache_entry_open.hpp"
#include "cache_names.hpp"
#include "cache_file.hpp"
#include "log_records.hpp"
#include "message_text.hpp"
#include "module_state.hpp"
#include "object_calls.hpp"
#include "reader_methods.hpp"
#include "reader_sources.hpp"
#include "scoped_resources.hpp"

namespace light_data {

namespace {

int raise_errno(PyObject* path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return -1;
}

CacheEntry entry_of(mode_t mode) {
    if (S_ISREG(mode)) return CacheEntry::regular_file;
    if (S_ISDIR(mode)) return CacheEntry::directory;
    return CacheEntry::unusable;
}

CacheEntry entry_at(const char* path) {
    struct stat status;
    if (lstat(path, &status) < 0) return CacheEntry::absent;
    return entry_of(status.st_mode);
}

int not_a_regular_file(PyObject* cache_path, mode_t mode) {
    PyErr_Format(PyExc_OSError, "cache entry %R is a %s, not a regular file", cache_path,
                 entry_kind_name(mode));
    return -1;
}

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};

double seconds(const timespec& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
}

// The table in the cache file at `cache_path`, opened by open_cache_entry.
Ref read_cache_path(PyObject* cache_path) {
    FileDescriptor fd;
    if (open_cache_path(cache_path, fd) < 0) return Ref();
    return read_cache_table_at(fd);
}

Ref cache_event_message(PyObject* self, PyObject* event, PyObject* cache_path) {
    Ref cls = attr(self, names.dunder_class);
    if (!cls) return Ref();
    Ref class_name = attr(cls.get(), names.dunder_name);
    if (!class_name) return Ref();
    Ref data_type = attr(self, names.data_type);
    if (!data_type) return Ref();
    Ref date = attr(self, names.date);
    if (!date) return Ref();
    return join_message({names.cache_prefix, class_name.get(), names.space, data_type.get(),
                         names.space, date.get(), event, cache_path});
}

// The guarded part of remove_cache for one storage path: removes its cache
// file, or whatever else but a directory stands at its name, and the key's
// leftover temporary files. A file that someone else removed first counts
// as removed. `cache_path` is set once formed, for the failure message.
int remove_cache_file(PyObject* self, PyObject* path, Ref& cache_path) {
    cache_path = cache_path_for(self, path);
    if (!cache_path) return -1;
    Ref encoded = file_system_path(cache_path.get());
    if (!encoded) return -1;
    reclaim_leftovers(PyBytes_AS_STRING(encoded.get()));
    const CacheEntry entry = entry_at(PyBytes_AS_STRING(encoded.get()));
    if (entry == CacheEntry::absent || entry == CacheEntry::directory) return 0;
    Ref os = global(names.os);
    if (!os) return -1;
    Ref removed = call_method(os.get(), names.remove, {cache_path.get()});
    if (!removed) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return -1;
        PyErr_Clear();
    }
    Ref message = cache_event_message(self, names.removed_cache, cache_path.get());
    if (!message) return -1;
    return log_message(names.info, message.get());
}

}  // namespace

Ref file_system_path(PyObject* path) {
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(path, &encoded) == 0) return Ref();
    return Ref(encoded);
}

const char* entry_kind_name(mode_t mode) {
    if (S_ISREG(mode)) return "regular file";
    if (S_ISLNK(mode)) return "symbolic link";
    if (S_ISDIR(mode)) return "directory";
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISSOCK(mode)) return "socket";
    return "device";
}

int look_up_cache_entry(PyObject* cache_path, CacheEntry& entry) {
    Ref encoded = file_system_path(cache_path);
    if (!encoded) return -1;
    entry = entry_at(PyBytes_AS_STRING(encoded.get()));
    return 0;
}

int open_cache_entry(int folder_fd, const char* path, bool keep_access_time, PyObject* shown,
                     FileDescriptor& fd) {
    mode_t mode = 0;
    const int opened = open_regular_entry(folder_fd, path, keep_access_time, mode);
    if (opened < 0) return errno != 0 ? raise_errno(shown) : not_a_regular_file(shown, mode);
    fd.reset(opened);
    return 0;
}

int open_cache_path(PyObject* cache_path, FileDescriptor& fd) {
    Ref encoded = file_system_path(cache_path);
    if (!encoded) return -1;
    return open_cache_entry(AT_FDCWD, PyBytes_AS_STRING(encoded.get()), false, cache_path, fd);
}

void reclaim_leftovers(const char* cache_file) {
    const std::string_view path(cache_file);
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string_view::npos ? "."
                               : slash == 0                   ? "/"
                                                              : std::string(path.substr(0, slash));
    const std::string_view cache_name =
        slash == std::string_view::npos ? path : path.substr(slash + 1);

    std::unique_ptr<DIR, DirectoryCloser> directory(opendir(folder.c_str()));
    if (!directory) return;
    const int folder_fd = dirfd(directory.get());
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    while (const dirent* entry = readdir(directory.get())) {
        TemporaryWriter writer;
        if (!parse_temporary_name(entry->d_name, writer) || writer.cache_name != cache_name)
            continue;
        struct stat status;
        if (fstatat(folder_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) < 0) continue;
        if (is_leftover(writer, status.st_mode, seconds(status.st_mtim), seconds(now))) {
            unlinkat(folder_fd, entry->d_name, 0);
        }
    }
}

Ref logged_cache_hit(PyObject* self, Ref df, PyObject* cache_path) {
    if (!df) return Ref();
    const int servable = is_servable(df.get());
    if (servable < 0) return Ref();
    if (!servable) return Ref::borrow(Py_None);
    Ref message = cache_event_message(self, names.read_from_cache, cache_path);
    if (!message || log_message(names.info, message.get()) < 0) return Ref();
    return df;
}

int write_cache_file(PyObject* self, PyObject* df, PyObject* cache_path, PyObject* storage_path,
                     PyObject* identity, CacheCompression compression) {
    Ref os = global(names.os);
    if (!os) return -1;
    Ref cache_dir = attr(self, names.cache_dir);
    if (!cache_dir) return -1;
    if (!call_method(os.get(), names.makedirs, {cache_dir.get()}, names.kw_exist_ok, {Py_True}))
        return -1;
    Ref encoded = file_system_path(cache_path);
    if (!encoded) return -1;
    const char* path = PyBytes_AS_STRING(encoded.get());
    // A directory at the cache name is left alone; the table is not cached.
    if (entry_at(path) == CacheEntry::directory) {
        errno = EISDIR;
        return raise_errno(cache_path);
    }
    reclaim_leftovers(path);

    Ref temporary = temporary_path_for(cache_path);
    if (!temporary) return -1;
    Ref temporary_encoded = file_system_path(temporary.get());
    if (!temporary_encoded) return -1;
    const char* temporary_file = PyBytes_AS_STRING(temporary_encoded.get());
    FileDescriptor fd(
        open(temporary_file, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0) return raise_errno(temporary.get());
    int status = write_cache_file_at(fd, temporary.get(), df, storage_path, identity, compression);
    if (status == 0 && !call_method(os.get(), names.replace, {temporary.get(), cache_path})) {
        status = -1;
    }
    if (status < 0) {
        SavedError saved;
        unlink(temporary_file);
    }
    return status;
}

PyObject* reader_read_cache(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    PyObject* cache_path = arguments[1];
    Ref message = join_message({names.reading_from_cache, cache_path});
    if (!message || log_message(names.info, message.get()) < 0) return nullptr;

    Ref df = logged_cache_hit(self, read_cache_path(cache_path), cache_path);
    if (df && df.get() != Py_None) return df.release();
    if (!df && log_handled_failure(LIGHT_DATA_METHOD_NAME("_read_cache"),
                                   names.error_reading_cache, cache_path) < 0) {
        return nullptr;
    }
    if (!call_method(self, names.remove_cache, {})) return nullptr;
    Ref pd = global(names.pd);
    if (!pd) return nullptr;
    return call_method(pd.get(), names.DataFrame, {}).release();
}

PyObject* reader_remove_cache(PyObject* const* arguments) {
    PyObject* self = arguments[0];
    const int status = walk_source_paths(self, names.get_path, true, [&](PyObject*, PyObject* path) {
        Ref cache_path;
        if (remove_cache_file(self, path, cache_path) == 0) return 0;
        // A source whose cache path could not be formed is named by its storage path.
        PyObject* subject = cache_path ? cache_path.get() : path;
        return log_handled_failure(LIGHT_DATA_METHOD_NAME("remove_cache"),
                                   names.error_removing_cache, subject);
    });
    if (status < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace light_data
