// The kernel request a thread is serving, for the code that acts on behalf
// of its caller (common/caller.h) without being handed the request.
#pragma once

#include <fuse_lowlevel.h>

// Marks the request this thread serves for the length of one operation.
class request_scope {
public:
    explicit request_scope(fuse_req_t request) noexcept;
    ~request_scope();
    request_scope(const request_scope&) = delete;
    request_scope& operator=(const request_scope&) = delete;

private:
    fuse_req_t outer_;
};

// The request this thread serves, or nullptr.
fuse_req_t serving_request() noexcept;

// A request that changed its file's attributes beyond what its reply
// tells the kernel (a write by someone outside the file's group dropped
// the set-group-ID bit) notes it, and the kernel is told to forget the
// attributes it holds once the reply is sent.
void note_attributes_changed() noexcept;
bool take_attributes_changed() noexcept;
