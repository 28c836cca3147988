// The local cache: naming, lookup, safe reads and writes, removal, and the
// reclaiming of crashed writers' temporary files; with the two cache methods
// of CryptoMktData, _read_cache and remove_cache.
#include "local_cache.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "log_records.hpp"
#include "message_text.hpp"
#include "module_state.hpp"
#include "object_calls.hpp"
#include "reader_methods.hpp"
#include "reader_sources.hpp"
#include "scoped_resources.hpp"

namespace light_data {

namespace {

// Another host's temporary file older than this is taken for a crashed
// writer's: its pid cannot be checked from here.
constexpr time_t foreign_leftover_age = 3600;
constexpr std::string_view temporary_marker = ".tmp-";
constexpr size_t random_hex_digits = 16;

// The file-system bytes of a path string (ValueError for an embedded NUL).
Ref file_system_path(PyObject* path) {
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(path, &encoded) == 0) return Ref();
    return Ref(encoded);
}

int raise_errno(PyObject* path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return -1;
}

CacheEntry entry_at(const char* path) {
    struct stat status;
    if (lstat(path, &status) < 0) return CacheEntry::absent;
    if (S_ISREG(status.st_mode)) return CacheEntry::regular_file;
    if (S_ISDIR(status.st_mode)) return CacheEntry::directory;
    return CacheEntry::unusable;
}

const char* entry_kind(mode_t mode) {
    if (S_ISLNK(mode)) return "symbolic link";
    if (S_ISDIR(mode)) return "directory";
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISSOCK(mode)) return "socket";
    return "device";
}

Ref no_table(PyObject* cache_path) {
    raise_errno(cache_path);
    return Ref();
}

Ref not_a_regular_file(PyObject* cache_path, mode_t mode) {
    PyErr_Format(PyExc_OSError, "cache entry %R is a %s, not a regular file", cache_path,
                 entry_kind(mode));
    return Ref();
}

// This host's name as it appears in temporary file names: anything but
// letters, digits, '.', '_' and '-' becomes '_', so a name never holds a
// path separator.
std::string this_host() {
    struct utsname system;
    std::string host = uname(&system) == 0 ? system.nodename : "";
    for (char& c : host) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!kept) c = '_';
    }
    return host.empty() ? "unknown" : host;
}

// The writer named by what follows "<cache file name>.tmp-" in a temporary
// file name: "<host>-<pid>-<random hex digits>" (16 of them when this reader
// writes it). The host may itself hold '-', so the name is read from the
// right.
struct TemporaryWriter {
    std::string_view host;
    long pid = 0;
};

bool parse_temporary(std::string_view rest, TemporaryWriter& writer) {
    const size_t random_dash = rest.rfind('-');
    if (random_dash == std::string_view::npos) return false;
    const std::string_view random = rest.substr(random_dash + 1);
    if (random.empty() || random.size() > 64) return false;
    for (char c : random) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    const std::string_view front = rest.substr(0, random_dash);
    const size_t pid_dash = front.rfind('-');
    if (pid_dash == std::string_view::npos || pid_dash == 0) return false;
    const std::string_view pid = front.substr(pid_dash + 1);
    if (pid.empty() || pid.size() > 9 || pid.front() == '0') return false;
    long value = 0;
    for (char c : pid) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value <= 0) return false;
    writer.host = front.substr(0, pid_dash);
    writer.pid = value;
    return true;
}

bool process_alive(long pid) {
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};

// Removes the temporary files of the cache file at `cache_file` that crashed
// writers left: this host's whose process is gone, and other hosts' older
// than an hour. Entries are examined without following links, and only files
// and links are removed (a link itself, never its target). Best effort: a
// leftover that cannot be removed now (another user's, or already gone) is
// left for later.
void reclaim_leftovers(const char* cache_file) {
    const std::string_view path(cache_file);
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string_view::npos ? "."
                               : slash == 0                   ? "/"
                                                              : std::string(path.substr(0, slash));
    std::string prefix(slash == std::string_view::npos ? path : path.substr(slash + 1));
    prefix += temporary_marker;

    std::unique_ptr<DIR, DirectoryCloser> directory(opendir(folder.c_str()));
    if (!directory) return;
    const int folder_fd = dirfd(directory.get());
    const std::string host = this_host();
    const time_t oldest_kept = time(nullptr) - foreign_leftover_age;
    while (const dirent* entry = readdir(directory.get())) {
        const std::string_view name(entry->d_name);
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        TemporaryWriter writer;
        if (!parse_temporary(name.substr(prefix.size()), writer)) continue;
        struct stat status;
        if (fstatat(folder_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) < 0) continue;
        if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) continue;
        const bool crashed = writer.host == host ? !process_alive(writer.pid)
                                                 : status.st_mtime < oldest_kept;
        if (crashed) unlinkat(folder_fd, entry->d_name, 0);
    }
}

