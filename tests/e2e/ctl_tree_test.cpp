// vornctl through real mounts: vornelix started with --ctl mounts the
// control tree; the tests list it, read and write its status files, run
// its check scripts, as root and as other users, and see it outlive
// vornelix.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ctl/check_script.h"
#include "tests/support/mount_harness.h"

namespace {

constexpr gid_t control_group = 4343;
constexpr uid_t someone = 4242;
constexpr gid_t someone_else_group = 4244;

bool mounted_as(const std::string& path, const std::string& type)
{
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, kind, rest;
    while (mounts >> device >> point >> kind) {
        std::getline(mounts, rest);
        if (point == path && kind == type)
            return true;
    }
    return false;
}

std::string comm_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

pid_t parent_of(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "PPid:") {
            pid_t parent = 0;
            status >> parent;
            return parent;
        }
        std::getline(status, key);
    }
    return -1;
}

pid_t find_vornctl(pid_t daemon)
{
    DIR* proc = opendir("/proc");
    pid_t found = -1;
    while (proc != nullptr && found < 0) {
        dirent* entry = readdir(proc);
        if (entry == nullptr)
            break;
        const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (pid > 0 && parent_of(pid) == daemon && comm_of(pid) == "vornctl")
            found = pid;
    }
    if (proc != nullptr)
        closedir(proc);
    return found;
}

// The name under which a replica root shows in the control tree.
std::string entry_name(const std::string& root)
{
    std::string name = root;
    for (char& c : name)
        if (c == '/')
            c = '_';
    return name;
}

struct shell_result {
    std::string out;
    int status = -1;
};

shell_result shell(const std::string& command)
{
    shell_result result;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// errno of reading path, or 0 with its contents.
int read_status(const std::string& path, std::string& text)
{
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return errno;
    text.clear();
    char buffer[1024];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    const int err = n < 0 ? errno : 0;
    close(fd);
    return err;
}

std::string filled_script(char digit)
{
    std::string text(check_script_template.size(), '\0');
    text.resize(fill_check_script(digit, {}, 0, text.size(), text.data()));
    return text;
}

class ctl_tree : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string ctl;
    std::unique_ptr<test_mount> mount;
    pid_t vornctl = -1;

    void SetUp() override
    {
        // The control directory exists already: the tree takes its owner
        // and group.
        ctl = dir / "ctl";
        ASSERT_EQ(mkdir(ctl.c_str(), 0750), 0);
        ASSERT_EQ(chown(ctl.c_str(), 0, control_group), 0);
        mount_options options;
        options.replicas = 2;
        options.extra_args = {"--ctl", ctl};
        options.environment = {"ASAN_OPTIONS=log_path=" + (dir / "sanitizer")};
        mount = std::make_unique<test_mount>(options);
        ASSERT_TRUE(mount->mounted()) << mount->daemon_stderr();
        ASSERT_TRUE(eventually([&] { return mounted_as(ctl, "fuse.vornctl"); })) << mount->log_text();
        vornctl = find_vornctl(mount->daemon_pid());
        ASSERT_GT(vornctl, 0);
    }

    void TearDown() override
    {
        if (mounted_as(ctl, "fuse.vornctl") && umount2(ctl.c_str(), 0) != 0)
            umount2(ctl.c_str(), MNT_DETACH);
        // vornctl ends with its mount; while vornelix runs, its control
        // thread reaps it.
        if (vornctl > 0 && parent_of(vornctl) == mount->daemon_pid()) {
            EXPECT_TRUE(eventually([&] { return kill(vornctl, 0) != 0; }));
        }
        if (mount->mounted()) {
            EXPECT_EQ(mount->unmount(), 0) << mount->daemon_stderr();
        }
        mount.reset();
        EXPECT_EQ(shell("ls " + dir.path() + " | grep -c sanitizer").out, "0\n") << "sanitizer reports in " << dir.path();
    }

    std::string replica_dir(int i) const { return ctl + "/" + entry_name(mount->replica(i)); }
    std::string status(int i) const { return replica_dir(i) + "/status"; }
    std::string script(int i) const { return replica_dir(i) + "/check_vornelix.sh"; }
    std::string progress(int i) const { return replica_dir(i) + "/progress"; }
    std::string read_state(int i) const
    {
        std::string text;
        const int err = read_status(status(i), text);
        return err == 0 ? text : "errno " + std::to_string(err);
    }
};

