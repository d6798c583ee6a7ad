// A replica disabled while writing went on stays out of service across a
// clean restart and across a restart after kill -9: the control tree shows
// it at "1", the log says why, and reads never come from it. vornelix
// --verify then shows what the stale replica lacks.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/fault_replica.h"
#include "tests/support/mount_harness.h"
#include "tests/support/replica_compare.h"

namespace {

std::string lines(int count)
{
    std::string text;
    for (int i = 1; i <= count; ++i)
        text += "line " + std::to_string(i) + "\n";
    return text;
}

const std::string old_text = lines(10);
const std::string new_text = lines(5000);


bool listed(const std::string& directory, const std::string& name)
{
    DIR* dir = opendir(directory.c_str());
    bool found = false;
    while (dir != nullptr && !found) {
        const dirent* entry = readdir(dir);
        if (entry == nullptr)
            break;
        found = name == entry->d_name;
    }
    if (dir != nullptr)
        closedir(dir);
    return found;
}

struct durable_state_test : ::testing::Test {
    scratch_dir replicas;  // outlives every mount of a test
    std::vector<std::string> roots = {replicas / "r0", replicas / "r1"};

    void SetUp() override
    {
        for (const std::string& root : roots)
            mkdir(root.c_str(), 0755);
    }

    mount_options options() const
    {
        mount_options o;
        o.replica_roots = roots;
        o.control = true;
        return o;
    }

    // Mounts, writes a short file and a name, disables r1 through the
    // control tree, then makes the file long and removes the name.
    void write_while_r1_is_out(test_mount& m)
    {
        ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
        write_file(m.at("f"), old_text);
        write_file(m.at("gone"), "x");
        ASSERT_TRUE(eventually([&] { return read_file(status_file(m, 1)) == "0"; })) << m.log_text();
        ASSERT_EQ(write_status(status_file(m, 1), "2\n"), 0);
        write_file(m.at("f"), new_text);
        ASSERT_EQ(unlink(m.at("gone").c_str()), 0);
    }

    // r0 holds what was written last, r1 what it held when it left.
    void expect_replicas_apart()
    {
        EXPECT_EQ(read_file(roots[0] + "/f"), new_text);
        EXPECT_EQ(read_file(roots[1] + "/f"), old_text);
        EXPECT_FALSE(listed(roots[0], "gone"));
        EXPECT_TRUE(listed(roots[1], "gone"));
    }

