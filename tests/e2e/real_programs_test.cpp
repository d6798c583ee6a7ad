// Programs people run, as an ordinary user through a mount: each must
// succeed, leave the times and modes it asked for, and leave replicas that
// agree with one another, none taken out of service.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <cerrno>

#include "tests/support/mount_harness.h"
#include "tests/support/tree_listing.h"
#include "tests/support/user_process.h"

namespace {

const identity alice{1001, 1001, {1001}};
constexpr struct timespec early = {1000000000, 123456789};

const std::vector<std::string> environment = {
    "PATH=/usr/bin:/bin", "LC_ALL=C", "GIT_CONFIG_NOSYSTEM=1", "GIT_AUTHOR_NAME=Alice",
    "GIT_AUTHOR_EMAIL=alice@example.org", "GIT_COMMITTER_NAME=Alice", "GIT_COMMITTER_EMAIL=alice@example.org"};

// Runs a shell script as alice in dir, with HOME there.
command_result script_as_alice(const std::string& dir, const std::string& script)
{
    std::vector<std::string> env = environment;
    env.push_back("HOME=" + dir);
    return program_as(alice, {"/bin/sh", "-ec", script}, env, dir);
}

struct stat attributes(const std::string& path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

bool same_time(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool recent(const struct timespec& t, const struct timespec& since)
{
    return t.tv_sec > since.tv_sec || (t.tv_sec == since.tv_sec && t.tv_nsec >= since.tv_nsec);
}

struct timespec a_moment_ago()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    now.tv_sec -= 1;
    return now;
}

// A directory of alice's at the top of the mount, made through it.
std::string alices_home(const test_mount& m)
{
    const std::string home = m.at("home");
    EXPECT_EQ(mkdir(home.c_str(), 0755), 0);
    EXPECT_EQ(chown(home.c_str(), alice.uid, alice.gid), 0);
    return home;
}

void stamp(const std::string& path)
{
    const struct timespec times[2] = {early, early};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void expect_replicas_agree(const std::vector<std::string>& roots, const std::string& log)
{
    const std::string first = tree_listing(roots[0]);
    for (std::size_t i = 1; i < roots.size(); ++i)
        EXPECT_EQ(listing_difference(first, tree_listing(roots[i])), "") << roots[0] << " and " << roots[i];
    EXPECT_EQ(log.find("disabling"), std::string::npos) << log;
}

void expect_replicas_agree(const test_mount& m)
{
    expect_replicas_agree({m.replica(0), m.replica(1)}, m.log_text());
}

TEST(real_programs_e2e, git_init_add_commit_and_gc)
{
    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string home = alices_home(m);
    const command_result git = script_as_alice(home, R"(
        git init -q repo && cd repo
        echo one > a && mkdir sub && echo two > sub/b && chmod 0755 sub/b
        git add -A && git commit -q -m first
        echo three >> a && git rm -q sub/b && git commit -q -am second
        git gc -q && git fsck --strict && git status --porcelain && git log --format=%s)");
    EXPECT_EQ(git.status, 0) << git.out;
    EXPECT_NE(git.out.find("second\nfirst\n"), std::string::npos) << git.out;
    EXPECT_EQ(read_file(home + "/repo/a"), "one\nthree\n");
    expect_replicas_agree(m);
    EXPECT_EQ(m.unmount(), 0);
}

TEST(real_programs_e2e, tar_restores_read_only_files_and_their_times)
{
    scratch_dir source;
    const std::string tree = source / "tree", archive = source / "tree.tar";
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((tree + "/ro_dir").c_str(), 0755), 0);
    write_file(tree + "/ro_file", "read only\n", 0444);
    write_file(tree + "/ro_dir/inner", "inner\n", 0444);
    for (const char* name : {"/ro_file", "/ro_dir/inner", "/ro_dir"})
        stamp(tree + name);
    ASSERT_EQ(chmod((tree + "/ro_dir").c_str(), 0555), 0);
    // The POSIX format carries the nanoseconds of the times.
    const command_result made = program_as({}, {"/usr/bin/tar", "--format=posix", "-cf", archive, "-C", tree, "."},
                                           environment, "/");
    ASSERT_EQ(made.status, 0) << made.out;
    ASSERT_EQ(chmod(archive.c_str(), 0644), 0);

    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string home = alices_home(m);
    const command_result tar = script_as_alice(home, "tar -xpf " + archive);
    EXPECT_EQ(tar.status, 0) << tar.out;
    for (const auto& [name, mode] : {std::pair<std::string, mode_t>{"ro_file", S_IFREG | 0444},
                                     {"ro_dir/inner", S_IFREG | 0444}, {"ro_dir", S_IFDIR | 0555}}) {
        for (const std::string& path : {home + "/" + name, m.in_replica(0, "home/" + name),
                                        m.in_replica(1, "home/" + name)}) {
            const struct stat st = attributes(path);
            EXPECT_EQ(st.st_mode, mode) << path;
            EXPECT_EQ(st.st_uid, alice.uid) << path;
            EXPECT_TRUE(same_time(st.st_mtim, early)) << path << " " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
        }
    }
    EXPECT_EQ(read_file(home + "/ro_dir/inner"), "inner\n");
    expect_replicas_agree(m);
    EXPECT_EQ(m.unmount(), 0);
}

// What tar needs of a filesystem under memory pressure: a directory, file
// or link it made keeps its inode number when the kernel forgets it and
// looks it up again (else tar stops with "Directory renamed before its
// status could be extracted"), and hard links are one file, which an
// archive made from the mount stores as links.
TEST(real_programs_e2e, tar_keeps_numbers_and_links_while_the_kernel_drops_its_caches)
{
    scratch_dir source;
    const std::string tree = source / "tree", archive = source / "tree.tar";
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    for (int d = 0; d < 12; ++d) {
        const std::string dir = tree + "/d" + std::to_string(d);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        for (int f = 0; f < 12; ++f)
            write_file(dir + "/f" + std::to_string(f), std::string(100 * f, 'x'));
        ASSERT_EQ(symlink("f0", (dir + "/link").c_str()), 0);
    }
    ASSERT_EQ(link((tree + "/d0/f1").c_str(), (tree + "/d0/h").c_str()), 0);
    ASSERT_EQ(link((tree + "/d0/f1").c_str(), (tree + "/d7/h").c_str()), 0);
    const command_result made = program_as({}, {"/usr/bin/tar", "-cf", archive, "-C", tree, "."}, environment, "/");
    ASSERT_EQ(made.status, 0) << made.out;
    ASSERT_EQ(chmod(archive.c_str(), 0644), 0);

    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string home = alices_home(m);
    std::atomic<bool> extracted{false};
    std::thread dropper([&] {
        while (!extracted.load()) {
            const int fd = open("/proc/sys/vm/drop_caches", O_WRONLY);
            if (fd >= 0) {
                (void)!write(fd, "2\n", 2);
                close(fd);
            }
            usleep(1000);
        }
    });
    const command_result tar = script_as_alice(home, "tar -xpf " + archive);
    extracted.store(true);
    dropper.join();
    EXPECT_EQ(tar.status, 0) << tar.out;
    EXPECT_EQ(tar.out, "");

    const struct stat one = attributes(home + "/d0/f1");
    EXPECT_EQ(one.st_nlink, 3u);
    for (const char* other : {"/d0/h", "/d7/h"})
        EXPECT_EQ(attributes(home + other).st_ino, one.st_ino) << other;
    const command_result again = program_as({}, {"/bin/sh", "-ec", "tar -cf - -C " + home + " . | tar -tvf -"},
                                            environment, "/");
    EXPECT_EQ(again.status, 0) << again.out;
    size_t links = 0;
    for (size_t at = again.out.find(" link to "); at != std::string::npos; at = again.out.find(" link to ", at + 1))
        ++links;
    EXPECT_EQ(links, 2u) << again.out;
    expect_replicas_agree(m);
    EXPECT_EQ(m.unmount(), 0);
}

TEST(real_programs_e2e, cp_p_of_a_read_only_file)
{
    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string home = alices_home(m);
    const command_result made = script_as_alice(home, "echo data > src && chmod 0444 src");
    ASSERT_EQ(made.status, 0) << made.out;
    stamp(home + "/src");
    const command_result cp = script_as_alice(home, "cp -p src dst");
    EXPECT_EQ(cp.status, 0) << cp.out;
    for (const std::string& path : {home + "/dst", m.in_replica(0, "home/dst"), m.in_replica(1, "home/dst")}) {
        const struct stat st = attributes(path);
        EXPECT_EQ(st.st_mode, S_IFREG | 0444u) << path;
        EXPECT_EQ(st.st_uid, alice.uid) << path;
        EXPECT_EQ(st.st_gid, alice.gid) << path;
        EXPECT_TRUE(same_time(st.st_mtim, early) && same_time(st.st_atim, early)) << path;
    }
    EXPECT_EQ(read_file(home + "/dst"), "data\n");
    expect_replicas_agree(m);
    EXPECT_EQ(m.unmount(), 0);
}

TEST(real_programs_e2e, touch_changes_only_the_time_asked_for)
{
    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string home = alices_home(m);
    ASSERT_EQ(script_as_alice(home, "echo m > m && echo a > a").status, 0);
    stamp(home + "/m");
    stamp(home + "/a");
    const struct timespec since = a_moment_ago();
    const command_result touch = script_as_alice(home, "touch -m m && touch -a a");
    EXPECT_EQ(touch.status, 0) << touch.out;
    for (const std::string& root : {m.mnt(), m.replica(0), m.replica(1)}) {
        const struct stat touched_m = attributes(root + "/home/m"), touched_a = attributes(root + "/home/a");
        EXPECT_TRUE(recent(touched_m.st_mtim, since)) << root;
        EXPECT_TRUE(same_time(touched_m.st_atim, early)) << root;
        EXPECT_TRUE(recent(touched_a.st_atim, since)) << root;
        EXPECT_TRUE(same_time(touched_a.st_mtim, early)) << root;
    }
    expect_replicas_agree(m);
    EXPECT_EQ(m.unmount(), 0);
}

// Creates, as alice, directories of 255-byte names below dir (at path
// length `length` in the mounted tree) until a file of a 255-byte name in
// the deepest one has a path of 4094 bytes, just short of PATH_MAX; then
// works in that directory. 0 or the errno of the first step that failed.
int make_deep_paths(const std::string& dir, std::size_t length)
{
    constexpr std::size_t name_max = 255, path_max = 4096;
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return errno;
    const std::string file(name_max, 'f'), moved(name_max, 'g');
    const std::size_t deepest = path_max - 2 - 1 - name_max;
    while (length + 1 < deepest) {
        const std::string component(std::min(name_max, deepest - length - 1), 'd');
        if (mkdirat(fd, component.c_str(), 0755) != 0)
            return errno;
        const int deeper = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        const int err = errno;
        close(fd);
        if (deeper < 0)
            return err;
        fd = deeper;
        length += 1 + component.size();
    }
    const int out = openat(fd, file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (out < 0 || write(out, "deep\n", 5) != 5 || close(out) != 0 || fchmodat(fd, file.c_str(), 0640, 0) != 0 ||
        renameat(fd, file.c_str(), fd, moved.c_str()) != 0 || symlinkat("target", fd, "link") != 0 ||
        mkdirat(fd, "gone", 0700) != 0 || unlinkat(fd, "gone", AT_REMOVEDIR) != 0)
        return errno;
    close(fd);
    return length == deepest ? 0 : -1;
}

TEST(real_programs_e2e, replicas_an_ordinary_user_cannot_disable)
{
    scratch_dir s;
    const std::string closed = s / "closed";
    const std::vector<std::string> roots = {s / "r0", s / ("r1" + std::string(100, 'x')), closed + "/r2"};
    ASSERT_EQ(mkdir(closed.c_str(), 0700), 0);
    for (const std::string& root : roots)
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    mount_options options;
    options.replica_roots = roots;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string home = m.at("home");
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(chown(home.c_str(), alice.uid, alice.gid), 0);
    EXPECT_EQ(results_as(alice, [&] { return std::vector<int>{make_deep_paths(home, std::string("/home").size())}; }),
              std::vector<int>{0});
    expect_replicas_agree(roots, m.log_text());
    EXPECT_NE(tree_listing(roots[2]).find("/link 0120777 1001:1001 -> target"), std::string::npos);
    EXPECT_EQ(m.unmount(), 0);
}

}  // namespace