TEST_F(ctl_tree, listing_shows_one_directory_per_replica)
{
    struct expected {
        std::string path;
        mode_t mode;
        ino_t ino;
        off_t size;
    };
    const std::vector<expected> nodes = {
        {ctl, 040550, 1, 1},
        {replica_dir(0), 040550, 2, 1},
        {status(0), 0100660, 3, 1},
        {script(0), 0100550, 4, 746},
        {progress(0), 0100440, 5, 0},
        {replica_dir(1), 040550, 6, 1},
        {status(1), 0100660, 7, 1},
        {script(1), 0100550, 8, 746},
        {progress(1), 0100440, 9, 0},
    };
    // Last first: inode numbers given in lookup order would differ.
    for (auto node = nodes.rbegin(); node != nodes.rend(); ++node) {
        SCOPED_TRACE(node->path);
        struct stat st;
        ASSERT_EQ(lstat(node->path.c_str(), &st), 0) << strerror(errno);
        EXPECT_EQ(st.st_mode, node->mode);
        EXPECT_EQ(st.st_ino, node->ino);
        EXPECT_EQ(st.st_size, node->size);
        EXPECT_EQ(st.st_nlink, 0u);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_gid, control_group);
        EXPECT_EQ(st.st_mtime, 0);
    }

    std::vector<std::string> names;
    DIR* top = opendir(ctl.c_str());
    ASSERT_NE(top, nullptr);
    while (dirent* entry = readdir(top))
        names.push_back(entry->d_name);
    closedir(top);
    EXPECT_EQ(names, (std::vector<std::string>{".", entry_name(mount->replica(0)), entry_name(mount->replica(1))}));

    const shell_result ls = shell("ls -la " + ctl + " " + replica_dir(1));
    EXPECT_EQ(ls.status, 0);
    EXPECT_NE(ls.out.find("dr-xr-x--- 0 root 4343 1 Jan  1  1970 " + entry_name(mount->replica(0))), std::string::npos)
        << ls.out;
    EXPECT_NE(ls.out.find("-rw-rw---- 0 root 4343   1 Jan  1  1970 status"), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("-r-xr-x--- 0 root 4343 746 Jan  1  1970 check_vornelix.sh"), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("-r--r----- 0 root 4343   0 Jan  1  1970 progress"), std::string::npos) << ls.out;
}

TEST_F(ctl_tree, status_disables_and_trusts_and_the_script_reports_it)
{
    EXPECT_EQ(shell("cat " + status(1)).out, "0");
    EXPECT_EQ(shell("cat " + progress(1)).out, "idle\n");
    EXPECT_EQ(shell("sh " + script(1)).out, "OK - Vornelix replica enabled\n");
    EXPECT_EQ(shell("sh " + script(1)).status, 0);

    ASSERT_EQ(shell("echo 2 > " + status(1)).status, 0);
    EXPECT_NE(mount->log_text().find(" disabling replica " + mount->replica(1) + " Forced by administrator\n"),
              std::string::npos)
        << mount->log_text();
    EXPECT_EQ(shell("cat " + status(1)).out, "2");
    EXPECT_EQ(read_state(0), "0");
    write_file(mount->at("while-disabled"), "x");
    EXPECT_EQ(read_file(mount->in_replica(0, "while-disabled")), "x");
    EXPECT_EQ(read_file(mount->in_replica(1, "while-disabled")), "<missing>");
    shell_result check = shell("sh " + script(1));
    EXPECT_EQ(check.out, "CRITICAL - Vornelix replica disabled\n");
    EXPECT_EQ(check.status, 2);
    EXPECT_EQ(shell("cat " + script(1)).out, filled_script('2'));

    ASSERT_EQ(shell("echo 0 > " + status(1)).status, 0);
    EXPECT_NE(mount->log_text().find(" trusting replica " + mount->replica(1) + " Forced by administrator\n"),
              std::string::npos);
    EXPECT_EQ(shell("cat " + status(1)).out, "0");
    check = shell("sh " + script(1));
    EXPECT_EQ(check.out, "OK - Vornelix replica enabled\n");
    EXPECT_EQ(check.status, 0);
    write_file(mount->at("after-trust"), "y");
    EXPECT_EQ(read_file(mount->in_replica(0, "after-trust")), "y");
    EXPECT_EQ(read_file(mount->in_replica(1, "after-trust")), "y");
    const std::string log = mount->log_text();
    EXPECT_LT(log.find(" disabling replica " + mount->replica(1) + " Forced by administrator\n"),
              log.find(" trusting replica " + mount->replica(1) + " Forced by administrator\n"))
        << log;
}

// The script's texts, options and every piece of it are tested on the
// bytes alone (tests/unit/ctl_check_script_test.cpp, ctl_ops_test.cpp);
// through the mount: the same bytes, runnable directly through its #! line.
TEST_F(ctl_tree, script_runs_through_its_own_line_and_reads_whole)
{
    EXPECT_EQ(read_file(script(0)), filled_script('0'));
    const shell_result r = shell(script(0));
    EXPECT_EQ(r.out, "OK - Vornelix replica enabled\n");
    EXPECT_EQ(r.status, 0);
}

