// Online resync through the control tree: a replica written "1" is brought
// up to date from the one in service while writers keep changing the tree,
// and comes back in service; a resync cut short by an unmount leaves it
// behind at the next start; one onto a replica that fills up disables it;
// a replica that fell behind is made whole, through paths longer than
// PATH_MAX, and with the directory under the mount point on either side.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "fs/engine/tree_compare.h"
#include "fs/engine/tree_walk.h"
#include "tests/support/acl_value.h"
#include "tests/support/mount_harness.h"
#include "tests/support/replica_compare.h"

namespace {

void set_times(const std::string& path, long nanoseconds)
{
    const struct timespec times[2] = {{1500000000, nanoseconds}, {1600000000, nanoseconds + 1}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// A file capability (cap_net_bind_service=ep), as setcap stores it.
const std::string capability("\x01\x00\x00\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 20);

// dirs directories of files entries each, straight into a replica: every
// kind of entry, odd modes and owners, attributes (default access control
// lists, file capabilities), hard links across directories and times to
// the nanosecond. Times are set children first.
void make_tree(const std::string& root, int dirs, int files)
{
    for (int d = 0; d < dirs; ++d) {
        const std::string dir = root + "/d" + std::to_string(d);
        mkdir(dir.c_str(), d % 7 == 0 ? 02770 : 0755);
        if (d % 7 == 0) {
            const std::string list = acl_value("u::rwx,u:1002:rx,g::rwx,m::rwx,o::-");
            setxattr(dir.c_str(), "system.posix_acl_default", list.data(), list.size(), 0);
        }
        for (int f = 0; f < files; ++f) {
            const std::string path = dir + "/f" + std::to_string(f);
            switch (f % 10) {
            case 0:
                symlink(("f" + std::to_string(f + 1)).c_str(), path.c_str());
                break;
            case 1:
                if (d > 0) {
                    link((root + "/d" + std::to_string(d - 1) + "/f2").c_str(), path.c_str());
                    break;
                }
                [[fallthrough]];
            default:
                write_file(path, std::string(static_cast<size_t>(f * 37 + d), static_cast<char>('a' + f % 26)),
                           f % 3 == 0 ? 04750 : 0604);
                chown(path.c_str(), 1000 + f % 5, 2000 + d % 3);
                if (f % 4 == 0)
                    setxattr(path.c_str(), "user.tag", path.c_str(), path.size(), 0);
                if (f % 6 == 3)
                    setxattr(path.c_str(), "security.capability", capability.data(), capability.size(), 0);
            }
            if (f % 10 != 1 || d == 0)
                set_times(path, d * 1000 + f);
        }
        mkfifo((dir + "/fifo").c_str(), 0640);
        set_times(dir, d);
    }
}

// The writers' work, numbered op by op: appends, creates, renames,
// removals, attribute changes and links in their own directory and in the
// shared tree. Errors are part of the game (names raced away).
void writer_op(const std::string& mnt, int id, int i)
{
    const std::string own = mnt + "/w" + std::to_string(id);
    const std::string name = own + "/n" + std::to_string(i);
    const std::string shared = mnt + "/d" + std::to_string((i * 7 + id) % 100) + "/f" + std::to_string(2 + i % 8);
    switch (i % 8) {
    case 0: {
        const int fd = open((own + "/log").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        (void)!write(fd, "line\n", 5);
        close(fd);
        break;
    }
    case 1:
        write_file(name, std::to_string(i));
        break;
    case 2:
        rename((own + "/n" + std::to_string(i - 1)).c_str(), (name + ".moved").c_str());
        break;
    case 3:
        unlink((own + "/n" + std::to_string(i - 9) + ".moved").c_str());
        break;
    case 4:
        chmod(shared.c_str(), 0600 | (i & 077));
        break;
    case 5:
        setxattr(shared.c_str(), "user.w", name.c_str(), name.size(), 0);
        break;
    case 6:
        mkdir(name.c_str(), 0700);
        link(shared.c_str(), (name + "/link").c_str());
        break;
    case 7:
        write_file(shared, "rewritten " + std::to_string(i));
        break;
    }
}

// A chain of directories below root, each name short, with a file and a
// link to it at the end: the file's tree path is longer than PATH_MAX. The
// file has a second name at the top, "deep-twin", which the copy meets
// after the deep one.
constexpr int deep_levels = 100;
const char* const deep_name = "a-directory-name-of-forty-eight-bytes-0123456789";

bool make_deep(int root, const std::string& text)
{
    unique_fd dir(fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (int level = 0; dir && level < deep_levels; ++level) {
        if (mkdirat(dir.get(), deep_name, 0750) != 0)
            return false;
        dir = unique_fd(openat(dir.get(), deep_name, O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    if (!dir)
        return false;
    unique_fd leaf(openat(dir.get(), "leaf", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    return leaf && write(leaf.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
           fsetxattr(leaf.get(), "user.deep", "1", 1, 0) == 0 && symlinkat("leaf", dir.get(), "to_leaf") == 0 &&
           linkat(dir.get(), "leaf", root, "deep-twin", 0) == 0;
}

// The file at the end of the chain, or "<missing>", and whether it is
// still one file with the name at the top.
std::string read_deep(int root)
{
    unique_fd dir(fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (int level = 0; dir && level < deep_levels; ++level)
        dir = unique_fd(openat(dir.get(), deep_name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    unique_fd leaf(dir ? openat(dir.get(), "leaf", O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1);
    char text[256];
    const ssize_t n = leaf ? read(leaf.get(), text, sizeof text) : -1;
    struct stat deep {}, twin {};
    const bool linked = leaf && fstat(leaf.get(), &deep) == 0 &&
                        fstatat(root, "deep-twin", &twin, AT_SYMLINK_NOFOLLOW) == 0 && deep.st_ino == twin.st_ino;
    return n < 0 ? "<missing>" : std::string(text, static_cast<size_t>(n)) + (linked ? "" : " (not linked)");
}

struct resync_test : ::testing::Test {
    mount_options options(int replicas = 2) const
    {
        mount_options o;
        o.replicas = replicas;
        o.control = true;
        return o;
    }

    // The tests below change replicas straight, where the change journal
    // cannot see: their resyncs walk the whole tree, as one onto a new
    // disk does.
    mount_options walk_options() const
    {
        mount_options o = options();
        o.environment.push_back("VORNELIX_JOURNAL=off");
        return o;
    }
};

TEST_F(resync_test, a_replica_is_resynced_while_writers_change_the_tree)
{
    // Both replicas on a tmpfs of their own: making, comparing and removing
    // ten thousand entries stays quick on a busy disk.
    scratch_dir replicas;
    const std::string disk = replicas / "disk";
    mkdir(disk.c_str(), 0755);
    ASSERT_EQ(mount("tmpfs", disk.c_str(), "tmpfs", 0, "mode=0755"), 0);
    mount_options o = walk_options();
    o.replica_roots = {disk + "/r0", disk + "/r1"};
    for (const std::string& root : o.replica_roots)
        mkdir(root.c_str(), 0755);
    test_mount m(o);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    ASSERT_TRUE(eventually([&] { return read_file(status_file(m, 1)) == "0"; })) << m.log_text();
    make_tree(m.replica(0), 100, 100);
    mkdir((m.replica(0) + "/frozen").c_str(), 0755);
    make_tree(m.replica(0) + "/frozen", 3, 30);
    set_times(m.replica(0) + "/frozen", 5);
    // r1 as a new, empty disk would be.
    ASSERT_EQ(write_status(status_file(m, 1), "2"), 0);

    // A file held open across the resync.
    const int held = open(m.at("held").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(held, 0);
    ASSERT_EQ(write(held, "before\n", 7), 7);

    constexpr int writers = 3;
    constexpr int most_ops = 20000;
    constexpr int ops_after = 200;
    std::vector<std::thread> threads;
    std::atomic<int> started{0};
    std::atomic<bool> ended{false};
    for (int id = 0; id < writers; ++id) {
        mkdir(m.at("w" + std::to_string(id)).c_str(), 0755);
        threads.emplace_back([&, id] {
            // Until the resync has ended, then a bounded number more.
            int i = 0;
            for (; i < most_ops && !ended.load(); ++i) {
                writer_op(m.mnt(), id, i);
                if (i == 50)
                    ++started;
            }
            for (int end = i + ops_after; i < end; ++i)
                writer_op(m.mnt(), id, i);
        });
    }
    ASSERT_TRUE(eventually([&] { return started.load() == writers; }));
    EXPECT_EQ(write_status(status_file(m, 0), "1"), EINVAL);  // in service
    EXPECT_EQ(write_status(status_file(m, 1), "1\n"), 0);
    eventually([&] { return read_file(status_file(m, 1)) != "1"; }, 120000);
    ended.store(true);
    for (std::thread& t : threads)
        t.join();
    const bool back = read_file(status_file(m, 1)) == "0";
    ASSERT_TRUE(back) << m.log_text();
    ASSERT_EQ(write(held, "after\n", 6), 6);
    close(held);
    EXPECT_EQ(m.unmount(), 0);

    EXPECT_EQ(read_file(m.in_replica(1, "held")), "before\nafter\n");
    EXPECT_EQ(replica_differences({m.replica(0), m.replica(1)}), "");
    // Times to the nanosecond where no writer went.
    FILE* out = tmpfile();
    EXPECT_EQ(verify_replicas({m.replica(0) + "/frozen", m.replica(1) + "/frozen"}, out, stderr, false),
              verify_identical);
    fclose(out);
    const std::string log = m.log_text();
    EXPECT_NE(log.find(" resync from " + m.replica(0) + " started " + m.replica(1) + "\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find(" resync complete, "), std::string::npos) << log;
    EXPECT_NE(log.find(" bytes, back in service " + m.replica(1) + "\n"), std::string::npos) << log;
    // An alert on "failed" must stay quiet through a healthy resync.
    size_t begin = 0;
    for (size_t end; (end = log.find('\n', begin)) != std::string::npos; begin = end + 1) {
        const std::string line = log.substr(begin, end - begin);
        if (line.find(" resync ") != std::string::npos) {
            EXPECT_EQ(line.find("failed"), std::string::npos) << line;
        }
    }
    umount2(disk.c_str(), MNT_DETACH);
}

TEST_F(resync_test, a_resync_cut_short_by_an_unmount_leaves_the_replica_behind)
{
    scratch_dir replicas;
    const std::vector<std::string> roots = {replicas / "r0", replicas / "r1"};
    for (const std::string& root : roots)
        mkdir(root.c_str(), 0755);
    // Terabytes of holes on both sides: compared chunk by chunk, never
    // written, and far more than the resync reads before the unmount.
    // The same tree on both, to the nanosecond, or the first start would
    // refuse to choose between them.
    const struct timespec same[2] = {{1700000000, 1}, {1700000000, 1}};
    for (const std::string& root : roots) {
        write_file(root + "/huge", "");
        ASSERT_EQ(truncate((root + "/huge").c_str(), off_t{1} << 40), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, (root + "/huge").c_str(), same, 0), 0);
        ASSERT_EQ(utimensat(AT_FDCWD, root.c_str(), same, 0), 0);
    }
    mount_options o = walk_options();
    o.replica_roots = roots;
    {
        test_mount m(o);
        ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
        ASSERT_TRUE(eventually([&] { return read_file(status_file(m, 1)) == "0"; })) << m.log_text();
        ASSERT_EQ(write_status(status_file(m, 1), "2"), 0);
        ASSERT_EQ(write_status(status_file(m, 1), "1"), 0);
        EXPECT_EQ(read_file(status_file(m, 1)), "1");
        EXPECT_EQ(write_status(status_file(m, 1), "1"), EBUSY);
        EXPECT_EQ(m.unmount(), 0);
        EXPECT_NE(m.log_text().find("resync interrupted by the unmount, the replica stays behind failed "
                                    "accessing " + roots[1] + "\n"),
                  std::string::npos) << m.log_text();
    }
    test_mount again(o);
    ASSERT_TRUE(again.mounted()) << again.daemon_stderr();
    EXPECT_TRUE(eventually([&] { return read_file(status_file(again, 1)) == "1"; })) << again.log_text();
    EXPECT_EQ(again.unmount(), 0);
}

TEST_F(resync_test, a_resync_onto_a_replica_that_fills_up_disables_it)
{
    scratch_dir replicas;
    const std::vector<std::string> roots = {replicas / "r0", replicas / "small"};
    for (const std::string& root : roots)
        mkdir(root.c_str(), 0755);
    ASSERT_EQ(mount("tmpfs", roots[1].c_str(), "tmpfs", 0, "size=1m"), 0);
    mount_options o = walk_options();
    o.replica_roots = roots;
    {
        test_mount m(o);
        ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
        write_file(m.at("small"), "fits");
        ASSERT_TRUE(eventually([&] { return read_file(status_file(m, 1)) == "0"; })) << m.log_text();
        ASSERT_EQ(write_status(status_file(m, 1), "2"), 0);
        write_file(m.at("big"), std::string(4 << 20, 'b'));
        const std::string before = replicas / "before";
        ASSERT_EQ(system(("cp -a " + roots[0] + " " + before).c_str()), 0);
        ASSERT_EQ(write_status(status_file(m, 1), "1"), 0);
        EXPECT_TRUE(eventually([&] { return read_file(status_file(m, 1)) == "2"; })) << m.log_text();
        EXPECT_EQ(replica_differences({before, roots[0]}), "");
        EXPECT_EQ(read_file(m.at("big")), std::string(4 << 20, 'b'));
        EXPECT_EQ(m.unmount(), 0);
        const std::string log = m.log_text();
        const size_t stopped = log.find("resync stopped at /big on the replica failed accessing " + roots[1] +
                                        " No space left on device\n");
        EXPECT_NE(stopped, std::string::npos) << log;
        EXPECT_NE(log.find("disabling replica failed accessing " + roots[1] + "\n", stopped), std::string::npos)
            << log;
    }
    umount2(roots[1].c_str(), MNT_DETACH);
}

TEST_F(resync_test, a_replica_that_fell_behind_is_resynced_whole)
{
    enum class under_mount { no_replica, target, source };
    struct whole_case {
        const char* name;
        under_mount mount_point;  // the directory under the mount point as a replica
    };
    const std::vector<whole_case> cases = {
        {"two replica directories", under_mount::no_replica},
        {"onto the replica under the mount point", under_mount::target},
        {"from the replica under the mount point", under_mount::source},
    };
    const std::string deep_text = "at the end of a path longer than PATH_MAX";
    for (const whole_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        const std::string mp = dir / "mp", r0 = dir / "r0", r1 = dir / "r1";
        for (const std::string& path : {mp, r0, r1})
            mkdir(path.c_str(), 0755);
        mount_options o = walk_options();
        std::string source = r0, target = r1;
        if (c.mount_point == under_mount::no_replica) {
            o.replica_roots = {r0, r1};
        } else {
            o.mount_point_replica = true;
            o.mount_point = mp;
            o.replica_roots = {r1};
            source = c.mount_point == under_mount::source ? mp : r1;
            target = c.mount_point == under_mount::target ? mp : r1;
        }
        // Opened before the mount covers it: the source is written straight
        // too, where no path through the mount reaches.
        unique_fd source_fd(open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(source_fd);
        test_mount m(o);
        ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
        std::string status = target;
        std::replace(status.begin(), status.end(), '/', '_');
        status = m.ctl() + "/" + status + "/status";
        ASSERT_TRUE(eventually([&] { return read_file(status) == "0"; })) << m.log_text();

        // What the target holds when it falls behind, changed or removed
        // while it is out.
        write_file(m.at("stale"), "older and longer contents", 0600);
        mkdir(m.at("gone").c_str(), 0755);
        write_file(m.at("gone/inside"), "x");
        ASSERT_EQ(write_status(status, "2"), 0);
        write_file(m.at("stale"), "newer");
        chmod(m.at("stale").c_str(), 0644);
        const std::string list = acl_value("u::rw,u:1002:rw,g::r,m::rw,o::r");
        ASSERT_EQ(setxattr(m.at("stale").c_str(), "system.posix_acl_access", list.data(), list.size(), 0), 0)
            << std::strerror(errno);
        unlink(m.at("gone/inside").c_str());
        rmdir(m.at("gone").c_str());
        const std::string straight = "/proc/self/fd/" + std::to_string(source_fd.get()) + "/tree";
        ASSERT_EQ(mkdir(straight.c_str(), 0755), 0) << std::strerror(errno);
        make_tree(straight, 3, 30);
        ASSERT_TRUE(make_deep(source_fd.get(), deep_text)) << std::strerror(errno);

        // A file removed while open, while the target is out: the resync
        // carries no nameless file to it, and the handle keeps working on
        // the replicas that had it.
        const int nameless = open(m.at("nameless").c_str(), O_RDWR | O_CREAT, 0644);
        ASSERT_GE(nameless, 0);
        ASSERT_EQ(write(nameless, "before", 6), 6);
        ASSERT_EQ(unlink(m.at("nameless").c_str()), 0);

        ASSERT_EQ(write_status(status, "1"), 0);
        EXPECT_TRUE(eventually([&] { return read_file(status) != "1"; })) << m.log_text();
        EXPECT_EQ(read_file(status), "0") << m.log_text();
        EXPECT_EQ(pwrite(nameless, "after", 5, 0), 5);
        char seen[7] = {};
        EXPECT_EQ(pread(nameless, seen, 6, 0), 6);
        EXPECT_STREQ(seen, "aftere");
        EXPECT_EQ(close(nameless), 0);
        EXPECT_EQ(read_file(status), "0") << m.log_text();
        EXPECT_EQ(m.unmount(), 0);
        for (const std::string& root : {source, target})
            for (const auto& [path, entry] : list_tree(root))
                EXPECT_EQ(path.find("nameless"), std::string::npos) << root << path;

        // Hard links are compared where a path reaches; the rest, deeper
        // than a path reaches, by descriptors.
        EXPECT_EQ(replica_differences({source + "/tree", target + "/tree"}), "");
        FILE* out = tmpfile();
        EXPECT_EQ(verify_replicas({source, target}, out, stderr, false), verify_identical);
        fclose(out);
        unique_fd target_fd(open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        EXPECT_EQ(read_deep(target_fd.get()), deep_text);
    }
}

}  // namespace
