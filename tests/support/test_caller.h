// The tests' side of the caller seam: the identity that the daemon's pieces
// see is set per thread (root until set).
#pragma once

#include <sys/types.h>

void set_test_caller(uid_t uid, gid_t gid);
