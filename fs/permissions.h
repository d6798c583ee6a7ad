// Unix access permissions for the calling user, computed from the bits
// stored in a replica, because vornelix reaches the replicas with root's
// rights and the kernel checks nothing for the caller.
//
// Results: a class triple 0..7 (read 4, write 2, search 1) of the one class
// that applies to the caller (owner, group or other); -1 with errno set on
// failure. check_path_search answers 0 or -1. Root (uid 0) gets 7 (0 from
// check_path_search) without touching the disk.
#pragma once

#include <sys/stat.h>

#include "common/caller.h"
#include "common/group_membership.h"

enum permission_bits { may_read = 4, may_write = 2, may_search = 1 };

int path_permissions(const char* path) noexcept;
int link_permissions(const char* path) noexcept;
int fd_permissions(int fd) noexcept;
int stat_permissions(const struct stat& st) noexcept;
int check_path_search(const char* path) noexcept;