    // Started again: r1 at "1" with the reason logged, and every read
    // served by r0 (with two replicas in turn, every second read would
    // otherwise come from r1).
    void expect_r1_left_out(test_mount& m)
    {
        ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
        EXPECT_TRUE(eventually([&] { return read_file(status_file(m, 1)) == "1"; }))
            << read_file(status_file(m, 1)) << "\n" << m.log_text();
        EXPECT_EQ(read_file(status_file(m, 0)), "0");
        EXPECT_NE(m.log_text().find("replica behind the others (generation 1 of 2), starting untrusted " +
                                    roots[1] + "\n"),
                  std::string::npos)
            << m.log_text();
        for (int i = 0; i < 4; ++i) {
            struct stat st {};
            EXPECT_EQ(stat(m.at("f").c_str(), &st), 0);
            EXPECT_EQ(st.st_size, static_cast<off_t>(new_text.size()));
            EXPECT_EQ(read_file(m.at("f")), new_text);
            EXPECT_EQ(access(m.at("gone").c_str(), F_OK) == 0 ? 0 : errno, ENOENT);
            EXPECT_FALSE(listed(m.mnt(), "gone"));
        }
    }
};

TEST_F(durable_state_test, a_clean_restart_leaves_a_disabled_replica_out_until_it_is_trusted)
{
    {
        test_mount first(options());
        write_while_r1_is_out(first);
        EXPECT_EQ(first.unmount(), 0);
        EXPECT_EQ(first.log_text().find("previous mount ended"), std::string::npos) << first.log_text();
    }
    expect_replicas_apart();
    {
        test_mount second(options());
        expect_r1_left_out(second);
        EXPECT_EQ(second.log_text().find("previous mount ended"), std::string::npos) << second.log_text();
        expect_replicas_apart();

        // Repaired by hand and trusted: it is current from then on.
        write_file(roots[1] + "/f", new_text);
        ASSERT_EQ(unlink((roots[1] + "/gone").c_str()), 0);
        ASSERT_EQ(write_status(status_file(second, 1), "0"), 0);
        EXPECT_EQ(read_file(status_file(second, 1)), "0");
        EXPECT_EQ(second.unmount(), 0);
    }
    {
        test_mount third(options());
        ASSERT_TRUE(third.mounted()) << third.daemon_stderr();
        EXPECT_TRUE(eventually([&] { return read_file(status_file(third, 1)) == "0"; })) << third.log_text();
        EXPECT_EQ(third.log_text().find("starting untrusted"), std::string::npos) << third.log_text();
        EXPECT_EQ(third.unmount(), 0);
    }
    EXPECT_EQ(read_file(roots[0] + "/f"), new_text);
    EXPECT_EQ(read_file(roots[1] + "/f"), new_text);
}

TEST_F(durable_state_test, a_restart_after_kill_leaves_a_disabled_replica_out_and_advises_verify)
{
    {
        test_mount first(options());
        write_while_r1_is_out(first);
        ASSERT_GT(first.daemon_pid(), 0);
        ASSERT_EQ(kill(first.daemon_pid(), SIGKILL), 0);
        EXPECT_EQ(first.unmount(), 128 + SIGKILL);
    }
    expect_replicas_apart();
    {
        test_mount second(options());
        expect_r1_left_out(second);
        EXPECT_NE(second.log_text().find("previous mount ended without unmounting, compare the replicas with "
                                         "vornelix --verify " + roots[0]),
                  std::string::npos)
            << second.log_text();
        EXPECT_EQ(second.unmount(), 0);
    }
    expect_replicas_apart();

    const command_result verify = run_vornelix({"--verify", roots[0] + "=" + roots[1]});
    EXPECT_EQ(verify.status, 1);
    EXPECT_NE(verify.out.find("/f: size " + std::to_string(new_text.size()) + " in " + roots[0] + ", " +
                              std::to_string(old_text.size()) + " in " + roots[1] + "\n"),
              std::string::npos)
        << verify.out;
    EXPECT_NE(verify.out.find("/gone: missing in " + roots[0] + "\n"), std::string::npos) << verify.out;
}

TEST_F(durable_state_test, the_replica_under_the_mount_point_records_its_generation_too)
{
    // Replica 0 is the directory under the mount point, replica 1 is r1:
    // the kept descriptor of the former is written after the hand-over.
    mount_options o = options();
    o.replica_roots = {roots[1]};
    o.mount_point_replica = true;
    o.mount_point = roots[0];
    auto status_of_r1 = [](const test_mount& m) { return status_file(m, 0); };
    {
        test_mount first(o);
        ASSERT_TRUE(first.mounted()) << first.daemon_stderr();
        write_file(first.at("f"), old_text);
        ASSERT_TRUE(eventually([&] { return read_file(status_of_r1(first)) == "0"; })) << first.log_text();
        ASSERT_EQ(write_status(status_of_r1(first), "2"), 0);
        write_file(first.at("f"), new_text);
        EXPECT_EQ(first.unmount(), 0);
    }
    EXPECT_EQ(read_file(roots[0] + "/f"), new_text);
    EXPECT_EQ(read_file(roots[1] + "/f"), old_text);
    char generation[8] = "";
    EXPECT_EQ(getxattr(roots[0].c_str(), "trusted.vornelix.generation", generation, sizeof generation), 1);
    EXPECT_EQ(generation[0], '2');
    {
        test_mount second(o);
        ASSERT_TRUE(second.mounted()) << second.daemon_stderr();
        EXPECT_TRUE(eventually([&] { return read_file(status_of_r1(second)) == "1"; })) << second.log_text();
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(read_file(second.at("f")), new_text);
        EXPECT_EQ(second.unmount(), 0);
    }
    EXPECT_EQ(read_file(roots[1] + "/f"), old_text);
}

TEST_F(durable_state_test, a_replica_that_cannot_hold_a_record_is_remembered_behind_by_the_others)
{
    // The second replica is a FUSE filesystem without trusted. attributes,
    // as NFS: only the record on the first says that it fell behind.
    const fault_replica fault(replicas, "nfs", false);
    ASSERT_TRUE(fault.mounted());
    roots[1] = fault.mnt;
    {
        test_mount first(options());
        write_while_r1_is_out(first);
        EXPECT_EQ(first.unmount(), 0);
    }
    {
        test_mount second(options());
        ASSERT_TRUE(second.mounted()) << second.daemon_stderr();
        EXPECT_TRUE(eventually([&] { return read_file(status_file(second, 1)) == "1"; })) << second.log_text();
        EXPECT_NE(second.log_text().find("replica named behind by the others, starting untrusted " + fault.mnt),
                  std::string::npos)
            << second.log_text();
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(read_file(second.at("f")), new_text);
        EXPECT_EQ(second.unmount(), 0);
    }
    expect_replicas_apart();
}

// A first start: no replica holds a record yet, and what they hold
// decides which are trusted, which are filled, or whether to start at all.
TEST(first_start_test, what_the_replicas_hold_decides_how_the_mirror_starts)
{
    const auto put = [](const std::string& root) {
        write_file(root + "/f", "v1\n");
        mkdir((root + "/d").c_str(), 0750);
        write_file(root + "/d/g", "deep\n", 0600);
        (void)symlink("f", (root + "/l").c_str());
    };
    const auto copy = [](const std::string& from, const std::string& to) {
        ASSERT_EQ(std::system(("cp -a '" + from + "/.' '" + to + "/'").c_str()), 0);
    };
    const auto differ = [&](const std::string& r0, const std::string& r1) {
        put(r0);
        copy(r0, r1);
        write_file(r1 + "/f", "v2-newer\n");
        write_file(r1 + "/only-here", "x");
    };
    struct start_case {
        const char* name;
        std::function<void(const std::string& r0, const std::string& r1)> prepare;
        bool mount_point_replica;  // r0 is the directory under the mount point
        bool source_r0;            // -o source=r0
        int refused;               // the exit status; 0 when it mounts
        bool r1_filled;            // r1 starts at 1 and is filled from r0
    };
    const std::vector<start_case> cases = {
        {"all empty", [](auto&, auto&) {}, false, false, 0, false},
        {"empty beside full", [&](auto& r0, auto&) { put(r0); }, false, false, 0, true},
        {"the mount point full, the replica empty", [&](auto& r0, auto&) { put(r0); }, true, false, 0, true},
        {"identical copies", [&](auto& r0, auto& r1) { put(r0); copy(r0, r1); }, false, false, 0, false},
        {"different trees", differ, false, false, ENOTEMPTY, false},
        {"different trees, r0 named the source", differ, false, true, 0, true},
    };
    for (const start_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        const std::string r0 = dir / "r0", r1 = dir / "r1";
        mkdir(r0.c_str(), 0755);
        mkdir(r1.c_str(), 0755);
        c.prepare(r0, r1);
        const std::string f = access((r0 + "/f").c_str(), F_OK) == 0 ? "v1\n" : "<missing>";
        if (c.refused != 0) {
            const std::string mnt = dir / "mnt";
            mkdir(mnt.c_str(), 0755);
            const command_result refused = run_vornelix({r0 + "=" + r1, mnt});
            EXPECT_EQ(refused.status, c.refused) << refused.err;
            EXPECT_NE(refused.err.find(r0 + " and " + r1 + " hold different trees"), std::string::npos) << refused.err;
            EXPECT_NE(refused.err.find("\n/f: size 3 in " + r0 + ", 9 in " + r1), std::string::npos) << refused.err;
            EXPECT_FALSE(remove_stray_mount(mnt));
            continue;
        }
        mount_options o;
        o.control = true;
        if (c.mount_point_replica) {
            o.mount_point_replica = true;
            o.mount_point = r0;
            o.replica_roots = {r1};
        } else {
            o.replica_roots = {r0, r1};
        }
        if (c.source_r0)
            o.mount_tokens = {"source=" + r0};
        const int r1_index = c.mount_point_replica ? 0 : 1;
        test_mount m(o);
        ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
        EXPECT_TRUE(eventually([&] { return read_file(status_file(m, r1_index)) == "0"; })) << m.log_text();
        EXPECT_EQ(m.log_text().find(" filled from") != std::string::npos, c.r1_filled) << m.log_text();
        EXPECT_EQ(m.log_text().find("resync complete") != std::string::npos, c.r1_filled) << m.log_text();
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(read_file(m.at("f")), f);
            EXPECT_EQ(access(m.at("only-here").c_str(), F_OK) == 0 ? 0 : errno, ENOENT);
        }
        EXPECT_EQ(m.unmount(), 0);
        EXPECT_EQ(replica_differences({r0, r1}), "");
        EXPECT_EQ(run_vornelix({"--verify", r0 + "=" + r1}).status, 0);
    }
}

