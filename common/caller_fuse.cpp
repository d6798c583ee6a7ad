#include "common/caller.h"

#include <fuse.h>

caller_identity current_caller() noexcept
{
    const fuse_context* context = fuse_get_context();
    if (context == nullptr)
        return {0, 0};
    return {context->uid, context->gid};
}
