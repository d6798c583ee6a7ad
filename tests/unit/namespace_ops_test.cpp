// Namespace changes called in-process on replica directories: what reaches
// each replica, which replicas leave service, what is logged and replied.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "fs/engine/replicas.h"
#include "fs/engine/replicated_mutation.h"
#include "fs/kernel/operations.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"
#include "tests/support/test_caller.h"

namespace {

struct namespace_ops_test : replica_dirs_test {
    // n replicas whose roots anyone may write to.
    void use_replicas(int n, mode_t root_mode = 0777) { replica_dirs_test::use_replicas(n, root_mode); }
    bool exists(int k, const std::string& name) const
    {
        struct stat st;
        return lstat(in(k, name).c_str(), &st) == 0;
    }
    std::string disabled_after(const std::string& word, int k, const std::string& error) const
    {
        return word + " failed accessing " + root(k) + " " + error + "\n" +
               "disabling replica failed accessing " + root(k) + "\n";
    }
};

TEST_F(namespace_ops_test, strict_variant_replies_with_the_lowest_replicas_error)
{
    use_replicas(3);
    ASSERT_EQ(fs_mkdir("/d", 0755), 0);
    EXPECT_EQ(fs_mkdir("/d", 0755), -EEXIST);
    write_file(in(0, "a"), "file");
    set_state(1, replica_state::disabled, 7);
    EXPECT_EQ(fs_mkdir("/a/b", 0755), -ENOTDIR);
    EXPECT_EQ(events(), "");
}

TEST_F(namespace_ops_test, lenient_variant_failing_everywhere_replies_the_highest_error)
{
    use_replicas(3);
    mkdir(in(2, "g").c_str(), 0755);
    EXPECT_EQ(fs_unlink("/g"), -EISDIR);
    EXPECT_TRUE(replica_in_service(0) && replica_in_service(1) && replica_in_service(2));
    EXPECT_EQ(events(), "");
}

TEST_F(namespace_ops_test, replicas_out_of_service_take_no_part_and_no_change_is_eio)
{
    use_replicas(2);
    set_state(1, replica_state::behind);
    EXPECT_EQ(fs_mkdir("/d", 0755), 0);
    EXPECT_FALSE(exists(1, "d"));
    EXPECT_EQ(state_of(1), replica_state::behind);
    set_state(0, replica_state::disabled, 99);
    EXPECT_EQ(fs_mkdir("/e", 0755), -EIO);
    EXPECT_EQ(fs_unlink("/d"), -EIO);
    EXPECT_EQ(fs_rename("/d", "/e"), -EIO);
    EXPECT_EQ(fs_link("/d", "/e"), -EIO);
    EXPECT_EQ(events(), "");
}

TEST_F(namespace_ops_test, creating_a_regular_file_never_reuses_an_existing_name)
{
    use_replicas(2);
    write_file(in(1, "f"), "keep");
    EXPECT_EQ(fs_mknod("/f", S_IFREG | 0644, 0), 0);
    EXPECT_EQ(read_file(in(1, "f")), "keep");
    EXPECT_EQ(events(), disabled_after("mknod", 1, "File exists"));
}

TEST_F(namespace_ops_test, ownership_step_failures_have_their_own_log_word_and_reply)
{
    use_replicas(3);
    mutation_tally tally;
    ASSERT_TRUE(start_tally(tally));
    record_outcome(tally, 2, replica_succeeded(), mutation_variant::strict);
    record_outcome(tally, 1, replica_ownership_failed(EPERM), mutation_variant::strict);
    record_outcome(tally, 0, replica_failed(ENOSPC), mutation_variant::strict);
    disable_failed_replicas(tally, "mkdir", "mkdir+chown");
    EXPECT_EQ(events(), disabled_after("mkdir", 0, "No space left on device") +
                            disabled_after("mkdir+chown", 1, "Operation not permitted"));

    // Every replica failing its ownership step: the lowest one's error.
    set_state(0, replica_state::in_service);
    set_state(1, replica_state::in_service);
    mutation_tally all_failed;
    ASSERT_TRUE(start_tally(all_failed));
    for (int k = 2; k >= 0; --k)
        record_outcome(all_failed, k, replica_ownership_failed(k == 0 ? EPERM : EIO),
                       mutation_variant::strict);
    EXPECT_EQ(mutation_reply(all_failed, mutation_variant::strict), -EPERM);

    // The times step: the operation's own word with "+utime".
    mutation_tally times;
    ASSERT_TRUE(start_tally(times));
    record_outcome(times, 0, replica_succeeded(), mutation_variant::lenient);
    record_outcome(times, 2, replica_times_failed(EROFS), mutation_variant::lenient);
    disable_failed_replicas(times, "rename", "rename");
    EXPECT_EQ(mutation_reply(times, mutation_variant::lenient), 0);
    EXPECT_EQ(events(), disabled_after("mkdir", 0, "No space left on device") +
                            disabled_after("mkdir+chown", 1, "Operation not permitted") +
                            disabled_after("rename+utime", 2, "Read-only file system"));
}

TEST_F(namespace_ops_test, every_replica_gives_a_new_object_the_same_group)
{
    // The replica under the mount point is reached relative to the working
    // directory; its top directory rules the group like any other parent.
    const std::string top = dir / "under-mount";
    const std::string other = dir / "other";
    for (const std::string& d : {top, other}) {
        mkdir(d.c_str(), 0);
        chown(d.c_str(), 0, 500);
        chmod(d.c_str(), 02777);
    }
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(top.c_str()), 0);
    install_replicas({".", other});
    set_test_caller(1001, 1001);
    const int rc = fs_mknod("/f", S_IFREG | 0600, 0);
    const bool back = chdir(saved) == 0;
    ASSERT_TRUE(back);
    EXPECT_EQ(rc, 0);
    struct stat st;
    ASSERT_EQ(lstat((top + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 500u);
    ASSERT_EQ(lstat((other + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 500u);
}

}  // namespace
