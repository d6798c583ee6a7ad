#include "fs/kernel/request_context.h"

namespace {
thread_local fuse_req_t serving = nullptr;
}  // namespace

request_scope::request_scope(fuse_req_t request) noexcept : outer_(serving)
{
    serving = request;
}

request_scope::~request_scope()
{
    serving = outer_;
}

fuse_req_t serving_request() noexcept
{
    return serving;
}
