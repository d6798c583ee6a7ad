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
#include <string>
#include <vector>

#include "tests/support/mount_harness.h"

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
        EXPECT_NE(m.log_text().find("replica behind the others (generation 1 of 2), starting untrusted failed "
                                    "accessing " + roots[1] + "\n"),
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
                                         "vornelix --verify failed accessing "),
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
