// The threads that take the kernel's requests and run them.
//
// libfuse 2.9's high-level layer locks the tree paths of every request
// before it calls an operation. Its lock queue deadlocks when a rename or
// link that holds the locks of its first path and waits for its second
// meets a request that waits to lock a directory on both paths: renaming
// a directory while a rename or link runs inside it stops the whole mount
// for good, in seconds under load (libfuse's own passthrough example hangs
// the same way). Only requests that take two paths (rename, link) or a
// write lock on a directory (rename, rmdir) can close that circle, so the
// loop here, otherwise the loop libfuse would run, lets one of them at a
// time into libfuse.
// Every other request, and requests outside the tree's namespace, run in
// parallel as before.
//
// The namespace gate comes first of all locks, before libfuse's path
// locks (lock_order.h, #1).
#pragma once

#include <cstdint>

struct fuse;

// Whether a request of this kernel opcode passes through the namespace
// gate.
bool opcode_takes_namespace_gate(uint32_t opcode) noexcept;

// Serves requests on as many threads as they need until the session ends
// (unmount or a signal). 0, or -errno when reading from the kernel failed
// or no thread could be started.
int run_request_loop(struct fuse* f);
