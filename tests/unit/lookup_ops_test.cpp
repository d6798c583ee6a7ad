// Lookups called in-process on replica directories, with the caller set per
// thread: which replica answers, what is logged, what each caller may see.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
    std::vector<char> entries;
    EXPECT_EQ(fs_list_directory("/", "opendir", entries), -EINVAL);
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

// The names and types of a listing (operations.h gives its layout).
struct listing {
    std::vector<std::string> names;
    std::vector<mode_t> modes;
};

listing decode(const std::vector<char>& entries)
{
    listing out;
    for (size_t at = 0; at + sizeof(uint64_t) + 1 < entries.size();) {
        const char* name = entries.data() + at + sizeof(uint64_t) + 1;
        out.names.push_back(name);
        out.modes.push_back(static_cast<mode_t>(static_cast<unsigned char>(entries[at + sizeof(uint64_t)])) << 12);
        at += sizeof(uint64_t) + 1 + std::strlen(name) + 1;
    }
    return out;
}

TEST_F(lookup_ops_test, a_listing_holds_names_with_their_type_only)
{
    use_replicas(1);
    write_file(in(0, "file"), "x", 0600);
    mkdir(in(0, "sub").c_str(), 0700);
    std::vector<char> entries;
    EXPECT_EQ(fs_list_directory("/", "opendir", entries), 0);
    const listing seen = decode(entries);
    ASSERT_EQ(seen.names.size(), 4u);  // with "." and ".."
    for (size_t i = 0; i < seen.names.size(); ++i) {
        const mode_t expected = seen.names[i] == "file" ? S_IFREG : S_IFDIR;
        EXPECT_EQ(seen.modes[i], expected) << seen.names[i];
    }
    // A link at the name is not followed out of the tree.
    ASSERT_EQ(symlink(dir.path().c_str(), in(0, "link").c_str()), 0);
    std::vector<char> outside;
    EXPECT_EQ(fs_list_directory("/link", "opendir", outside), -ELOOP);
    EXPECT_TRUE(outside.empty());
}

// The replicas in service hold one tree: the first replica asked decides
// that a name is missing, alone and without a log line, while an error
// there still passes the request to the next one.
TEST_F(lookup_ops_test, an_absent_name_is_decided_by_the_first_replica_asked)
{
    use_replicas(2);
    struct stat st;
    write_file(in(1, "one-sided"), "x");
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(fs_getattr("/one-sided", &st), -ENOENT);
    write_file(in(0, "only-first"), "x");
    EXPECT_EQ(fs_getattr("/only-first", &st), 0);
    EXPECT_EQ(events(), "");
    // A name that cannot be reached on replica 0 (a file where a
    // directory is needed is ENOTDIR, an absence too) is decided there.
    write_file(in(0, "d"), "x");
    ASSERT_EQ(mkdir(in(1, "d").c_str(), 0755), 0);
    write_file(in(1, "d/f"), "x");
    EXPECT_EQ(fs_getattr("/d/f", &st), -ENOTDIR);
    EXPECT_EQ(events(), "");
}

}  // namespace
