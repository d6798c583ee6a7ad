// What the mount answers never depends on the replica that serves it:
// statfs reports the smallest replica, stat reads one replica's times
// every time, and once a change is done and its files closed every
// replica holds the same modification times.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/mount_harness.h"
#include "tests/support/replica_compare.h"

namespace {

// The log without the priority lines that every start writes.
std::string events(const test_mount& m)
{
    std::string kept;
    const std::string log = m.log_text();
    for (size_t start = 0, end; start < log.size(); start = end) {
        end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end + 1;
        const std::string line = log.substr(start, end - start);
        if (line.find(" replica priority ") == std::string::npos)
            kept += line;
    }
    return kept;
}

// A tmpfs of the given size on a new directory, for the length of a test.
struct sized_tmpfs {
    std::string path;
    bool mounted = false;
    sized_tmpfs(const std::string& where, const std::string& size) : path(where)
    {
        mkdir(path.c_str(), 0755);
        mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0755").c_str()) == 0;
    }
    ~sized_tmpfs()
    {
        if (mounted)
            umount2(path.c_str(), MNT_DETACH);
    }
    // A plain unmount, which fails while anything still holds it.
    bool unmount()
    {
        mounted = mounted && umount2(path.c_str(), 0) != 0;
        return !mounted;
    }
};

// The figures df shows, in bytes where they are sizes.
std::string df_view(const struct statvfs& st)
{
    char text[200];
    std::snprintf(text, sizeof text, "size %llu free %llu available %llu files %llu free %llu name %lu",
                  static_cast<unsigned long long>(st.f_blocks * st.f_frsize),
                  static_cast<unsigned long long>(st.f_bfree * st.f_frsize),
                  static_cast<unsigned long long>(st.f_bavail * st.f_frsize),
                  static_cast<unsigned long long>(st.f_files), static_cast<unsigned long long>(st.f_ffree),
                  st.f_namemax);
    return text;
}

struct statvfs statvfs_of(const std::string& path)
{
    struct statvfs st {};
    statvfs(path.c_str(), &st);
    return st;
}

TEST(one_view, statfs_reports_the_smaller_replica_whichever_it_is)
{
    struct row {
        const char* what;
        const char* sizes[2];
        int smaller;
    };
    const row rows[] = {
        {"smaller first", {"16m", "64m"}, 0},
        {"smaller second", {"64m", "16m"}, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        scratch_dir disks;
        sized_tmpfs replicas[2] = {{disks / "r0", r.sizes[0]}, {disks / "r1", r.sizes[1]}};
        ASSERT_TRUE(replicas[0].mounted && replicas[1].mounted);
        mount_options options;
        options.replica_roots = {replicas[0].path, replicas[1].path};
        {
            test_mount m(options);
            ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
            write_file(m.at("data"), std::string(3 << 20, 'd'));
            const std::string expected = df_view(statvfs_of(replicas[r.smaller].path));
            ASSERT_NE(expected, df_view(statvfs_of(replicas[1 - r.smaller].path)));
            // Never the larger replica's figures, at any turn.
            for (int i = 0; i < 8; ++i)
                EXPECT_EQ(df_view(statvfs_of(m.mnt())), expected) << "statfs " << i;
            EXPECT_EQ(events(m), "");
            EXPECT_EQ(m.unmount(), 0);
        }
        EXPECT_EQ(replica_differences({replicas[0].path, replicas[1].path}), "");
        for (sized_tmpfs& replica : replicas)
            EXPECT_TRUE(eventually([&] { return replica.unmount(); })) << replica.path << ": " << std::strerror(errno);
    }
}

// Access and modification times, to the nanosecond.
std::string times_of(const struct stat& st)
{
    char text[96];
    std::snprintf(text, sizeof text, "atime %lld.%09ld mtime %lld.%09ld", static_cast<long long>(st.st_atim.tv_sec),
                  st.st_atim.tv_nsec, static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec);
    return text;
}

std::string times_at(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? times_of(st) : std::string("lstat: ") + std::strerror(errno);
}

struct timespec modified_at(const std::string& path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mtim;
}

// Every stat through the mount reads the times of the replica that comes
// first in priority order, however the replicas' own times differ (set
// here behind the mount's back), while the file is still open and written.
TEST(one_view, stat_reads_the_first_replica_in_priority_order_every_time)
{
    struct row {
        const char* what;
        std::vector<bool> low_priority;
        int first;
    };
    const row rows[] = {
        {"replica 0 first", {false, false}, 0},
        {"replica 0 of low priority", {true, false}, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        mount_options options;
        options.low_priority = r.low_priority;
        test_mount m(options);
        ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
        const int fd = open(m.at("f").c_str(), O_CREAT | O_RDWR, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, "written", 7), 7);
        for (int k = 0; k < 2; ++k) {
            const struct timespec own[2] = {{5000 + k, 11}, {6000 + k, 22}};
            ASSERT_EQ(utimensat(AT_FDCWD, m.in_replica(k, "f").c_str(), own, 0), 0);
        }
        const std::string expected = times_at(m.in_replica(r.first, "f"));
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(times_at(m.at("f")), expected) << "stat " << i;
            struct stat st;
            ASSERT_EQ(fstat(fd, &st), 0);
            EXPECT_EQ(times_of(st), expected) << "fstat " << i;
        }
        // The last close gives the first replica's modification time to
        // the other.
        ASSERT_EQ(write(fd, "again", 5), 5);
        const struct timespec written = modified_at(m.in_replica(r.first, "f"));
        ASSERT_EQ(close(fd), 0);
        const struct timespec other = modified_at(m.in_replica(1 - r.first, "f"));
        EXPECT_EQ(other.tv_sec, written.tv_sec);
        EXPECT_EQ(other.tv_nsec, written.tv_nsec);
        EXPECT_EQ(events(m), "");
        EXPECT_EQ(m.unmount(), 0);
        EXPECT_EQ(replica_differences({m.replica(0), m.replica(1)}), "");
    }
}

// Whether a name below root is one libfuse keeps an open file under after
// it was removed.
bool hidden_left(const std::string& root)
{
    for (const auto& [path, entry] : list_tree(root))
        if (path.find(".fuse_hidden") != std::string::npos)
            return true;
    return false;
}

// One writer's burst in its own names, in two directories shared with the
// other writers: creates, writes with stats between them (as make would
// look), reads, renames across and within directories, truncations, hard
// links, removals, and a file removed while it is open. The calls that
// failed, each named in failed.
int burst(const std::string& mnt, int writer, std::string& failed)
{
    int failures = 0;
    const auto check = [&](long rc, const std::string& what) {
        if (rc < 0) {
            ++failures;
            failed += what + ": " + std::strerror(errno) + "\n";
        }
    };
    const std::string me = "w" + std::to_string(writer) + "_";
    for (int i = 0; i < 12; ++i) {
        const std::string name = mnt + "/d/" + me + std::to_string(i);
        const int fd = open(name.c_str(), O_CREAT | O_RDWR, 0644);
        check(fd, "open " + name);
        if (fd < 0)
            continue;
        struct stat st;
        for (int piece = 0; piece < 3; ++piece) {
            check(fstat(fd, &st), "fstat " + name);
            check(write(fd, "0123456789", 10), "write " + name);
        }
        if (i % 6 == 5) {
            // Removed while open: its last close removes the hidden name.
            check(unlink(name.c_str()), "unlink open " + name);
            check(write(fd, "after", 5), "write removed " + name);
        }
        char buffer[16];
        check(pread(fd, buffer, sizeof buffer, 0), "pread " + name);
        check(close(fd), "close " + name);
        switch (i % 6) {
        case 0:
            check(rename(name.c_str(), (mnt + "/e/" + me + std::to_string(i)).c_str()), "rename across " + name);
            break;
        case 1:
            check(rename(name.c_str(), (name + "r").c_str()), "rename within " + name);
            break;
        case 2:
            check(truncate(name.c_str(), 4), "truncate " + name);
            break;
        case 3:
            check(link(name.c_str(), (mnt + "/e/" + me + "l" + std::to_string(i)).c_str()), "link " + name);
            check(unlink(name.c_str()), "unlink " + name);
            break;
        case 4:
            check(mkdir((name + "dir").c_str(), 0755), "mkdir " + name);
            check(symlink("x", (name + "dir/l").c_str()), "symlink " + name);
            break;
        }
    }
    const std::string emptied = mnt + "/d/" + me + "4dir";
    check(unlink((emptied + "/l").c_str()), "unlink " + emptied + "/l");
    check(rmdir(emptied.c_str()), "rmdir " + emptied);
    return failures;
}

TEST(one_view, after_a_burst_of_changes_every_stat_and_every_replica_agree)
{
    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    ASSERT_EQ(mkdir(m.at("d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(m.at("e").c_str(), 0755), 0);
    std::vector<std::thread> writers;
    std::vector<std::string> failed(4);
    std::vector<int> failures(4);
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&, w] { failures[w] = burst(m.mnt(), w, failed[w]); });
    for (std::thread& t : writers)
        t.join();
    for (int w = 0; w < 4; ++w)
        EXPECT_EQ(failures[w], 0) << failed[w];
    // libfuse removes a hidden name once the kernel releases the file,
    // after close(2) has returned.
    ASSERT_TRUE(eventually([&] { return !hidden_left(m.replica(0)) && !hidden_left(m.replica(1)); }));

    const tree_listing names = list_tree(m.replica(0));
    ASSERT_GT(names.size(), 40u);
    for (const auto& [path, entry] : names) {
        const std::string on_mount = path == "." ? m.mnt() : m.at(path);
        const std::string first = times_at(on_mount);
        EXPECT_EQ(first, times_at(m.in_replica(0, path))) << path;
        for (int i = 1; i < 8; ++i)
            EXPECT_EQ(times_at(on_mount), first) << path << " stat " << i;
    }
    EXPECT_EQ(events(m), "");
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(replica_differences({m.replica(0), m.replica(1)}), "");
}

}  // namespace
