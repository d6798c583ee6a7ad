// Attribute changes called in-process on replica directories: the owner
// and identity rules of each operation, and the lenient handling of
// refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>

#include "fs/event_log.h"
#include "fs/operations.h"
#include "fs/replicas.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"
#include "tests/support/test_caller.h"

namespace {

constexpr uid_t alice = 1001, bob = 1002;
constexpr gid_t alice_group = 1001, bob_group = 1002, other_group = 500;

struct attribute_ops_test : replica_dirs_test {
    // The same object in every replica.
    void make_everywhere(const std::string& name, mode_t mode, uid_t uid, gid_t gid)
    {
        for (int k = 0; k < replica_count; ++k) {
            write_file(in(k, name), "0123456789", mode);
            chown(in(k, name).c_str(), uid, gid);
            chmod(in(k, name).c_str(), mode);
        }
    }
    bool untouched_log() const { return read_file(dir / "log") == ""; }
};

TEST_F(attribute_ops_test, chmod_drops_set_group_id_for_a_group_the_owner_is_not_in)
{
    use_replicas(1);
    make_everywhere("mine", 0755, alice, alice_group);
    make_everywhere("foreign", 0755, alice, other_group);
    set_test_caller(alice, alice_group);
    EXPECT_EQ(fs_chmod("/mine", 02755), 0);
    EXPECT_EQ(fs_chmod("/foreign", 02755), 0);
    EXPECT_EQ(attributes(0, "mine").st_mode & 07777, 02755u);
    EXPECT_EQ(attributes(0, "foreign").st_mode & 07777, 0755u);
    set_test_caller(0, 0);
    EXPECT_EQ(fs_chmod("/foreign", 02755), 0);
    EXPECT_EQ(attributes(0, "foreign").st_mode & 07777, 02755u);
}

TEST_F(attribute_ops_test, chown_keeps_ids_passed_as_minus_one_and_only_root_gives_away)
{
    use_replicas(2);
    make_everywhere("f", 0644, alice, alice_group);
    const uid_t keep_uid = static_cast<uid_t>(-1);
    const gid_t keep_gid = static_cast<gid_t>(-1);
    set_test_caller(alice, 1003);
    EXPECT_EQ(fs_chown("/f", keep_uid, keep_gid), 0);
    EXPECT_EQ(fs_chown("/f", bob, keep_gid), -EPERM);
    // The owner may pick its own gid, not a group it is not in.
    EXPECT_EQ(fs_chown("/f", keep_uid, other_group), -EPERM);
    EXPECT_EQ(fs_chown("/f", keep_uid, 1003), 0);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(attributes(k, "f").st_uid, alice);
        EXPECT_EQ(attributes(k, "f").st_gid, 1003u);
    }
    set_test_caller(0, 0);
    EXPECT_EQ(fs_chown("/f", bob, keep_gid), 0);
    EXPECT_EQ(attributes(1, "f").st_uid, bob);
    EXPECT_EQ(attributes(1, "f").st_gid, 1003u);
    EXPECT_TRUE(untouched_log());
}

TEST_F(attribute_ops_test, chown_by_others_needs_write_permission_and_the_current_ids)
{
    use_replicas(2);
    make_everywhere("shared", 0666, alice, alice_group);
    make_everywhere("readonly", 0444, alice, alice_group);
    set_test_caller(bob, bob_group);
    EXPECT_EQ(fs_chown("/shared", alice, alice_group), 0);
    EXPECT_EQ(fs_chown("/shared", alice, bob_group), -EPERM);
    set_test_caller(alice, alice_group);
    EXPECT_EQ(fs_chown("/readonly", alice, alice_group), -EPERM);
    EXPECT_EQ(attributes(0, "shared").st_gid, alice_group);
}

TEST_F(attribute_ops_test, chown_of_a_symbolic_link_changes_the_link_itself)
{
    use_replicas(2);
    make_everywhere("target", 0644, 0, 0);
    for (int k = 0; k < 2; ++k) {
        symlink("target", in(k, "link").c_str());
        symlink("missing", in(k, "dangling").c_str());
        lchown(in(k, "dangling").c_str(), alice, alice_group);
    }
    EXPECT_EQ(fs_chown("/link", alice, bob_group), 0);
    EXPECT_EQ(attributes(0, "link").st_uid, alice);
    EXPECT_EQ(attributes(0, "target").st_uid, 0u);
    set_test_caller(alice, alice_group);
    EXPECT_EQ(fs_chown("/dangling", alice, alice_group), -ENOENT);
}

TEST_F(attribute_ops_test, truncate_of_a_name_missing_everywhere_disables_nothing)
{
    use_replicas(2);
    set_test_caller(alice, alice_group);
    EXPECT_EQ(fs_truncate("/missing", 0), -ENOENT);
    set_test_caller(0, 0);
    EXPECT_EQ(fs_truncate("/missing", 0), -ENOENT);
    EXPECT_TRUE(replica_in_service(0) && replica_in_service(1));
    EXPECT_TRUE(untouched_log());
}

TEST_F(attribute_ops_test, utime_needs_write_permission_or_ownership)
{
    use_replicas(2);
    make_everywhere("shared", 0666, alice, alice_group);
    make_everywhere("kept", 0444, alice, alice_group);
    struct utimbuf times = {1000000, 2000000};
    set_test_caller(bob, bob_group);
    EXPECT_EQ(fs_utime("/shared", &times), 0);
    EXPECT_EQ(attributes(1, "shared").st_mtime, 2000000);
    EXPECT_EQ(fs_utime("/kept", &times), -EACCES);
    EXPECT_EQ(fs_utime("/kept", nullptr), -EACCES);
    EXPECT_NE(attributes(0, "kept").st_mtime, 2000000);
    set_test_caller(alice, alice_group);
    EXPECT_EQ(fs_utime("/kept", nullptr), 0);
    EXPECT_EQ(fs_utime("/kept", &times), 0);
    EXPECT_EQ(attributes(1, "kept").st_mtime, 2000000);
    // A name the lookup cannot find: its answer, and nothing touched.
    EXPECT_EQ(fs_utime("/missing", &times), -ENOENT);
    EXPECT_EQ(fs_chmod("/missing", 0600), -ENOENT);
    EXPECT_EQ(fs_chown("/missing", alice, alice_group), -ENOENT);
    EXPECT_TRUE(untouched_log());
}

TEST_F(attribute_ops_test, changes_never_follow_a_link_out_of_the_tree)
{
    use_replicas(2);
    const std::string outside = dir / "outside";
    write_file(outside, "0123456789", 0644);
    for (int k = 0; k < 2; ++k)
        symlink(outside.c_str(), in(k, "l").c_str());
    struct utimbuf times = {1000000, 2000000};
    EXPECT_EQ(fs_chmod("/l", 0666), -EOPNOTSUPP);
    EXPECT_EQ(fs_truncate("/l", 0), -ELOOP);
    EXPECT_EQ(fs_utime("/l", &times), 0);
    struct stat st;
    ASSERT_EQ(stat(outside.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_size, 10);
    EXPECT_NE(st.st_mtime, 2000000);
    EXPECT_EQ(attributes(1, "l").st_mtime, 2000000);
    EXPECT_TRUE(replica_in_service(0) && replica_in_service(1));
}

}  // namespace
