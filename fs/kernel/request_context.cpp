#include "fs/kernel/request_context.h"

namespace {
thread_local fuse_req_t serving = nullptr;
thread_local bool attributes_changed = false;
}  // namespace

request_scope::request_scope(fuse_req_t request) noexcept : outer_(serving)
{
    serving = request;
    attributes_changed = false;
}

request_scope::~request_scope()
{
    serving = outer_;
}

fuse_req_t serving_request() noexcept
{
    return serving;
}

void note_attributes_changed() noexcept
{
    attributes_changed = true;
}

bool take_attributes_changed() noexcept
{
    const bool changed = attributes_changed;
    attributes_changed = false;
    return changed;
}
