#include "cache_names.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>

#include "module_state.hpp"
#include "object_calls.hpp"

namespace light_data {

namespace {

constexpr std::string_view cache_suffix = ".feather";
constexpr std::string_view temporary_marker = ".tmp-";
constexpr size_t random_hex_digits = 16;

bool is_label_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
}

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool process_alive(long pid) {
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

Ref cache_file_name(PyObject* path) {
    Ref hashlib = global(names.hashlib);
    if (!hashlib) return Ref();
    Ref encoded = call_method(path, names.encode, {});
    if (!encoded) return Ref();
    Ref digest = call_method(hashlib.get(), names.sha256, {encoded.get()});
    if (!digest) return Ref();
    Ref hex = call_method(digest.get(), names.hexdigest, {});
    if (!hex) return Ref();
    return Ref(PyNumber_Add(hex.get(), names.feather_suffix));
}

Ref cache_path_for(PyObject* self, PyObject* path) {
    Ref name = cache_file_name(path);
    if (!name) return Ref();
    Ref os = global(names.os);
    if (!os) return Ref();
    Ref os_path = attr(os.get(), names.path);
    if (!os_path) return Ref();
    Ref cache_dir = attr(self, names.cache_dir);
    if (!cache_dir) return Ref();
    return call_method(os_path.get(), names.join, {cache_dir.get(), name.get()});
}

bool is_cache_name(std::string_view name) {
    if (name.size() != 64 + cache_suffix.size() || name.substr(64) != cache_suffix) return false;
    for (char c : name.substr(0, 64)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

std::string host_label() {
    struct utsname system;
    std::string host = uname(&system) == 0 ? system.nodename : "";
    for (char& c : host) {
        if (!is_label_character(c)) c = '_';
    }
    return host.empty() ? "unknown" : host;
}

bool parse_temporary_name(std::string_view name, TemporaryWriter& writer) {
    const size_t marker = 64 + cache_suffix.size();
    if (name.size() <= marker + temporary_marker.size() ||
        !is_cache_name(name.substr(0, marker)) ||
        name.substr(marker, temporary_marker.size()) != temporary_marker) {
        return false;
    }
    // The host may itself hold '-': the pid and the random part are the last two fields.
    const std::string_view rest = name.substr(marker + temporary_marker.size());
    const size_t random_dash = rest.rfind('-');
    if (random_dash == std::string_view::npos) return false;
    const std::string_view random = rest.substr(random_dash + 1);
    if (random.empty() || random.size() > 64) return false;
    for (char c : random) {
        if (!is_hex_digit(c)) return false;
    }
    const std::string_view front = rest.substr(0, random_dash);
    const size_t pid_dash = front.rfind('-');
    if (pid_dash == std::string_view::npos || pid_dash == 0) return false;
    const std::string_view host = front.substr(0, pid_dash);
    for (char c : host) {
        if (!is_label_character(c)) return false;
    }
    const std::string_view pid = front.substr(pid_dash + 1);
    if (pid.empty() || pid.size() > 9 || pid.front() == '0') return false;
    long value = 0;
    for (char c : pid) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    writer.cache_name = name.substr(0, marker);
    writer.host = host;
    writer.pid = value;
    return true;
}

bool is_leftover(const TemporaryWriter& writer, mode_t mode, double mtime, double now) {
    if (!S_ISREG(mode) && !S_ISLNK(mode)) return false;
    if (writer.host == host_label()) return !process_alive(writer.pid);
    return now - mtime > foreign_leftover_age;
}

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
                                    host_label().c_str(), static_cast<long>(getpid()), hex));
}

}  // namespace light_data
