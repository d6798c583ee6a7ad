// The caller of the request being served, as the kernel reported it. Part
// of the vornelix program only: the tests link an identity of their own.
#include <cerrno>

#include "common/caller.h"
#include "fs/kernel/request_context.h"

caller_identity current_caller() noexcept
{
    const fuse_req_t request = serving_request();
    // Outside a request (start-up, the resync's thread) vornelix acts as
    // itself.
    if (request == nullptr)
        return {0, 0};
    const struct fuse_ctx* context = fuse_req_ctx(request);
    if (context == nullptr)
        return {0, 0};
    return {context->uid, context->gid};
}

int current_caller_groups(gid_t* list, int size) noexcept
{
    const fuse_req_t request = serving_request();
    if (request == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    // libfuse reads the Groups line of the calling thread in /proc.
    const int count = fuse_req_getgroups(request, size, list);
    if (count < 0) {
        errno = -count;
        return -1;
    }
    return count;
}
