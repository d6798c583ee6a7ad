// Namespace changes called in-process on replica directories: what reaches
// each replica, which replicas leave service, what is logged and replied.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <set>
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

// The fault contract of the changing operations: with the replicas set up
// as a row says (some out of service beforehand, some differing), the
// operation gives this reply, leaves this set of replicas out of service,
// and writes these log lines (the failing word, then the disabling).
// A strict change fails alike everywhere with the lowest replica's error; a
// lenient one failing everywhere with the highest; a replica alone in
// failing leaves service; no replica in service is an I/O error.
TEST_F(namespace_ops_test, fault_table)
{
    using fixture = namespace_ops_test;
    constexpr uid_t alice = 1001;
    constexpr gid_t alice_group = 1001;
    const struct timespec times[2] = {{1000000, 0}, {2000000, 0}};
    struct row {
        const char* what;
        int replicas;
        std::set<int> out_before;
        std::function<void(fixture&)> setup;
        std::function<int()> change;
        int reply;
        std::set<int> out_after;
        std::function<std::string(const fixture&)> log;
        std::function<bool(const fixture&)> after;  // what else must hold
        uid_t uid = 0;
        gid_t gid = 0;
    };
    const auto none = [](const fixture&) { return std::string(); };
    const auto nothing = [](fixture&) {};
    const auto fine = [](const fixture&) { return true; };
    const auto dir_everywhere = [](const std::string& name) {
        return [name](fixture& f) {
            for (int k = 0; k < state().replicas.count; ++k)
                mkdir(f.in(k, name).c_str(), 0755);
        };
    };
    const auto disabled = [](const char* word, int k, const char* error) {
        return [=](const fixture& f) { return f.disabled_after(word, k, error); };
    };
    const row rows[] = {
        {"mkdir of a name on every replica", 3, {}, dir_everywhere("d"),
         [] { return fs_mkdir("/d", 0755); }, -EEXIST, {}, none, fine},
        {"strict: the lowest replica's error", 3, {1}, [](fixture& f) { write_file(f.in(0, "a"), "file"); },
         [] { return fs_mkdir("/a/b", 0755); }, -ENOTDIR, {1}, none, fine},
        {"lenient: failing everywhere, the highest error", 3, {}, [](fixture& f) { mkdir(f.in(2, "g").c_str(), 0755); },
         [] { return fs_unlink("/g"); }, -EISDIR, {}, none, fine},
        {"a replica out of service takes no part", 2, {1}, nothing, [] { return fs_mkdir("/d", 0755); }, 0, {1},
         none, [](const fixture& f) { return f.exists(0, "d") && !f.exists(1, "d"); }},
        {"mkdir with no replica in service", 2, {0, 1}, nothing, [] { return fs_mkdir("/e", 0755); }, -EIO,
         {0, 1}, none, fine},
        {"unlink with no replica in service", 2, {0, 1}, dir_everywhere("d"), [] { return fs_unlink("/d"); }, -EIO,
         {0, 1}, none, fine},
        {"rename with no replica in service", 2, {0, 1}, dir_everywhere("d"), [] { return fs_rename("/d", "/e"); },
         -EIO, {0, 1}, none, fine},
        {"link with no replica in service", 2, {0, 1}, dir_everywhere("d"), [] { return fs_link("/d", "/e"); }, -EIO,
         {0, 1}, none, fine},
        {"creating a regular file never reuses an existing name", 2, {},
         [](fixture& f) { write_file(f.in(1, "f"), "keep"); }, [] { return fs_mknod("/f", S_IFREG | 0644, 0); }, 0,
         {1}, disabled("mknod", 1, "File exists"), [](const fixture& f) { return read_file(f.in(1, "f")) == "keep"; }},
        {"unlink of a name missing from one replica", 2, {}, [](fixture& f) { write_file(f.in(0, "f"), "x"); },
         [] { return fs_unlink("/f"); }, 0, {1}, disabled("unlink", 1, "No such file or directory"),
         [](const fixture& f) { return !f.exists(0, "f"); }},
        // A name missing everywhere is the answer and disables nothing.
        {"truncate of a missing name", 2, {}, nothing, [] { return fs_truncate("/missing", 0); }, -ENOENT, {}, none,
         fine, alice, alice_group},
        {"utimens of a missing name", 2, {}, nothing, [&] { return fs_utimens("/missing", times); }, -ENOENT, {},
         none, fine, alice, alice_group},
        {"chmod of a missing name", 2, {}, nothing, [] { return fs_chmod("/missing", 0600); }, -ENOENT, {}, none,
         fine, alice, alice_group},
        {"chown of a missing name", 2, {}, nothing, [] { return fs_chown("/missing", alice, alice_group); }, -ENOENT,
         {}, none, fine, alice, alice_group},
        {"setxattr of a missing name", 2, {}, nothing, [] { return fs_setxattr("/missing", "user.a", "1", 1, 0); },
         -ENOENT, {}, none, fine, alice, alice_group},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        set_test_caller(0, 0);
        remove_replicas();
        for (int k = 0; k < 3; ++k)
            std::filesystem::remove_all(dir / ("r" + std::to_string(k)));
        unlink((dir / "log").c_str());
        use_replicas(r.replicas);
        for (int k : r.out_before)
            store_state_word(k, 7);
        r.setup(*this);
        set_test_caller(r.uid, r.gid);
        EXPECT_EQ(r.change(), r.reply);
        set_test_caller(0, 0);
        std::set<int> out;
        for (int k = 0; k < state().replicas.count; ++k)
            if (!replica_in_service(k))
                out.insert(k);
        EXPECT_EQ(out, r.out_after);
        EXPECT_EQ(events(), r.log(*this));
        EXPECT_TRUE(r.after(*this));
    }
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
    store_state_word(0, 0);
    store_state_word(1, 0);
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
