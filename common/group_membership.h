// Group membership from the system's group database, for permission checks
// of both programs: the FUSE context gives only the caller's uid and primary
// gid, so a supplementary group is found by the member names its entry
// lists.
#pragma once

#include <sys/types.h>

// Whether the group's entry lists, by name, a user whose uid is user. Each
// lookup uses a zero-filled buffer of its own (reentrant lookups only,
// never a record shared between threads), grown while the entry does not
// fit. 1 member, 0 not a member (no such group, a lookup error, or a member
// name without a password entry count as no match), -1 with errno ENOMEM.
int group_lists_user(gid_t group, uid_t user) noexcept;
