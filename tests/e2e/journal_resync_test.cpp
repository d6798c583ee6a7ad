// Resync by the change journal: a replica out of service while a thousand
// names change in a tree of a hundred thousand comes back copying those
// names only; a journal that overflowed or was not closed cleanly falls
// back to the full walk and the log says why; a resync whose source leaves
// service goes on from another; and the journal itself never shows
// through the mount.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fs/engine/reserved_name.h"
#include "fs/engine/tree_compare.h"
#include "tests/support/mount_harness.h"
#include "tests/support/replica_compare.h"

namespace {

const std::string journal_name(journal_file_name);

// The same tree, to the nanosecond, straight into every root: dirs
// directories of files small files each. The first start finds them equal
// and trusts them all.
void make_same_trees(const std::vector<std::string>& roots, int dirs, int files)
{
    const struct timespec when[2] = {{1700000000, 7}, {1700000000, 7}};
    for (const std::string& root : roots) {
        for (int d = 0; d < dirs; ++d) {
            const std::string dir = root + "/d" + std::to_string(d);
            ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
            for (int f = 0; f < files; ++f) {
                const std::string path = dir + "/f" + std::to_string(f);
                const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
                ASSERT_GE(fd, 0) << path;
                const std::string text = std::to_string(d * files + f);
                ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
                futimens(fd, when);
                close(fd);
            }
            utimensat(AT_FDCWD, dir.c_str(), when, 0);
        }
        utimensat(AT_FDCWD, root.c_str(), when, 0);
    }
}

// The number just before word in the log's last line holding it ("1000
// names"), -1 when there is none.
long count_before(const std::string& log, const std::string& word)
{
    const size_t at = log.rfind(" " + word);
    if (at == std::string::npos)
        return -1;
    const size_t start = log.rfind(' ', at - 1);
    return std::strtol(log.c_str() + start + 1, nullptr, 10);
}

bool verify_clean(const std::vector<std::string>& roots)
{
    FILE* out = tmpfile();
    const int result = verify_replicas(roots, out, stderr, false);
    fclose(out);
    return result == verify_identical;
}

struct journal_resync_test : ::testing::Test {
    // Replicas on a tmpfs of their own: trees of a hundred thousand
    // entries stay quick to make and compare on a busy disk.
    scratch_dir dir;
    std::string disk = dir / "disk";

    void SetUp() override
    {
        mkdir(disk.c_str(), 0755);
        ASSERT_EQ(mount("tmpfs", disk.c_str(), "tmpfs", 0, "mode=0755"), 0);
    }
    void TearDown() override { umount2(disk.c_str(), MNT_DETACH); }

