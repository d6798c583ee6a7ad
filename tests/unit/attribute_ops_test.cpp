// Attribute changes called in-process on replica directories: what reaches
// every replica, and what never leaves one. Whether a caller may make a
// change is the kernel's decision, covered by the parity suite through a
// real mount.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "fs/engine/event_log.h"
#include "fs/engine/replicas.h"
#include "fs/kernel/operations.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"
#include "tests/support/test_caller.h"

namespace {

constexpr uid_t alice = 1001, bob = 1002;
constexpr gid_t alice_group = 1001, bob_group = 1002;

struct attribute_ops_test : replica_dirs_test {
    // The same object in every replica.
    void make_everywhere(const std::string& name, mode_t mode, uid_t uid, gid_t gid)
    {
        for (int k = 0; k < state().replicas.count; ++k) {
            write_file(in(k, name), "0123456789", mode);
            chown(in(k, name).c_str(), uid, gid);
            chmod(in(k, name).c_str(), mode);
        }
    }
    bool untouched_log() const { return read_file(dir / "log") == ""; }
};

TEST_F(attribute_ops_test, chown_keeps_ids_passed_as_minus_one_and_acts_on_links_themselves)
{
    use_replicas(2);
    make_everywhere("f", 0644, alice, alice_group);
    for (int k = 0; k < 2; ++k) {
        symlink("f", in(k, "link").c_str());
        symlink("missing", in(k, "dangling").c_str());
    }
    EXPECT_EQ(fs_chown("/f", static_cast<uid_t>(-1), bob_group), 0);
    EXPECT_EQ(fs_chown("/link", bob, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(fs_chown("/dangling", bob, bob_group), 0);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(attributes(k, "f").st_uid, alice);
        EXPECT_EQ(attributes(k, "f").st_gid, bob_group);
        EXPECT_EQ(attributes(k, "link").st_uid, bob);
        EXPECT_EQ(attributes(k, "dangling").st_gid, bob_group);
    }
    EXPECT_TRUE(untouched_log());
}

TEST_F(attribute_ops_test, utimens_and_truncate_give_every_replica_the_same_now)
{
    use_replicas(2);
    make_everywhere("f", 0644, alice, alice_group);
    const struct timespec set[2] = {{1000000, 123456789}, {2000000, 987654321}};
    ASSERT_EQ(fs_utimens("/f", set), 0);
    const struct timespec only_mtime[2] = {{0, UTIME_OMIT}, {3000000, 5}};
    ASSERT_EQ(fs_utimens("/f", only_mtime), 0);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(attributes(k, "f").st_atim.tv_sec, 1000000);
        EXPECT_EQ(attributes(k, "f").st_atim.tv_nsec, 123456789);
        EXPECT_EQ(attributes(k, "f").st_mtim.tv_sec, 3000000);
        EXPECT_EQ(attributes(k, "f").st_mtim.tv_nsec, 5);
    }
    const struct timespec now_atime[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
    ASSERT_EQ(fs_utimens("/f", now_atime), 0);
    EXPECT_GT(attributes(0, "f").st_atim.tv_sec, 1000000);
    EXPECT_EQ(attributes(0, "f").st_atim.tv_nsec, attributes(1, "f").st_atim.tv_nsec);
    EXPECT_EQ(attributes(1, "f").st_mtim.tv_sec, 3000000);

    // A truncation stamps one instant too, and leaves the access time.
    const struct timespec accessed = attributes(0, "f").st_atim;
    ASSERT_EQ(fs_truncate("/f", 3), 0);
    for (int k = 0; k < 2; ++k) {
        EXPECT_GT(attributes(k, "f").st_mtim.tv_sec, 3000000);
        EXPECT_EQ(attributes(k, "f").st_mtim.tv_nsec, attributes(0, "f").st_mtim.tv_nsec);
        EXPECT_EQ(attributes(k, "f").st_atim.tv_sec, accessed.tv_sec);
        EXPECT_EQ(attributes(k, "f").st_atim.tv_nsec, accessed.tv_nsec);
    }
}

TEST_F(attribute_ops_test, changes_never_follow_a_link_out_of_the_tree)
{
    use_replicas(2);
    const std::string outside = dir / "outside";
    mkdir(outside.c_str(), 0755);
    write_file(outside + "/f", "0123456789", 0644);
    for (int k = 0; k < 2; ++k) {
        symlink((outside + "/f").c_str(), in(k, "l").c_str());
        symlink(outside.c_str(), in(k, "d").c_str());
        symlink("..", in(k, "up").c_str());
    }
    const struct timespec times[2] = {{1000000, 0}, {2000000, 0}};
    EXPECT_EQ(fs_chmod("/l", 0666), -EOPNOTSUPP);
    EXPECT_EQ(fs_truncate("/l", 0), -ELOOP);
    EXPECT_EQ(fs_utimens("/l", times), 0);
    // A link on the way is never walked through, wherever it points.
    EXPECT_EQ(fs_truncate("/d/f", 0), -ELOOP);
    EXPECT_EQ(fs_chmod("/d/f", 0666), -ELOOP);
    EXPECT_EQ(fs_mkdir("/up/escaped", 0755), -ELOOP);
    struct stat st;
    ASSERT_EQ(stat((outside + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_size, 10);
    EXPECT_NE(st.st_mtime, 2000000);
    EXPECT_EQ(access((dir / "escaped").c_str(), F_OK), -1);
    EXPECT_EQ(attributes(1, "l").st_mtime, 2000000);
    EXPECT_TRUE(replica_in_service(0) && replica_in_service(1));
}

TEST_F(attribute_ops_test, user_attributes_reach_every_replica_and_no_other_namespace_does)
{
    use_replicas(2);
    make_everywhere("f", 0644, alice, alice_group);
    ASSERT_EQ(fs_setxattr("/f", "user.colour", "blue", 4, 0), 0);
    EXPECT_EQ(fs_setxattr("/f", "user.colour", "red", 3, XATTR_CREATE), -EEXIST);
    for (const char* name : {"trusted.x", "security.x", "system.posix_acl_access"}) {
        EXPECT_EQ(fs_setxattr("/f", name, "1", 1, 0), -EOPNOTSUPP) << name;
        EXPECT_EQ(fs_getxattr("/f", name, nullptr, 0), -EOPNOTSUPP) << name;
        EXPECT_EQ(fs_removexattr("/f", name), -EOPNOTSUPP) << name;
    }
    char value[16] = {};
    for (int k = 0; k < 2; ++k) {
        ASSERT_EQ(lgetxattr(in(k, "f").c_str(), "user.colour", value, sizeof value), 4);
        EXPECT_EQ(std::string(value, 4), "blue");
        // Names of other namespaces on a replica stay out of the listing.
        ASSERT_EQ(lsetxattr(in(k, "f").c_str(), "trusted.hidden", "1", 1, 0), 0);
    }
    EXPECT_EQ(fs_getxattr("/f", "user.colour", nullptr, 0), 4);
    EXPECT_EQ(fs_getxattr("/f", "user.colour", value, 2), -ERANGE);
    EXPECT_EQ(fs_getxattr("/f", "user.none", value, sizeof value), -ENODATA);
    char names[64];
    const int length = fs_listxattr("/f", names, sizeof names);
    ASSERT_EQ(length, static_cast<int>(sizeof "user.colour"));
    EXPECT_STREQ(names, "user.colour");
    EXPECT_EQ(fs_listxattr("/f", nullptr, 0), length);
    EXPECT_EQ(fs_listxattr("/f", names, 3), -ERANGE);
    ASSERT_EQ(fs_removexattr("/f", "user.colour"), 0);
    EXPECT_EQ(lgetxattr(in(1, "f").c_str(), "user.colour", value, sizeof value), -1);
    EXPECT_TRUE(untouched_log());
}

}  // namespace
