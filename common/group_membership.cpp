#include "common/group_membership.h"

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <memory>
#include <new>

namespace {

// Entries larger than this are not grown into without end: they count as
// memory that cannot be had.
constexpr size_t largest_lookup_buffer = size_t(1) << 24;

// Runs attempt(buffer, size) with zero-filled buffers of 1024 bytes and
// up, doubling while the entry does not fit, and answers what the last
// attempt answered (-1 with ENOMEM when no buffer can be had). attempt
// answers the lookup's return value in rc and, when that is final, its
// own result in result. Some name-service modules answer -1 with errno
// ERANGE instead of the error number itself; errno is cleared before each
// attempt so that a stale ERANGE is never taken for a fresh one.
template <typename Attempt>
int with_growing_buffer(Attempt attempt)
{
    for (size_t size = 1024;; size *= 2) {
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]());
        if (!buffer) {
            errno = ENOMEM;
            return -1;
        }
        errno = 0;
        int result = 0;
        const int rc = attempt(buffer.get(), size, result);
        const bool too_small = rc == ERANGE || (rc == -1 && errno == ERANGE);
        if (!too_small)
            return result;
        if (size >= largest_lookup_buffer) {
            errno = ENOMEM;
            return -1;
        }
    }
}

int name_has_uid(const char* name, uid_t uid)
{
    return with_growing_buffer([&](char* buffer, size_t size, int& result) {
        struct passwd record;
        struct passwd* found = nullptr;
        const int rc = getpwnam_r(name, &record, buffer, size, &found);
        result = rc == 0 && found != nullptr && found->pw_uid == uid ? 1 : 0;
        return rc;
    });
}

}  // namespace

int group_lists_user(gid_t group, uid_t user) noexcept
{
    return with_growing_buffer([&](char* buffer, size_t size, int& result) {
        struct group record;
        struct group* found = nullptr;
        const int rc = getgrgid_r(group, &record, buffer, size, &found);
        result = 0;
        if (rc != 0 || found == nullptr || found->gr_mem == nullptr)
            return rc;
        for (char** member = found->gr_mem; *member != nullptr; ++member) {
            result = name_has_uid(*member, user);
            if (result != 0)
                break;
        }
        return rc;
    });
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
