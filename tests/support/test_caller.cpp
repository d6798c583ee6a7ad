#include "tests/support/test_caller.h"

#include "common/caller.h"

namespace {
thread_local caller_identity test_identity{0, 0};
thread_local std::vector<gid_t> test_groups;
}  // namespace

void set_test_caller(uid_t uid, gid_t gid, const std::vector<gid_t>& groups)
{
    test_identity = {uid, gid};
    test_groups = groups;
}

caller_identity current_caller() noexcept
{
    return test_identity;
}

int current_caller_groups(gid_t* list, int size) noexcept
{
    const int count = static_cast<int>(test_groups.size());
    for (int i = 0; i < count && i < size; ++i)
        list[i] = test_groups[static_cast<size_t>(i)];
    return count;
}
