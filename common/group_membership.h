// Group membership from the system's group database, for permission checks
// of both programs: the FUSE context gives only the caller's uid and primary
// gid, so a supplementary group is found by the member names its entry
// lists.
#pragma once

#include <sys/types.h>

#include "common/caller.h"

// Whether the group's entry lists, by name, a user whose uid is user. Each
// lookup uses a zero-filled buffer of its own (reentrant lookups only,
// never a record shared between threads), grown while the entry does not
// fit. 1 member, 0 not a member (no such group, a lookup error, or a member
// name without a password entry count as no match), -1 with errno ENOMEM
// (also for an entry too large to read: a refusal, never a grant).
int group_lists_user(gid_t group, uid_t user) noexcept;

// The rwx triple (read 4, write 2, search 1) of the one class that applies
// to the caller on an object with these attributes: owner, else group (by
// primary gid or by the member list), else other. Classes are exclusive:
// an owner gets only the owner triple. -1 with errno ENOMEM.
int class_triple(mode_t mode, uid_t owner, gid_t group, caller_identity caller) noexcept;