TEST(one_mount_test, a_replica_set_is_mounted_once_and_a_dead_holder_blocks_nothing)
{
    scratch_dir dir;
    mount_options o;
    o.replica_roots = {dir / "r0", dir / "r1"};
    for (const std::string& root : o.replica_roots)
        mkdir(root.c_str(), 0755);
    const std::string other = dir / "other", r2 = dir / "r2", r3 = dir / "r3";
    for (const std::string& path : {other, r2, r3})
        mkdir(path.c_str(), 0755);
    {
        test_mount first(o);
        ASSERT_TRUE(first.mounted()) << first.daemon_stderr();
        struct second_case {
            std::vector<std::string> args;
            std::string message;
            std::string mount_point;
        };
        const std::vector<second_case> cases = {
            // The same replicas elsewhere, also when one is written otherwise.
            {{o.replica_roots[0] + "=" + o.replica_roots[1], other},
             o.replica_roots[0] + ": Replica held by another vornelix, mounted at " + first.mnt() + " by pid " +
                 std::to_string(first.daemon_pid()),
             other},
            {{r2 + "=" + dir.path() + "/./r1/", other}, dir.path() + "/./r1/: Replica held by another vornelix",
             other},
            // Other replicas on the same mount point.
            {{r2 + "=" + r3, first.mnt() + "/"}, first.mnt() + "/: Mount point is already a vornelix mount",
             first.mnt()},
        };
        for (const second_case& c : cases) {
            const command_result second = run_vornelix(c.args);
            EXPECT_EQ(second.status, EBUSY) << second.err;
            EXPECT_NE(second.err.find(c.message), std::string::npos) << second.err;
            if (c.mount_point == other) {
                EXPECT_FALSE(remove_stray_mount(other));
            }
        }
        EXPECT_EQ(first.log_text().find("previous mount ended"), std::string::npos) << first.log_text();
        ASSERT_EQ(kill(first.daemon_pid(), SIGKILL), 0);
        EXPECT_EQ(first.unmount(), 128 + SIGKILL);
    }
    test_mount again(o);
    ASSERT_TRUE(again.mounted()) << again.daemon_stderr();
    EXPECT_NE(again.log_text().find("previous mount ended without unmounting"), std::string::npos) << again.log_text();
    EXPECT_EQ(again.unmount(), 0);
}

TEST(verify_command_test, exit_statuses)
{
    scratch_dir dir;
    const std::string a = dir / "a", b = dir / "b";
    mkdir(a.c_str(), 0755);
    mkdir(b.c_str(), 0755);
    const struct timespec same[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, a.c_str(), same, 0);
    utimensat(AT_FDCWD, b.c_str(), same, 0);
    // A low-priority mark belongs to the list as typed for mounting.
    const command_result identical = run_vornelix({"--verify", a + "=:" + b});
    EXPECT_EQ(identical.status, 0);
    EXPECT_EQ(identical.out, "");
    write_file(b + "/x", "");
    utimensat(AT_FDCWD, b.c_str(), same, 0);
    const command_result differs = run_vornelix({"--verify=" + a + "=" + b});
    EXPECT_EQ(differs.status, 1);
    EXPECT_EQ(differs.out, "/x: missing in " + a + "\n");
    EXPECT_EQ(run_vornelix({"--verify", a}).status, 2);
    EXPECT_EQ(run_vornelix({"--verify", a + "=" + b, "extra"}).status, 2);
    EXPECT_EQ(run_vornelix({"--verify", a + "=" + dir / "missing"}).status, 2);
}

}  // namespace
