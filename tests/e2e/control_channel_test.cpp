// The control thread of a mounted vornelix, seen from the other end of its
// pipes: a copy of vornelix starts the probe program in place of vornctl
// (the name is derived from the copy's name), and the probe performs the
// exchanges the test asks for and reports the bytes it received.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/frame.h"
#include "tests/support/mount_harness.h"
#include "tests/support/probe_install.h"

namespace {

constexpr const char* control_thread_name = "vornelix-ctl";

std::string padded(const std::string& payload)
{
    char length[8];
    snprintf(length, sizeof length, "%4X", static_cast<unsigned>(payload.size()));
    return length + payload;
}

std::string first_line(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

bool has_thread_named(pid_t pid, const std::string& name)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return false;
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && first_line(tasks + "/" + entry->d_name + "/comm") == name)
            found = true;
    }
    closedir(dir);
    return found;
}

bool serves_files(const test_mount& mount, const std::string& name)
{
    write_file(mount.at(name), "still here\n");
    return read_file(mount.at(name)) == "still here\n";
}

TEST(control_channel, info_sequence_and_requests_over_the_pipes)
{
    probe_install probe;
    mount_options options = with_probe(probe);
    options.mount_point_replica = true;
    test_mount mount(options);
    ASSERT_TRUE(mount.mounted()) << mount.daemon_stderr();
    ASSERT_TRUE(probe.accept_probe()) << mount.log_text();
    EXPECT_TRUE(has_thread_named(mount.daemon_pid(), control_thread_name));

    // Replica 0 is the directory under the mount point, sent as ".".
    EXPECT_EQ(probe.send("info"), "+" + padded(mount.mnt()) + padded(mount.ctl()) + "000203" + "   1." +
                                      padded(mount.replica(0)) + padded(mount.replica(1)));

    EXPECT_EQ(probe.send("stat:01"), "+00010");
    EXPECT_EQ(probe.send("disable:01"), "+0002OK");
    EXPECT_EQ(probe.send("stat:01"), "+00012");
    EXPECT_EQ(probe.send("stat:00"), "+00010");
    EXPECT_EQ(probe.send("trust:01"), "+0002OK");
    EXPECT_EQ(probe.send("stat:01"), "+00010");
    EXPECT_EQ(probe.send("disable:00"), "+0002OK");
    EXPECT_EQ(probe.send("stat:00"), "+00012");
    EXPECT_EQ(probe.send("trust:00"), "+0002OK");

    // Which requests are refused is tested on the request table
    // (tests/unit/ctl_server_test.cpp); here, that a refusal reaches the
    // pipes and the loop goes on.
    EXPECT_EQ(probe.send("stat:03"), "+0003ERR");
    EXPECT_EQ(probe.send("stat:02"), "+00010");
    // No resync runs: no figures. (What a running one shows is read
    // through the control tree, tests/e2e/resync_test.cpp.)
    EXPECT_EQ(probe.send("prog:01"), "+0004idle");
    EXPECT_EQ(probe.send("prog:03"), "+0003ERR");

    const std::string log = mount.log_text();
    EXPECT_NE(log.find(" disabling replica " + mount.replica(0) + " Forced by administrator\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find(" trusting replica " + mount.replica(0) + " Forced by administrator\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find(" disabling replica . Forced by administrator\n"), std::string::npos) << log;

    // The probe ends: the thread reads end of stream and ends, the probe is
    // reaped, and the filesystem goes on.
    EXPECT_EQ(probe.command("exit"), "+bye");
    EXPECT_TRUE(eventually([&] { return !has_thread_named(mount.daemon_pid(), control_thread_name); }));
    EXPECT_TRUE(eventually([&] { return children_of(mount.daemon_pid()).empty(); }));
    EXPECT_TRUE(serves_files(mount, "after"));
    EXPECT_EQ(mount.unmount(), 0) << mount.daemon_stderr();
}

// Unmounting releases the replica table while the thread waits for the
// next request; the request that comes afterwards must find nobody to
// serve it (with AddressSanitizer builds, a touch of the released table
// would end the daemon with a failure status).
TEST(control_channel, unmount_while_the_control_program_runs)
{
    probe_install probe;
    test_mount mount(with_probe(probe, 3));
    ASSERT_TRUE(mount.mounted()) << mount.daemon_stderr();
    ASSERT_TRUE(probe.accept_probe());
    ASSERT_EQ(probe.send("stat:02"), "+00010");

    EXPECT_EQ(mount.unmount(), 0) << mount.daemon_stderr();
    const std::string after = probe.send("stat:02");
    EXPECT_EQ(after.substr(0, 1), "!") << after;
    const std::string again = probe.send("disable:01");
    EXPECT_EQ(again.substr(0, 1), "!") << again;
    EXPECT_EQ(probe.command("exit"), "+bye");
}

TEST(control_channel, broken_frame_ends_the_thread_and_closes_the_channel)
{
    probe_install probe;
    test_mount mount(with_probe(probe));
    ASSERT_TRUE(mount.mounted()) << mount.daemon_stderr();
    ASSERT_TRUE(probe.accept_probe());
    ASSERT_EQ(probe.command("raw:zz"), "+sent");
    // The control program learns at once that nobody answers any more,
    // rather than waiting for a reply forever.
    const std::string after = probe.send("stat:00");
    EXPECT_EQ(after.substr(0, 1), "!") << after;
    EXPECT_TRUE(serves_files(mount, "after"));
    // Once it has gone, it is reaped and the thread is gone too.
    EXPECT_EQ(probe.command("exit"), "+bye");
    EXPECT_TRUE(eventually([&] { return !has_thread_named(mount.daemon_pid(), control_thread_name); }));
    EXPECT_TRUE(eventually([&] { return children_of(mount.daemon_pid()).empty(); }));
    EXPECT_EQ(mount.unmount(), 0) << mount.daemon_stderr();
}

// A control program that leaves at once without a word: the thread sees
// end of stream and ends, and the filesystem goes on.
TEST(control_channel, control_program_that_ends_at_once)
{
    probe_install probe(false);
    test_mount mount(with_probe(probe));
    ASSERT_TRUE(mount.mounted()) << mount.daemon_stderr();
    EXPECT_TRUE(eventually([&] { return !has_thread_named(mount.daemon_pid(), control_thread_name); }));
    EXPECT_TRUE(eventually([&] { return children_of(mount.daemon_pid()).empty(); }));
    EXPECT_TRUE(serves_files(mount, "without-control"));
    EXPECT_EQ(mount.unmount(), 0) << mount.daemon_stderr();
}

TEST(control_channel, more_replicas_than_the_channel_can_name)
{
    probe_install probe;
    mount_options options = with_probe(probe, 256);
    options.extra_args = {"-n", "many"};  // the joined paths would not fit the mount options
    test_mount mount(options);
    ASSERT_TRUE(mount.mounted()) << mount.daemon_stderr() << mount.log_text();
    EXPECT_TRUE(eventually([&] {
        return mount.log_text().find(" control channel failed accessing " + mount.ctl() +
                                     " Numerical result out of range\n") != std::string::npos;
    })) << mount.log_text();
    EXPECT_FALSE(probe.accept_probe(500));
    EXPECT_FALSE(has_thread_named(mount.daemon_pid(), control_thread_name));
    EXPECT_TRUE(children_of(mount.daemon_pid()).empty());
    EXPECT_TRUE(serves_files(mount, "many"));
    EXPECT_EQ(mount.unmount(), 0) << mount.daemon_stderr();
}

}  // namespace