// "<cache path>.tmp-<host>-<pid>-<16 random hex digits>"
Ref temporary_path_for(PyObject* cache_path) {
    unsigned char random[random_hex_digits / 2];
    if (getentropy(random, sizeof random) < 0) {
        PyErr_SetFromErrno(PyExc_OSError);
        return Ref();
    }
    char hex[random_hex_digits + 1];
    for (size_t i = 0; i < sizeof random; ++i) {
        hex[2 * i] = "0123456789abcdef"[random[i] >> 4];
        hex[2 * i + 1] = "0123456789abcdef"[random[i] & 0xf];
    }
    hex[random_hex_digits] = '\0';
    return Ref(PyUnicode_FromFormat("%U%s%s-%ld-%s", cache_path, temporary_marker.data(),
                                    this_host().c_str(), static_cast<long>(getpid()), hex));
}

// file.close(), keeping an error that is already on its way to the caller.
int close_file(PyObject* file) {
    if (PyErr_Occurred()) {
        SavedError saved;
        Ref closed = call_method(file, names.close, {});
        return -1;
    }
    return call_method(file, names.close, {}) ? 0 : -1;
}

// A binary file object over `fd` that leaves closing the descriptor to the
// descriptor's owner.
Ref file_object(const FileDescriptor& fd, const char* mode) {
    return Ref(PyFile_FromFd(fd.get(), nullptr, mode, -1, nullptr, nullptr, nullptr, 0));
}

// pd.read_feather on the cache file, when it is a regular file: looked at
// without following a link, then opened without following one and without
// blocking (a FIFO put there would otherwise hang the read), and checked
// again on the open descriptor.
Ref read_cache_table(PyObject* cache_path) {
    Ref encoded = file_system_path(cache_path);
    if (!encoded) return Ref();
    const char* path = PyBytes_AS_STRING(encoded.get());
    struct stat status;
    if (lstat(path, &status) < 0) return no_table(cache_path);
    if (!S_ISREG(status.st_mode)) return not_a_regular_file(cache_path, status.st_mode);
    const FileDescriptor fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || fstat(fd.get(), &status) < 0) return no_table(cache_path);
    if (!S_ISREG(status.st_mode)) return not_a_regular_file(cache_path, status.st_mode);

    Ref file = file_object(fd, "rb");
    if (!file) return Ref();
    Ref pd = global(names.pd);
    Ref df = pd ? call_method(pd.get(), names.read_feather, {file.get()}) : Ref();
    if (close_file(file.get()) < 0) return Ref();
    return df;
}

// df.to_feather into the new file `fd`, flushed and closed.
int write_table(PyObject* df, FileDescriptor& fd, PyObject* temporary) {
    Ref file = file_object(fd, "wb");
    if (!file) return -1;
    Ref written = call_method(df, names.to_feather, {file.get()});
    if (close_file(file.get()) < 0) return -1;
    // Some file systems report a failed write only when the file is closed.
    if (close(fd.release()) < 0) return raise_errno(temporary);
    return 0;
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

Ref cache_path_for(PyObject* self, PyObject* path) {
    const InternedNames& n = names;
    Ref hashlib = global(n.hashlib);
    if (!hashlib) return Ref();
    Ref encoded = call_method(path, n.encode, {});
    if (!encoded) return Ref();
    Ref digest = call_method(hashlib.get(), n.sha256, {encoded.get()});
    if (!digest) return Ref();
    Ref hex = call_method(digest.get(), n.hexdigest, {});
    if (!hex) return Ref();
    Ref name(PyNumber_Add(hex.get(), n.feather_suffix));
    if (!name) return Ref();
    Ref os = global(n.os);
    if (!os) return Ref();
    Ref os_path = attr(os.get(), n.path);
    if (!os_path) return Ref();
    Ref cache_dir = attr(self, n.cache_dir);
    if (!cache_dir) return Ref();
    return call_method(os_path.get(), n.join, {cache_dir.get(), name.get()});
}

int look_up_cache_entry(PyObject* cache_path, CacheEntry& entry) {
    Ref encoded = file_system_path(cache_path);
    if (!encoded) return -1;
    entry = entry_at(PyBytes_AS_STRING(encoded.get()));
    return 0;
}

Ref logged_cache_hit(PyObject* self, Ref df, PyObject* cache_path) {
    if (!df) return Ref();
    int empty = truth(attr(df.get(), names.empty));
    if (empty < 0) return Ref();
    if (empty) return Ref::borrow(Py_None);
    Ref message = cache_event_message(self, names.read_from_cache, cache_path);
    if (!message || log_message(names.info, message.get()) < 0) return Ref();
    return df;
}

int write_cache_file(PyObject* self, PyObject* df, PyObject* cache_path) {
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
    int status = write_table(df, fd, temporary.get());
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

    Ref df = logged_cache_hit(self, read_cache_table(cache_path), cache_path);
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
    const int status = walk_source_paths(self, names.get_path, true, [&](PyObject* path) {
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