    mount_options options(int replicas) const
    {
        mount_options o;
        o.control = true;
        for (int k = 0; k < replicas; ++k) {
            o.replica_roots.push_back(disk + "/r" + std::to_string(k));
            mkdir(o.replica_roots.back().c_str(), 0755);
        }
        return o;
    }
};

// Waits for the control tree to show replica k in service.
::testing::AssertionResult in_service(const test_mount& m, int k)
{
    if (eventually([&] { return read_file(status_file(m, k)) == "0"; }))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << m.log_text();
}

// Writes "1" for replica k and waits until it is back in service.
::testing::AssertionResult resynced(const test_mount& m, int k)
{
    if (const int error = write_status(status_file(m, k), "1"); error != 0)
        return ::testing::AssertionFailure() << "writing 1: " << std::strerror(error);
    if (!eventually([&] { return read_file(status_file(m, k)) == "0"; }, 120000))
        return ::testing::AssertionFailure() << m.log_text();
    return ::testing::AssertionSuccess();
}

TEST_F(journal_resync_test, a_replica_out_for_a_thousand_changes_copies_those_names_only)
{
    mount_options o = options(2);
    make_same_trees(o.replica_roots, 1000, 100);
    test_mount m(o);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    ASSERT_TRUE(in_service(m, 1));
    // Opened before the replica leaves, written after: the write notes
    // the file's name.
    const int held = open(m.at("d999/f5").c_str(), O_WRONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(write_status(status_file(m, 1), "2"), 0);
    ASSERT_EQ(pwrite(held, "held", 4, 0), 4);
    close(held);

    // A thousand changes of every kind, each on names of its own, and
    // files read, which change nothing and are not journaled.
    std::set<std::string> changed = {"/d999/f5"};
    for (int i = 0; i < 1000; ++i) {
        const std::string d = "d" + std::to_string(i);
        const int read_only = open(m.at(d + "/f3").c_str(), O_RDONLY);
        ASSERT_GE(read_only, 0);
        close(read_only);
        if (i < 400) {
            const int fd = open(m.at(d + "/f0").c_str(), O_WRONLY | O_APPEND);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(write(fd, "more", 4), 4);
            ASSERT_EQ(write(fd, "again", 5), 5);
            close(fd);
            changed.insert("/" + d + "/f0");
        } else if (i < 700) {
            write_file(m.at(d + "/new"), "new");
            changed.insert("/" + d + "/new");
        } else if (i < 900) {
            ASSERT_EQ(unlink(m.at(d + "/f1").c_str()), 0);
            changed.insert("/" + d + "/f1");
        } else {
            ASSERT_EQ(rename(m.at(d + "/f2").c_str(), m.at(d + "/moved").c_str()), 0);
            changed.insert("/" + d + "/f2");
            changed.insert("/" + d + "/moved");
        }
    }
    ASSERT_TRUE(resynced(m, 1));
    EXPECT_EQ(m.unmount(), 0);

    const std::string log = m.log_text();
    EXPECT_NE(log.find("resync by journal, "), std::string::npos) << log;
    const long names = count_before(log, "names, ");
    EXPECT_GE(names, static_cast<long>(changed.size())) << log;
    EXPECT_LE(names, static_cast<long>(changed.size() + changed.size() / 20)) << log;
    // The entries made to match are the changed names that still exist,
    // not the hundred thousand.
    EXPECT_LE(count_before(log, "entries, "), names) << log;
    EXPECT_TRUE(verify_clean(o.replica_roots));
    EXPECT_EQ(replica_differences(o.replica_roots), "");
    // Back in service, no journal is kept: every file is empty (and stays,
    // so that the next departure adds no name to a root in use).
    for (const std::string& root : o.replica_roots) {
        struct stat st;
        EXPECT_TRUE(stat((root + "/" + journal_name).c_str(), &st) == 0 && st.st_size == 0) << root;
    }
}

TEST_F(journal_resync_test, a_journal_that_missed_names_falls_back_to_the_full_walk)
{
    struct fallback_case {
        const char* name;
        std::vector<std::string> environment;
        bool crash;  // the daemon is killed while the replica is out
        const char* why;
    };
    const std::vector<fallback_case> cases = {
        {"overflowed", {"VORNELIX_JOURNAL_BYTES=300"}, false, "the change journal overflowed"},
        {"killed", {}, true, "the change journal was not closed cleanly"},
    };
    for (const fallback_case& c : cases) {
        SCOPED_TRACE(c.name);
        mount_options o = options(2);
        for (const std::string& root : o.replica_roots)
            mkdir((root + "/" + c.name).c_str(), 0755);
        o.environment = c.environment;
        o.replica_roots.assign({disk + "/r0/" + c.name, disk + "/r1/" + c.name});
        std::string log;
        {
            test_mount first(o);
            ASSERT_TRUE(first.mounted()) << first.daemon_stderr();
            ASSERT_TRUE(in_service(first, 1));
            ASSERT_EQ(write_status(status_file(first, 1), "2"), 0);
            for (int i = 0; i < 20; ++i)
                write_file(first.at("file" + std::to_string(i)), "before the stop");
            if (c.crash) {
                ASSERT_EQ(kill(first.daemon_pid(), SIGKILL), 0);
                EXPECT_EQ(first.unmount(), 128 + SIGKILL);
            } else {
                EXPECT_EQ(first.unmount(), 0);
            }
            log = first.log_text();
        }
        test_mount m(o);
        ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
        ASSERT_TRUE(eventually([&] { return read_file(status_file(m, 1)) == "1"; })) << m.log_text();
        write_file(m.at("after"), "after the restart");
        ASSERT_TRUE(resynced(m, 1));
        EXPECT_EQ(m.unmount(), 0);
        log += m.log_text();
        EXPECT_NE(log.find(std::string("resync by full walk: ") + c.why), std::string::npos) << log;
        EXPECT_NE(log.find("resync complete, by full walk in "), std::string::npos) << log;
        EXPECT_EQ(replica_differences(o.replica_roots), "");
        EXPECT_TRUE(verify_clean(o.replica_roots));
    }
}

TEST_F(journal_resync_test, a_resync_whose_source_leaves_goes_on_from_another)
{
    mount_options o = options(3);
    test_mount m(o);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    ASSERT_TRUE(in_service(m, 2));
    // A terabyte of holes on every replica, compared chunk by chunk: the
    // resync is inside it long after the source has left.
    const int huge = open(m.at("huge").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(huge, 0);
    ASSERT_EQ(ftruncate(huge, off_t{1} << 40), 0);
    close(huge);
    write_file(m.at("small"), "small");
    ASSERT_EQ(write_status(status_file(m, 2), "2"), 0);
    ASSERT_EQ(chmod(m.at("huge").c_str(), 0600), 0);
    write_file(m.at("small"), "changed");

    ASSERT_EQ(write_status(status_file(m, 2), "1"), 0);
    ASSERT_TRUE(eventually([&] { return m.log_text().find("resync by journal") != std::string::npos; }))
        << m.log_text();
    ASSERT_EQ(write_status(status_file(m, 0), "2"), 0);
    ASSERT_TRUE(eventually([&] {
        return m.log_text().find("resync source " + m.replica(0) + " left service, going on from " + m.replica(1)) !=
               std::string::npos;
    })) << m.log_text();
    // Cut short, the terabyte no longer holds the resync up.
    ASSERT_EQ(truncate(m.at("huge").c_str(), 4), 0);
    EXPECT_TRUE(eventually([&] { return read_file(status_file(m, 2)) == "0"; }, 120000)) << m.log_text();
    EXPECT_EQ(read_file(status_file(m, 0)), "2");
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(replica_differences({m.replica(1), m.replica(2)}), "");
    EXPECT_TRUE(verify_clean({m.replica(1), m.replica(2)}));
    EXPECT_EQ(m.log_text().find("resync abandoned"), std::string::npos) << m.log_text();
}

// The journal at the root of the replicas in service, seen through the
// mount: absent, and no name of that kind can be made there. Deeper in
// the tree the name is like any other.
TEST_F(journal_resync_test, the_journal_never_shows_through_the_mount)
{
    mount_options o = options(2);
    test_mount m(o);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    write_file(m.at("existing"), "x");
    ASSERT_TRUE(in_service(m, 1));
    ASSERT_EQ(write_status(status_file(m, 1), "2"), 0);
    ASSERT_EQ(access(m.in_replica(0, journal_name).c_str(), F_OK), 0);
    const std::string kept = m.at(journal_name);
    struct name_case {
        const char* name;
        std::function<int()> call;
        int error;
    };
    const std::vector<name_case> cases = {
        {"stat", [&] { struct stat st; return stat(kept.c_str(), &st); }, ENOENT},
        {"open", [&] { return open(kept.c_str(), O_RDONLY); }, ENOENT},
        {"create", [&] { return open(kept.c_str(), O_WRONLY | O_CREAT, 0644); }, EPERM},
        {"mkdir", [&] { return mkdir(kept.c_str(), 0755); }, EPERM},
        {"mkfifo", [&] { return mkfifo(kept.c_str(), 0644); }, EPERM},
        {"symlink", [&] { return symlink("existing", kept.c_str()); }, EPERM},
        {"link", [&] { return link(m.at("existing").c_str(), kept.c_str()); }, EPERM},
        {"rename onto", [&] { return rename(m.at("existing").c_str(), kept.c_str()); }, EPERM},
        {"rename from", [&] { return rename(kept.c_str(), m.at("other").c_str()); }, ENOENT},
        {"unlink", [&] { return unlink(kept.c_str()); }, ENOENT},
        {"rmdir", [&] { return rmdir(kept.c_str()); }, ENOENT},
    };
    for (const name_case& c : cases) {
        errno = 0;
        EXPECT_EQ(c.call(), -1) << c.name;
        EXPECT_EQ(errno, c.error) << c.name << ": " << std::strerror(errno);
    }
    DIR* root = opendir(m.mnt().c_str());
    ASSERT_NE(root, nullptr);
    std::set<std::string> listed;
    while (const dirent* entry = readdir(root))
        listed.insert(entry->d_name);
    closedir(root);
    EXPECT_EQ(listed, (std::set<std::string>{".", "..", "existing"}));
    ASSERT_EQ(mkdir(m.at("sub").c_str(), 0755), 0);
    write_file(m.at("sub/" + journal_name), "an ordinary name here");
    EXPECT_EQ(read_file(m.at("sub/" + journal_name)), "an ordinary name here");

    ASSERT_TRUE(resynced(m, 1));
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(read_file(m.in_replica(1, "sub/" + journal_name)), "an ordinary name here");
    EXPECT_EQ(replica_differences({m.replica(0), m.replica(1)}), "");
    EXPECT_TRUE(verify_clean({m.replica(0), m.replica(1)}));
}

}  // namespace
