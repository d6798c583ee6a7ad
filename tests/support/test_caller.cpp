#include "tests/support/test_caller.h"

#include "common/caller.h"

namespace {
thread_local caller_identity test_identity{0, 0};
}

void set_test_caller(uid_t uid, gid_t gid)
{
    test_identity = {uid, gid};
}

caller_identity current_caller() noexcept
{
    return test_identity;
}
