#include "fs/engine/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "fs/engine/reserved_name.h"

namespace {

// Reads a value whose size is asked first (get with no buffer) into out,
// asking again when it grew in between; a value that keeps growing gives
// ERANGE in the end rather than a loop without one. 0 or -1.
template <typename Get>
int read_growing(std::string& out, Get&& get) noexcept
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t size = get(nullptr, 0);
        if (size == -1)
            return -1;
        try {
            out.resize(static_cast<size_t>(size));
        } catch (...) {
            errno = ENOMEM;
            return -1;
        }
        const ssize_t got = get(out.data(), out.size());
        if (got >= 0) {
            out.resize(static_cast<size_t>(got));
            return 0;
        }
        if (errno != ERANGE)
            return -1;
    }
    errno = ERANGE;
    return -1;
}

}  // namespace

namespace {

// One openat2 beneath dir, for a path the kernel takes in one call.
int open_piece_beneath(int dir, const std::string& relative, int flags) noexcept
{
    struct open_how how {};
    how.flags = static_cast<unsigned long long>(flags) | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    // EAGAIN: a rename elsewhere in the tree may have let the walk escape;
    // walking again from the root is safe.
    for (int attempt = 0;; ++attempt) {
        const long fd = syscall(SYS_openat2, dir, relative.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN || attempt == 8)
            return static_cast<int>(fd);
    }
}

}  // namespace

int open_beneath(int root, std::string_view path, int flags) noexcept
{
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    try {
        // A path longer than the kernel takes in one call (a tree may be
        // deeper than that) is walked in pieces, each beneath the directory
        // the one before reached, so it stays beneath the root all the
        // same.
        unique_fd reached;
        int at = root;
        while (path.size() >= PATH_MAX) {
            const size_t cut = path.rfind('/', PATH_MAX - 2);
            if (cut == std::string_view::npos || cut == 0) {
                errno = ENAMETOOLONG;
                return -1;
            }
            const int next = open_piece_beneath(at, std::string(path.substr(0, cut)), O_PATH | O_DIRECTORY);
            if (next < 0)
                return -1;
            reached.reset(next);
            at = next;
            path.remove_prefix(cut + 1);
            while (!path.empty() && path.front() == '/')
                path.remove_prefix(1);
        }
        return open_piece_beneath(at, std::string(path.empty() ? std::string_view(".") : path), flags);
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

int open_to_read(int dir, const char* name, int flags) noexcept
{
    flags |= O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    // O_NOATIME is refused for other users' files when not running as
    // root: those are read as any reader would.
    const int fd = openat(dir, name, flags | O_NOATIME);
    if (fd == -1 && errno == EPERM)
        return openat(dir, name, flags);
    return fd;
}

int list_directory(int fd, std::vector<std::string>& names) noexcept
{
    names.clear();
    // A stream of its own, so that closing it leaves fd open.
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own == -1)
        return -1;
    DIR* stream = fdopendir(own);
    if (stream == nullptr) {
        const int error = errno;
        close(own);
        errno = error;
        return -1;
    }
    // The duplicate shares its position with fd, which an earlier listing
    // of the same directory (a root compared with several replicas) left
    // at the end.
    rewinddir(stream);
    int result = 0;
    try {
        errno = 0;
        while (const dirent* entry = readdir(stream)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
            errno = 0;
        }
        result = errno == 0 ? 0 : -1;
        std::sort(names.begin(), names.end());
    } catch (...) {
        errno = ENOMEM;
        result = -1;
    }
    const int error = errno;
    closedir(stream);
    errno = error;
    return result;
}

int list_tree_names(int fd, std::string_view path, std::vector<std::string>& names) noexcept
{
    if (list_directory(fd, names) == -1)
        return -1;
    if (path == "/")
        names.erase(std::remove_if(names.begin(), names.end(),
                                   [](const std::string& name) noexcept { return is_reserved_root_name(true, name); }),
                    names.end());
    return 0;
}

std::string child_path(const std::string& path, std::string_view name)
{
    std::string child = path == "/" ? std::string() : path;
    child += '/';
    child += name;
    return child;
}

bool is_reserved_attribute(std::string_view name) noexcept
{
    return name.starts_with("trusted.vornelix.");
}

bool is_tree_attribute(std::string_view name) noexcept
{
    if (name.starts_with("user.") || name.starts_with("security."))
        return true;
    if (name.starts_with("trusted."))
        return !is_reserved_attribute(name);
    return name == "system.posix_acl_access" || name == "system.posix_acl_default";
}

int tree_attribute_names(int fd, std::vector<std::string>& names) noexcept
{
    names.clear();
    std::string list;
    if (read_growing(list, [fd](char* data, size_t size) noexcept { return flistxattr(fd, data, size); }) == -1) {
        if (errno != ENOTSUP)
            return -1;
        list.clear();
    }
    try {
        // NUL-terminated names, one after another.
        for (size_t at = 0; at < list.size(); at += std::strlen(list.c_str() + at) + 1)
            if (is_tree_attribute(list.c_str() + at))
                names.emplace_back(list.c_str() + at);
        std::sort(names.begin(), names.end());
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

int attribute_value(int fd, const char* name, std::string& value) noexcept
{
    return read_growing(value, [fd, name](char* data, size_t size) noexcept {
        return fgetxattr(fd, name, data, size);
    });
}

int tree_attributes(int fd, std::map<std::string, std::string>& attributes) noexcept
{
    attributes.clear();
    std::vector<std::string> names;
    if (tree_attribute_names(fd, names) == -1)
        return -1;
    std::string value;
    for (const std::string& name : names) {
        if (attribute_value(fd, name.c_str(), value) == -1)
            return -1;
        try {
            attributes.emplace(name, value);
        } catch (...) {
            errno = ENOMEM;
            return -1;
        }
    }
    return 0;
}

int read_link(int dir, const char* name, size_t expected, std::string& target) noexcept
{
    try {
        target.resize(expected + 1);
        for (;;) {
            const ssize_t n = readlinkat(dir, name, target.data(), target.size());
            if (n == -1)
                return -1;
            // A target that fills the buffer may have been cut short.
            if (static_cast<size_t>(n) < target.size()) {
                target.resize(static_cast<size_t>(n));
                return 0;
            }
            target.resize(target.size() * 2);
        }
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}
