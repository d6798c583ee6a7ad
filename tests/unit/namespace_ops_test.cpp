// Namespace changes called in-process on replica directories: what reaches
// each replica, which replicas leave service, what is logged and replied.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "fs/operations.h"
#include "fs/replicas.h"
#include "fs/replicated_mutation.h"
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
    replica_table[1].state = 7;
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
    replica_table[1].state = 1;
    EXPECT_EQ(fs_mkdir("/d", 0755), 0);
    EXPECT_FALSE(exists(1, "d"));
    EXPECT_EQ(replica_table[1].state, 1);
    replica_table[0].state = 99;
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

    // The times step: the operation's own word with "+utime".
    remove_replicas();
    use_replicas(2);
    mutation_tally times;
    ASSERT_TRUE(start_tally(times));
    record_outcome(times, 0, replica_succeeded(), mutation_variant::lenient);
    record_outcome(times, 1, replica_times_failed(EROFS), mutation_variant::lenient);
    disable_failed_replicas(times, "rename", "rename");
    EXPECT_EQ(mutation_reply(times, mutation_variant::lenient), 0);
    EXPECT_EQ(events(), disabled_after("mkdir", 0, "No space left on device") +
                            disabled_after("mkdir+chown", 1, "Operation not permitted") +
                            disabled_after("rename+utime", 1, "Read-only file system"));

    // Every replica failing its ownership step: the lowest one's error,
    // without its sign.
    replica_table[0].state = 0;
    replica_table[1].state = 0;
    mutation_tally all_failed;
    ASSERT_TRUE(start_tally(all_failed));
    for (int k = 2; k >= 0; --k)
        record_outcome(all_failed, k, replica_ownership_failed(k == 0 ? EPERM : EIO),
                       mutation_variant::strict);
    EXPECT_EQ(mutation_reply(all_failed, mutation_variant::strict), -EPERM);
}

// After each change of names, every replica holds the same times, to the
// nanosecond, where the kernel would have stamped each with its own clock.
TEST_F(namespace_ops_test, every_change_of_names_leaves_one_instant_on_every_replica)
{
    use_replicas(3);
    const struct timespec early[2] = {{1000000, 111}, {1000000, 222}};
    struct change {
        const char* what;
        int (*call)();
        std::vector<std::string> stamped;  // times now after the change
        std::vector<std::string> kept;     // atime or both times still early
    };
    const change changes[] = {
        {"mkdir", [] { return fs_mkdir("/d", 0755); }, {"d", "."}, {}},
        {"another mkdir", [] { return fs_mkdir("/e", 0755); }, {"e", "."}, {"d"}},
        {"mkdir below", [] { return fs_mkdir("/d/s", 0755); }, {"d/s", "d"}, {"d atime", "e"}},
        {"mknod of a file", [] { return fs_mknod("/d/f", S_IFREG | 0644, 0); }, {"d/f", "d"}, {"d atime"}},
        {"mknod of a fifo", [] { return fs_mknod("/d/p", S_IFIFO | 0644, 0); }, {"d/p", "d"}, {"d atime"}},
        {"symlink", [] { return fs_symlink("f", "/d/l"); }, {"d/l", "d"}, {"d atime"}},
        {"link", [] { return fs_link("/d/f", "/e/h"); }, {"e"}, {"d", "d/f"}},
        {"rename across directories", [] { return fs_rename("/d/f", "/e/g"); }, {"d", "e"}, {"e/g"}},
        {"rename within a directory", [] { return fs_rename("/e/g", "/e/k"); }, {"e"}, {"d", "e/k"}},
        {"unlink", [] { return fs_unlink("/e/h"); }, {"e"}, {"d", "e/k"}},
        {"rmdir", [] { return fs_rmdir("/d/s"); }, {"d"}, {"e", "e atime"}},
    };
    for (const change& c : changes) {
        // Everything early (through the mount's own utimens, so alike on
        // every replica), then the change.
        // Looked at on every replica, as make would: the kernel then stamps
        // the next change with a fine-grained clock rather than the tick
        // that several replicas changed at once would share.
        for (const char* name : {".", "d", "e", "d/s", "d/f", "e/g", "e/k"}) {
            (void)fs_utimens(name[0] == '.' ? "/" : ("/" + std::string(name)).c_str(), early);
            for (int k = 0; k < 3; ++k)
                (void)attributes(k, name);
        }
        ASSERT_EQ(c.call(), 0) << c.what;
        for (const std::string& name : c.stamped) {
            const struct stat first = attributes(0, name);
            EXPECT_GT(first.st_mtim.tv_sec, 1000000) << c.what << ": " << name;
            for (int k = 1; k < 3; ++k) {
                EXPECT_EQ(attributes(k, name).st_mtim.tv_sec, first.st_mtim.tv_sec) << c.what << ": " << name;
                EXPECT_EQ(attributes(k, name).st_mtim.tv_nsec, first.st_mtim.tv_nsec) << c.what << ": " << name;
                EXPECT_EQ(attributes(k, name).st_atim.tv_nsec, first.st_atim.tv_nsec) << c.what << ": " << name;
            }
        }
        for (std::string name : c.kept) {
            const bool atime_only = name.size() > 6 && name.substr(name.size() - 6) == " atime";
            name = name.substr(0, atime_only ? name.size() - 6 : name.size());
            for (int k = 0; k < 3; ++k) {
                EXPECT_EQ(attributes(k, name).st_atim.tv_nsec, 111) << c.what << ": " << name << " in " << k;
                if (!atime_only) {
                    EXPECT_EQ(attributes(k, name).st_mtim.tv_nsec, 222) << c.what << ": " << name << " in " << k;
                }
            }
        }
    }
    EXPECT_EQ(events(), "");
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
