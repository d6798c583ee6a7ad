#include "fs/permissions.h"

#include <grp.h>
#include <libgen.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {

// A zero-filled buffer for the reentrant database lookups.
std::unique_ptr<char[]> lookup_buffer(size_t size)
{
    return std::unique_ptr<char[]>(new (std::nothrow) char[size]());
}

// Entries larger than this are treated as not found rather than grown
// into without end.
constexpr size_t largest_lookup_buffer = size_t(1) << 24;

// The buffer was too small. Some name-service modules answer -1 with errno
// ERANGE instead of the error number itself; errno is cleared before each
// call so that a stale ERANGE is never taken for a fresh one.
bool buffer_too_small(int rc, size_t& size)
{
    if (rc != ERANGE && !(rc == -1 && errno == ERANGE))
        return false;
    if (size >= largest_lookup_buffer)
        return false;
    size *= 2;
    return true;
}

// Whether the user named in the group's member list has this uid. The
// password record lives in a buffer of this call, never in storage shared
// with other threads. 1, 0, or -1 (ENOMEM).
int name_has_uid(const char* name, uid_t uid)
{
    size_t size = 1024;
    while (true) {
        std::unique_ptr<char[]> buffer = lookup_buffer(size);
        if (!buffer) {
            errno = ENOMEM;
            return -1;
        }
        struct passwd record;
        struct passwd* found = nullptr;
        errno = 0;
        const int rc = getpwnam_r(name, &record, buffer.get(), size, &found);
        if (buffer_too_small(rc, size))
            continue;
        return rc == 0 && found != nullptr && found->pw_uid == uid ? 1 : 0;
    }
}

// The class triple of one object's attributes for the caller.
int triple_for(const struct stat& st, caller_identity caller)
{
    return class_triple(st.st_mode, st.st_uid, st.st_gid, caller);
}

// Every ancestor of path, up to "/" (absolute path) or "." (relative path,
// the root of the mount-point replica), must grant the caller search.
// They are examined from the top down, as the kernel resolves a path: a
// directory the caller cannot search hides whether names below it exist.
// 0 or -1 with errno.
int walk_ancestors(const char* path, caller_identity caller)
{
    std::vector<std::string> ancestors;
    try {
        std::string current = path;
        while (true) {
            // dirname edits its argument and may answer a static text:
            // keep the answer as our own copy.
            std::string parent = dirname(current.data());
            ancestors.push_back(parent);
            if (parent == "/" || parent == ".")
                break;
            current.swap(parent);
        }
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
    for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
        struct stat st;
        if (stat(it->c_str(), &st) != 0)
            return -1;
        const int triple = triple_for(st, caller);
        if (triple < 0)
            return -1;
        if ((triple & may_search) == 0) {
            errno = EACCES;
            return -1;
        }
    }
    return 0;
}

int object_permissions(const char* path, bool follow_link)
{
    const caller_identity caller = current_caller();
    if (caller.uid == 0)
        return 7;
    if (walk_ancestors(path, caller) != 0)
        return -1;
    struct stat st;
    if ((follow_link ? stat(path, &st) : lstat(path, &st)) != 0)
        return -1;
    return triple_for(st, caller);
}

}  // namespace

int group_lists_user(gid_t group, uid_t user) noexcept
{
    size_t size = 1024;
    while (true) {
        std::unique_ptr<char[]> buffer = lookup_buffer(size);
        if (!buffer) {
            errno = ENOMEM;
            return -1;
        }
        struct group record;
        struct group* found = nullptr;
        errno = 0;
        const int rc = getgrgid_r(group, &record, buffer.get(), size, &found);
        if (buffer_too_small(rc, size))
            continue;
        if (rc != 0 || found == nullptr || found->gr_mem == nullptr)
            return 0;
        for (char** member = found->gr_mem; *member != nullptr; ++member) {
            const int match = name_has_uid(*member, user);
            if (match != 0)
                return match;
        }
        return 0;
    }
}

int class_triple(mode_t mode, uid_t owner, gid_t group, caller_identity caller) noexcept
{
    if (caller.uid == owner)
        return (mode >> 6) & 7;
    if (caller.gid == group)
        return (mode >> 3) & 7;
    const int member = group_lists_user(group, caller.uid);
    if (member < 0)
        return -1;
    return member ? (mode >> 3) & 7 : mode & 7;
}

int path_permissions(const char* path) noexcept
{
    return object_permissions(path, true);
}

int link_permissions(const char* path) noexcept
{
    return object_permissions(path, false);
}

int fd_permissions(int fd) noexcept
{
    const caller_identity caller = current_caller();
    if (caller.uid == 0)
        return 7;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    return triple_for(st, caller);
}

int stat_permissions(const struct stat& st) noexcept
{
    const caller_identity caller = current_caller();
    if (caller.uid == 0)
        return 7;
    return triple_for(st, caller);
}

int check_path_search(const char* path) noexcept
{
    const caller_identity caller = current_caller();
    if (caller.uid == 0)
        return 0;
    return walk_ancestors(path, caller);
}
