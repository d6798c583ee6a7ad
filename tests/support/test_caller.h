// The tests' side of the caller seam: the identity that the daemon's pieces
// see is set per thread (root, with no supplementary groups, until set).
#pragma once

#include <sys/types.h>

#include <vector>

void set_test_caller(uid_t uid, gid_t gid, const std::vector<gid_t>& groups = {});
