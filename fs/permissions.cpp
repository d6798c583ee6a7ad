#include "fs/permissions.h"

#include <libgen.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

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
