// vornctl's start-up on its own, fed a prepared info reply on standard
// input: what it asks, its exit statuses, and where its standard error
// goes while mounted.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/mount_harness.h"

namespace {

std::string padded(const std::string& payload)
{
    char length[8];
    snprintf(length, sizeof length, "%4X", static_cast<unsigned>(payload.size()));
    return length + payload;
}

// Starts vornctl with standard input reading `replies` and standard output
// writing to `requests`.
pid_t start_vornctl(const std::string& replies, const std::string& requests)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(replies.c_str(), O_RDONLY);
        const int out = open(requests.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0)
            _exit(126);
        close(in);
        close(out);
        // A shell starting the tests in the background ignores SIGINT and
        // SIGQUIT for them, and libfuse leaves an ignored signal ignored.
        signal(SIGINT, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        execl(VORNCTL_BINARY, VORNCTL_BINARY, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int exit_status_of(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ctl_startup, info_cut_short_exits_255)
{
    scratch_dir dir;
    const std::string replies[] = {
        "",
        padded("/mnt"),
        padded("/mnt") + padded("/ctl"),
        padded("/mnt") + padded("/ctl") + "000202" + padded("/r0"),
        padded("/mnt") + "  ",
    };
    for (const std::string& reply : replies) {
        write_file(dir / "replies", reply);
        EXPECT_EQ(exit_status_of(start_vornctl(dir / "replies", dir / "requests")), 255) << '"' << reply << '"';
        EXPECT_EQ(read_file(dir / "requests"), "0004info");
    }
}

TEST(ctl_startup, control_directory_that_cannot_be_read_exits_1)
{
    scratch_dir dir;
    write_file(dir / "replies", padded("/mnt") + padded(dir / "absent") + "000201" + padded("/data/r1"));
    EXPECT_EQ(exit_status_of(start_vornctl(dir / "replies", dir / "requests")), 1);
    EXPECT_FALSE(is_mounted(dir / "absent"));
}

// With nobody answering after the info reply, the tree is mounted and
// listed, every status read fails with EIO, and unmounting ends vornctl
// with status 0. FUSE's trace goes to /dev/null, not to whatever file
// would otherwise get descriptor 2.
TEST(ctl_startup, mounts_with_standard_error_on_dev_null)
{
    scratch_dir dir;
    const std::string ctl = dir / "ctl";
    ASSERT_EQ(mkdir(ctl.c_str(), 0500), 0);
    write_file(dir / "replies", padded("/mnt") + padded(ctl) + "000201" + padded("/data/r1"));
    const pid_t pid = start_vornctl(dir / "replies", dir / "requests");
    ASSERT_GT(pid, 0);
    const bool mounted = eventually([&] { return is_mounted(ctl); });
    if (mounted) {
        char target[PATH_MAX] = {};
        const std::string fd2 = "/proc/" + std::to_string(pid) + "/fd/2";
        EXPECT_GT(readlink(fd2.c_str(), target, sizeof target - 1), 0);
        EXPECT_STREQ(target, "/dev/null");

        struct stat st;
        EXPECT_EQ(stat((ctl + "/_data_r1/status").c_str(), &st), 0);
        const int fd = open((ctl + "/_data_r1/status").c_str(), O_RDONLY);
        char digit;
        EXPECT_EQ(read(fd, &digit, 1), -1);
        EXPECT_EQ(errno, EIO);
        close(fd);
        EXPECT_EQ(umount2(ctl.c_str(), 0), 0);
    } else {
        ADD_FAILURE() << "the control tree was not mounted";
        kill(pid, SIGKILL);
    }
    EXPECT_EQ(exit_status_of(pid), mounted ? 0 : 128 + SIGKILL);
    // The request for the state went out after the info request.
    EXPECT_EQ(read_file(dir / "requests").substr(0, 19), "0004info0007stat:00");
}

// Told to end by a signal (an administrator, or a service manager), vornctl
// unmounts its tree and exits 0, as after an unmount.
TEST(ctl_startup, signal_unmounts_and_exits_0)
{
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        scratch_dir dir;
        const std::string ctl = dir / "ctl";
        ASSERT_EQ(mkdir(ctl.c_str(), 0500), 0);
        write_file(dir / "replies", padded("/mnt") + padded(ctl) + "000201" + padded("/data/r1"));
        const pid_t pid = start_vornctl(dir / "replies", dir / "requests");
        ASSERT_GT(pid, 0);
        const bool mounted = eventually([&] { return is_mounted(ctl); });
        EXPECT_TRUE(mounted);
        ASSERT_EQ(kill(pid, mounted ? sig : SIGKILL), 0);
        EXPECT_EQ(exit_status_of(pid), mounted ? 0 : 128 + SIGKILL);
        EXPECT_FALSE(is_mounted(ctl));
        if (is_mounted(ctl))
            umount2(ctl.c_str(), MNT_DETACH);
    }
}

}  // namespace
