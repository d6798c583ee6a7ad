#include <gtest/gtest.h>

#include "tests/support/mount_harness.h"

TEST(startup, version_text)
{
    const command_result r = run_vornelix({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "This is the Vornelix V1.1.1, a Fuse based filesystem which implements\nfilesystem replication.\n");
}

TEST(startup, mounts_and_unmounts)
{
    mount_options options;
    options.mount_point_replica = true;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    EXPECT_GT(m.daemon_pid(), 0);
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_FALSE(m.mounted());
    std::printf("%s", m.log_text().c_str());
}
