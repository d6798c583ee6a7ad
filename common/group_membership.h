// Group membership of the calling process, for the permission checks of
// the control tree: its primary group and the supplementary groups the
// kernel holds for that process, as the kernel itself uses them. The group
// database is never asked: a process that dropped a group has it no more,
// and one given groups with setgroups or newgrp has them.
#pragma once

#include <sys/types.h>

#include "common/caller.h"

// 1 when the caller is in the group, 0 when not, -1 with errno when its
// groups cannot be read (a refusal, never a grant).
int caller_in_group(caller_identity caller, gid_t group) noexcept;

// The rwx triple (read 4, write 2, search 1) of the one class that applies
// to the caller on an object with these attributes: owner, else group,
// else other. Classes are exclusive: an owner gets only the owner triple.
// -1 with errno when the caller's groups cannot be read.
int class_triple(mode_t mode, uid_t owner, gid_t group, caller_identity caller) noexcept;
