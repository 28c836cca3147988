// The names in a cache folder: one cache file per storage path, named by
// the SHA-256 digest of the path, and the temporary files that writers put
// beside it; with the rule that tells a crashed writer's leftover from a
// live writer's file.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "owned_ref.hpp"

namespace light_data {

// hashlib.sha256(path.encode()).hexdigest() + ".feather"
Ref cache_file_name(PyObject* path);

// os.path.join(self.cache_dir, cache_file_name(path))
Ref cache_path_for(PyObject* self, PyObject* path);

// Whether `name` is a cache file name: 64 lower-case hexadecimal digits and ".feather".
bool is_cache_name(std::string_view name);

// This host's name as writers on it put it in temporary file names: every
// byte of the node name outside [A-Za-z0-9._-] becomes '_', so that a name
// never holds a path separator; "unknown" when the node name is empty.
std::string host_label();

// The writer named by a temporary file name,
// "<cache file name>.tmp-<host>-<pid>-<random hex digits>": the host as
// host_label() writes it, the pid without leading zeros.
struct TemporaryWriter {
    std::string_view cache_name;
    std::string_view host;
    long pid = 0;
};

// Whether `name` is a writer's temporary file name; fills `writer` when it is.
bool parse_temporary_name(std::string_view name, TemporaryWriter& writer);

// Another host's temporary file older than this (seconds) is taken for a
// crashed writer's: its pid cannot be checked from here.
inline constexpr double foreign_leftover_age = 3600.0;

// Whether a temporary file of `writer`, examined without following a link
// (`mode`, modification time `mtime`), is the leftover of a writer that is
// gone: on this host its process no longer exists; from another host it is
// older than foreign_leftover_age at `now`. Only a regular file or a link
// (the link itself) can be a leftover.
bool is_leftover(const TemporaryWriter& writer, mode_t mode, double mtime, double now);

// "<cache path>.tmp-<host>-<pid>-<16 random hex digits>"
Ref temporary_path_for(PyObject* cache_path);

}  // namespace light_data
