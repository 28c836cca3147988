// Opening a cache entry for reading, without the interpreter: the one rule
// of the core (open_cache_entry, which reports failures as exceptions) and of
// the native reads of cache files, which open entries in threads of their own.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace light_data {

// Opens `path` (relative to `folder_fd`) for reading when it is a regular
// file, never following a symbolic link, with O_NOATIME when
// `keep_access_time` and the caller may ask for it. Checks the entry before
// opening it (a FIFO would block) and the opened file again (the entry may
// have been replaced in between). Returns the descriptor, or -1: with errno
// set, or with errno 0 and `mode` the type of an entry that is not a regular
// file.
inline int open_regular_entry(int folder_fd, const char* path, bool keep_access_time, mode_t& mode) noexcept {
    struct stat status;
    if (fstatat(folder_fd, path, &status, AT_SYMLINK_NOFOLLOW) < 0) return -1;
    if (!S_ISREG(status.st_mode)) {
        mode = status.st_mode;
        errno = 0;
        return -1;
    }
    const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int opened = -1;
#ifdef O_NOATIME
    // Only the file's owner (or a privileged user) may ask for this.
    if (keep_access_time) {
        opened = openat(folder_fd, path, flags | O_NOATIME);
        if (opened < 0 && errno != EPERM) return -1;
    }
#endif
    if (opened < 0) opened = openat(folder_fd, path, flags);
    if (opened < 0) return -1;
    if (fstat(opened, &status) < 0) {
        const int error = errno;
        close(opened);
        errno = error;
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        close(opened);
        mode = status.st_mode;
        errno = 0;
        return -1;
    }
    return opened;
}

}  // namespace light_data