// Which texts a status file refuses is tested on ctl_write; through the
// mount, a name cannot be made, and an existing one is no new file.
TEST_F(ctl_tree, no_new_names)
{
    const std::string log_before = mount->log_text();
    EXPECT_LT(open((replica_dir(0) + "/new").c_str(), O_WRONLY | O_CREAT, 0644), 0);
    struct stat st;
    EXPECT_NE(lstat((replica_dir(0) + "/new").c_str(), &st), 0);
    EXPECT_LT(open(status(0).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644), 0);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(read_state(0), "0");
    EXPECT_EQ(mount->log_text(), log_before);
}

TEST_F(ctl_tree, group_members_may_read_others_may_not)
{
    const std::string status_path = status(0);
    const std::string script_path = script(0);
    const std::string ctl_path = ctl;

    EXPECT_EQ(as_user(someone, control_group, {}, [&] {
                  std::string text;
                  const int err = read_status(status_path, text);
                  return err != 0 ? err : (text == "0" ? 0 : -2);
              }),
              0);
    EXPECT_EQ(as_user(someone, control_group, {}, [&] {
                  const shell_result r = shell("sh " + script_path);
                  return r.status == 0 && r.out == "OK - Vornelix replica enabled\n" ? 0 : -2;
              }),
              0);
    EXPECT_EQ(as_user(someone, control_group, {}, [&] { return errno_of(open(script_path.c_str(), O_WRONLY)); }),
              EACCES);

    for (const std::string& path : {ctl_path, replica_dir(0), status_path, script_path}) {
        EXPECT_EQ(as_user(someone, someone_else_group, {}, [&] {
                      struct stat st;
                      return errno_of(stat(path.c_str(), &st));
                  }),
                  EACCES)
            << path;
    }
    EXPECT_EQ(as_user(someone, someone_else_group, {}, [&] { return errno_of(open(status_path.c_str(), O_RDONLY)); }),
              EACCES);
    EXPECT_EQ(as_user(someone, someone_else_group, {}, [&] {
                  DIR* listing = opendir(ctl_path.c_str());
                  const int err = listing == nullptr ? errno : 0;
                  if (listing != nullptr) {
                      errno = 0;
                      const bool read_any = readdir(listing) != nullptr;
                      closedir(listing);
                      return read_any ? 0 : errno;
                  }
                  return err;
              }),
              EACCES);
    EXPECT_EQ(as_user(someone, someone_else_group, {}, [&] { return write_status(status_path, "2"); }), EACCES);
    EXPECT_EQ(read_state(0), "0");
}

// Several processes reading and writing at once each get their own
// replies: replica 0 never changes and must always read 0, while replica
// 1 is switched back and forth and its script must always be whole and
// agree with itself.
TEST_F(ctl_tree, concurrent_processes_never_mix_replies)
{
    std::vector<pid_t> workers;
    for (int w = 0; w < 5; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int wrong = 0;
            for (int i = 0; i < 150; ++i) {
                std::string text;
                if (w == 0) {
                    wrong += write_status(status(1), i % 2 ? "0\n" : "2\n") != 0;
                } else if (w % 2) {
                    wrong += read_status(status(0), text) != 0 || text != "0";
                } else {
                    wrong += read_status(script(1), text) != 0 || text.size() != check_script_template.size() ||
                             (text != filled_script('0') && text != filled_script('2'));
                }
            }
            _exit(wrong > 0 ? 1 : 0);
        }
        workers.push_back(pid);
    }
    for (pid_t pid : workers) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker " << pid;
    }
    EXPECT_EQ(write_status(status(1), "0"), 0);
    EXPECT_EQ(read_state(1), "0");
}

// How a case ends vornelix, then the control tree: cleanly by unmounting,
// or by SIGKILL as a crash or an administrator's kill would.
struct ending {
    const char* name;
    bool kill_vornelix;
    bool kill_vornctl;
};

class ctl_tree_ending : public ctl_tree, public ::testing::WithParamInterface<ending> {};

// How monitors run the script: through each shell it may meet, and
// directly through its #! line.
std::vector<std::string> script_runners()
{
    std::vector<std::string> runners = {"sh ", "bash ", ""};
    if (access("/bin/busybox", X_OK) == 0 || access("/usr/bin/busybox", X_OK) == 0)
        runners.push_back("busybox sh ");
    return runners;
}

