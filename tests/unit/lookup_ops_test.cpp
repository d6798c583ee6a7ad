// Lookups called in-process on replica directories, with the caller set per
// thread: which replica answers, what is logged, what each caller may see.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "fs/engine/replicas.h"
#include "fs/kernel/operations.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"
#include "tests/support/test_caller.h"

namespace {

using lookup_ops_test = replica_dirs_test;

TEST_F(lookup_ops_test, no_replica_in_service_gives_einval)
{
    use_replicas(2);
    write_file(in(0, "f"), "x");
    write_file(in(1, "f"), "x");
    set_state(0, replica_state::behind);
    set_state(1, replica_state::disabled, 12345);
    struct stat st;
    struct statvfs sv;
    char buffer[16];
    EXPECT_EQ(fs_getattr("/f", &st), -EINVAL);
    EXPECT_EQ(fs_statfs("/", &sv), -EINVAL);
    EXPECT_EQ(fs_readlink("/f", buffer, sizeof buffer), -EINVAL);
    EXPECT_EQ(fs_readdir("/", nullptr, nullptr, 0, nullptr), -EINVAL);
    struct fuse_file_info fi {};
    EXPECT_EQ(fs_opendir("/", &fi), -EINVAL);
}

// The statfs fields the mirror's answer is made of.
struct fs_figures {
    unsigned long bsize, frsize;
    fsblkcnt_t blocks, bfree, bavail;
    fsfilcnt_t files, ffree;
    unsigned long namemax;
};

struct statvfs statvfs_of(const fs_figures& f)
{
    struct statvfs st {};
    st.f_bsize = f.bsize;
    st.f_frsize = f.frsize;
    st.f_blocks = f.blocks;
    st.f_bfree = f.bfree;
    st.f_bavail = f.bavail;
    st.f_files = f.files;
    st.f_ffree = st.f_favail = f.ffree;
    st.f_namemax = f.namemax;
    return st;
}

std::string text_of(const struct statvfs& st)
{
    std::ostringstream out;
    out << st.f_bsize << "/" << st.f_frsize << " blocks " << st.f_blocks << " " << st.f_bfree << " "
        << st.f_bavail << " files " << st.f_files << " " << st.f_ffree << " " << st.f_favail << " name "
        << st.f_namemax;
    return out.str();
}

TEST(smallest_filesystem, answers_for_the_smallest_replica_in_bytes)
{
    struct row {
        const char* what;
        std::vector<fs_figures> replicas;
        fs_figures mirror;
    };
    constexpr fsblkcnt_t most = ~fsblkcnt_t{0};
    const row rows[] = {
        {"one replica is itself", {{4096, 4096, 10, 5, 4, 9, 3, 255}}, {4096, 4096, 10, 5, 4, 9, 3, 255}},
        {"each figure the smallest, whichever replica has it",
         {{4096, 4096, 1000, 500, 400, 100, 50, 255}, {4096, 4096, 2000, 300, 350, 80, 60, 143}},
         {4096, 4096, 1000, 300, 350, 80, 50, 143}},
        {"block sizes compared in bytes, answered in the smallest fragment",
         {{4096, 4096, 1000, 500, 500, 100, 50, 255}, {1024, 1024, 5000, 1000, 800, 100, 50, 255}},
         {1024, 1024, 4000, 1000, 800, 100, 50, 255}},
        {"a fragment size of 0 stands for the block size",
         {{4096, 0, 100, 100, 100, 10, 10, 255}, {65536, 512, 1000, 1000, 700, 10, 10, 255}},
         {4096, 512, 800, 800, 700, 10, 10, 255}},
        {"no file count (btrfs) sets no file limit",
         {{4096, 4096, 10, 10, 10, 0, 0, 255}, {4096, 4096, 20, 20, 20, 70, 30, 255}},
         {4096, 4096, 10, 10, 10, 70, 30, 255}},
        {"sizes past 64 bits of bytes count as the largest",
         {{4096, 4096, most, most, most, 5, 5, 255}, {4096, 4096, 10, 9, 8, 5, 5, 255}},
         {4096, 4096, 10, 9, 8, 5, 5, 255}},
    };
    for (const row& r : rows) {
        std::vector<struct statvfs> answers;
        for (const fs_figures& f : r.replicas)
            answers.push_back(statvfs_of(f));
        EXPECT_EQ(text_of(smallest_filesystem(answers.data(), static_cast<int>(answers.size()))),
                  text_of(statvfs_of(r.mirror)))
            << r.what;
        // Whatever the replicas' order.
        std::reverse(answers.begin(), answers.end());
        EXPECT_EQ(text_of(smallest_filesystem(answers.data(), static_cast<int>(answers.size()))),
                  text_of(statvfs_of(r.mirror)))
            << r.what << ", in reverse";
    }
}

TEST_F(lookup_ops_test, readlink_truncates_to_the_buffer)
{
    use_replicas(1);
    ASSERT_EQ(symlink("0123456789", in(0, "l").c_str()), 0);
    char buffer[5] = "zzzz";
    EXPECT_EQ(fs_readlink("/l", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "0123");
    EXPECT_EQ(fs_readlink("/l", buffer, 0), -EINVAL);
}

struct listing {
    std::vector<std::string> names;
    std::vector<mode_t> modes;
    size_t room = 100;
};

int collect(void* context, const char* name, const struct stat* st, off_t next)
{
    auto* into = static_cast<listing*>(context);
    EXPECT_EQ(next, 0);
    if (into->names.size() == into->room)
        return 1;
    into->names.push_back(name);
    into->modes.push_back(st->st_mode);
    return 0;
}

TEST_F(lookup_ops_test, readdir_hands_over_names_with_their_type_only)
{
    use_replicas(1);
    write_file(in(0, "file"), "x", 0600);
    mkdir(in(0, "sub").c_str(), 0700);
    listing seen;
    EXPECT_EQ(fs_readdir("/", &seen, collect, 0, nullptr), 0);
    ASSERT_EQ(seen.names.size(), 4u);  // with "." and ".."
    for (size_t i = 0; i < seen.names.size(); ++i) {
        const mode_t expected = seen.names[i] == "file" ? S_IFREG : S_IFDIR;
        EXPECT_EQ(seen.modes[i], expected) << seen.names[i];
    }
    listing small;
    small.room = 2;
    EXPECT_EQ(fs_readdir("/", &small, collect, 0, nullptr), 0);
    EXPECT_EQ(small.names.size(), 2u);
    // A link at the name is not followed out of the tree.
    ASSERT_EQ(symlink(dir.path().c_str(), in(0, "link").c_str()), 0);
    listing outside;
    EXPECT_EQ(fs_readdir("/link", &outside, collect, 0, nullptr), -ELOOP);
    EXPECT_TRUE(outside.names.empty());
}

TEST_F(lookup_ops_test, an_absent_name_is_logged_only_where_the_replicas_disagree)
{
    use_replicas(2);
    struct stat st;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(fs_getattr("/nowhere", &st), -ENOENT);
    EXPECT_EQ(events(), "");
    // Found on replica 1 only: replica 0, which attributes are asked of
    // first, disagrees, and its absence is logged each time.
    write_file(in(1, "one-sided"), "x");
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(fs_getattr("/one-sided", &st), 0);
    const std::string absent = "getattr failed accessing " + root(0) + " No such file or directory\n";
    EXPECT_EQ(events(), absent + absent);
}

TEST_F(lookup_ops_test, an_opened_directory_lists_from_its_own_stream)
{
    use_replicas(2);
    mkdir(in(0, "d").c_str(), 0755);
    mkdir(in(1, "d").c_str(), 0755);
    write_file(in(0, "d/a"), "x");
    write_file(in(1, "d/a"), "x");
    struct fuse_file_info fi {};
    ASSERT_EQ(fs_opendir("/d", &fi), 0);
    listing first, again;
    EXPECT_EQ(fs_readdir("/d", &first, collect, 0, &fi), 0);
    EXPECT_EQ(fs_readdir("/d", &again, collect, 0, &fi), 0);
    EXPECT_EQ(first.names, again.names);
    EXPECT_EQ(first.names.size(), 3u);
    EXPECT_EQ(fs_releasedir("/d", &fi), 0);
    EXPECT_EQ(fi.fh, 0u);
}

}  // namespace
