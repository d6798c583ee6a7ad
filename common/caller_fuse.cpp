#include "common/caller.h"

#include <fuse.h>

#include <cerrno>

caller_identity current_caller() noexcept
{
    const fuse_context* context = fuse_get_context();
    if (context == nullptr)
        return {0, 0};
    return {context->uid, context->gid};
}

int current_caller_groups(gid_t* list, int size) noexcept
{
    // libfuse reads the Groups line of the calling thread in /proc.
    const int count = fuse_getgroups(size, list);
    if (count < 0) {
        errno = -count;
        return -1;
    }
    return count;
}
