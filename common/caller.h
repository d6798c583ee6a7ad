// The identity of the user whose request is being served.
//
// Both programs act on behalf of other users with root's rights, so every
// permission decision starts here. The programs implement this with
// fuse_get_context() (caller_fuse.cpp); the tests link their own version
// that returns an identity set per thread. Outside a FUSE request
// fuse_get_context() reports uid 0, so a test that reached the FUSE
// version by mistake would silently run as root: keep the seam this thin.
#pragma once

#include <sys/types.h>

struct caller_identity {
    uid_t uid;
    gid_t gid;
};

caller_identity current_caller() noexcept;

// The supplementary groups of the calling process, as the kernel holds them
// for it: fills at most size entries of list and answers the count of
// groups (more than size when the list was too short), or -1 with errno.
int current_caller_groups(gid_t* list, int size) noexcept;