TEST_P(ctl_tree_ending, outlives_vornelix_and_ends_with_its_own_mount)
{
    if (GetParam().kill_vornelix) {
        ASSERT_EQ(kill(mount->daemon_pid(), SIGKILL), 0);
        EXPECT_EQ(mount->unmount(), 128 + SIGKILL);
    } else {
        ASSERT_EQ(mount->unmount(), 0) << mount->daemon_stderr();
    }
    // vornctl is ours now (we are the subreaper); it keeps its tree.
    ASSERT_TRUE(eventually([&] { return parent_of(vornctl) == getpid(); }));
    struct stat st;
    EXPECT_EQ(stat(status(0).c_str(), &st), 0);
    DIR* listing = opendir(replica_dir(0).c_str());
    ASSERT_NE(listing, nullptr);
    int entries = 0;
    while (readdir(listing) != nullptr)
        ++entries;
    closedir(listing);
    EXPECT_EQ(entries, 4);  // ".", status, the script and progress

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(read_state(0), "errno " + std::to_string(EIO));
    std::string text;
    EXPECT_EQ(read_status(progress(0), text), EIO);
    EXPECT_EQ(write_status(status(0), "2"), EIO);
    EXPECT_EQ(write_status(status(1), "0\n"), EIO);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

    // The script still reads, and tells the monitor that nothing keeps the
    // replicas in step.
    for (const std::string& runner : script_runners()) {
        const shell_result r = shell(runner + script(1));
        EXPECT_EQ(r.out, "CRITICAL - Vornelix daemon not answering\n") << runner;
        EXPECT_EQ(r.status, 2) << runner;
    }

    int status_word = 0;
    if (GetParam().kill_vornctl) {
        ASSERT_EQ(kill(vornctl, SIGKILL), 0);
        ASSERT_TRUE(eventually([&] { return waitpid(vornctl, &status_word, WNOHANG) == vornctl; }));
        EXPECT_TRUE(WIFSIGNALED(status_word));
        vornctl = -1;
        // The dead mount refuses the open itself, so no shell is left with
        // an empty script to run as a success.
        std::string text;
        EXPECT_EQ(read_status(script(1), text), ENOTCONN);
        for (const std::string& runner : script_runners()) {
            const shell_result r = shell(runner + script(1));
            EXPECT_EQ(r.out, "") << runner;
            EXPECT_NE(r.status, 0) << runner;
        }
        ASSERT_EQ(umount2(ctl.c_str(), 0), 0) << strerror(errno);
        return;
    }
    ASSERT_EQ(umount2(ctl.c_str(), 0), 0) << strerror(errno);
    ASSERT_TRUE(eventually([&] { return waitpid(vornctl, &status_word, WNOHANG) == vornctl; }));
    EXPECT_TRUE(WIFEXITED(status_word));
    EXPECT_EQ(WEXITSTATUS(status_word), 0);
    vornctl = -1;
}

INSTANTIATE_TEST_SUITE_P(ends, ctl_tree_ending,
                         ::testing::Values(ending{"unmounted", false, false}, ending{"killed", true, true}),
                         [](const ::testing::TestParamInfo<ending>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// The replica under the mount point is listed under the mount point's name
// (not as a second "."), and can be controlled like any other.
TEST(ctl_tree_mount_point_replica, is_named_after_the_mount_point)
{
    mount_options options;
    options.control = true;
    options.mount_point_replica = true;
    test_mount mount(options);
    ASSERT_TRUE(mount.mounted()) << mount.daemon_stderr();
    ASSERT_TRUE(eventually([&] { return mounted_as(mount.ctl(), "fuse.vornctl"); })) << mount.log_text();

    std::vector<std::string> names;
    DIR* top = opendir(mount.ctl().c_str());
    ASSERT_NE(top, nullptr);
    while (dirent* entry = readdir(top))
        names.push_back(entry->d_name);
    closedir(top);
    EXPECT_EQ(names, (std::vector<std::string>{".", entry_name(mount.mnt()), entry_name(mount.replica(0)),
                                               entry_name(mount.replica(1))}));

    const std::string status = mount.ctl() + "/" + entry_name(mount.mnt()) + "/status";
    EXPECT_EQ(write_status(status, "2\n"), 0);
    std::string text;
    EXPECT_EQ(read_status(status, text), 0);
    EXPECT_EQ(text, "2");
    EXPECT_NE(mount.log_text().find(" disabling replica . Forced by administrator\n"), std::string::npos);
    write_file(mount.at("while-disabled"), "x");
    EXPECT_EQ(read_file(mount.in_replica(0, "while-disabled")), "x");
    EXPECT_EQ(write_status(status, "0"), 0);
    EXPECT_EQ(mount.unmount(), 0) << mount.daemon_stderr();
}

}  // namespace
