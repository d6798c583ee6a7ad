#include "common/group_membership.h"

#include <cerrno>
#include <vector>

int caller_in_group(caller_identity caller, gid_t group) noexcept
{
    if (caller.gid == group)
        return 1;
    try {
        std::vector<gid_t> groups(64);
        while (true) {
            const int count = current_caller_groups(groups.data(), static_cast<int>(groups.size()));
            if (count < 0)
                return -1;
            if (static_cast<size_t>(count) > groups.size()) {
                groups.resize(static_cast<size_t>(count));
                continue;
            }
            for (int i = 0; i < count; ++i)
                if (groups[static_cast<size_t>(i)] == group)
                    return 1;
            return 0;
        }
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

int class_triple(mode_t mode, uid_t owner, gid_t group, caller_identity caller) noexcept
{
    if (caller.uid == owner)
        return (mode >> 6) & 7;
    const int member = caller_in_group(caller, group);
    if (member < 0)
        return -1;
    return member ? (mode >> 3) & 7 : mode & 7;
}
