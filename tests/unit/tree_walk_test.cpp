// The walk beneath a replica root that verify, the resync's copy and the
// first start share, on its own: what their tests reach only through
// whole trees that happen not to need it (listing order and what is
// skipped, confinement beneath a root, reading without touching access
// times, the namespaces of the tree beside the records, link targets past the guess).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fs/engine/tree_walk.h"
#include "tests/support/acl_value.h"
#include "tests/support/mount_harness.h"
#include "tests/support/user_process.h"

namespace {

constexpr time_t old_time = 1000000000;

// A file capability (cap_net_bind_service=ep), as setcap stores it.
const std::string capability("\x01\x00\x00\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 20);

TEST(tree_walk, a_listing_is_sorted_bytewise_without_dot_and_dot_dot)
{
    struct listing_case {
        const char* name;
        std::vector<std::string> made;  // a trailing '/' makes a directory
        std::vector<std::string> listed;
    };
    const std::vector<listing_case> cases = {
        {"empty", {}, {}},
        {"byte order, not the order made", {"b", "a0", "a.", "_", "B", "a"}, {"B", "_", "a", "a.", "a0", "b"}},
        {"names that only begin with dots", {"..b", ".a", "..."}, {"...", "..b", ".a"}},
        {"directories among files", {"z/", "y", "x/"}, {"x", "y", "z"}},
    };
    for (const listing_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        for (const std::string& name : c.made) {
            if (name.back() == '/')
                mkdir((dir / name).c_str(), 0755);
            else
                write_file(dir / name, "");
        }
        unique_fd fd(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(fd);
        // Twice through one descriptor: a root is listed once for every
        // replica compared with it.
        for (int pass = 0; pass < 2; ++pass) {
            std::vector<std::string> names = {"left over"};
            ASSERT_EQ(list_directory(fd.get(), names), 0) << std::strerror(errno);
            EXPECT_EQ(names, c.listed) << "pass " << pass;
        }
    }
}

TEST(tree_walk, the_trees_attributes_are_read_by_name_and_the_records_never)
{
    struct attribute_case {
        const char* name;
        std::map<std::string, std::string> set;
        std::map<std::string, std::string> read;
    };
    const std::vector<attribute_case> cases = {
        {"none", {}, {}},
        {"a replica record alone", {{"trusted.vornelix.generation", "7"}}, {}},
        {"records beside trusted. names that only look like them",
         {{"trusted.vornelix.behind", "b"}, {"trusted.vornelixx", "1"}, {"trusted.vornelix", "2"}},
         {{"trusted.vornelix", "2"}, {"trusted.vornelixx", "1"}}},
        {"user. beside trusted. names that contain user.",
         {{"user.b", "2"}, {"trusted.user.a", "t"}, {"user.a", "1"}, {"trusted.x", "x"}},
         {{"trusted.user.a", "t"}, {"trusted.x", "x"}, {"user.a", "1"}, {"user.b", "2"}}},
        {"security. labels and a file capability",
         {{"security.vornelix_test", "label"}, {"security.capability", capability}},
         {{"security.capability", capability}, {"security.vornelix_test", "label"}}},
        {"an access control list, kept as the filesystem stores it",
         {{"system.posix_acl_access", acl_value("u::rw,u:1002:r,g::r,m::r,o::-")}},
         {{"system.posix_acl_access", acl_value("u::rw,u:1002:r,g::r,m::r,o::-")}}},
        {"an empty value", {{"user.e", ""}}, {{"user.e", ""}}},
    };
    for (const attribute_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        const std::string file = dir / "f";
        write_file(file, "");
        for (const auto& [name, value] : c.set)
            ASSERT_EQ(setxattr(file.c_str(), name.c_str(), value.data(), value.size(), 0), 0) << name;
        unique_fd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(fd);
        std::map<std::string, std::string> read = {{"user.left", "over"}};
        ASSERT_EQ(tree_attributes(fd.get(), read), 0) << std::strerror(errno);
        EXPECT_EQ(read, c.read);
        std::vector<std::string> names = {"user.left"};
        ASSERT_EQ(tree_attribute_names(fd.get(), names), 0) << std::strerror(errno);
        std::vector<std::string> keys;
        for (const auto& [name, value] : c.read)
            keys.push_back(name);
        EXPECT_EQ(names, keys);
    }
}

TEST(tree_walk, a_link_target_is_read_whole_whatever_its_length_was_guessed)
{
    struct link_case {
        const char* name;
        std::string target;  // empty: "f" is a regular file, not a link
        size_t guess;
        int error;  // 0: the whole target is read
    };
    const std::vector<link_case> cases = {
        {"guessed right", "abc", 3, 0},
        {"guessed one short", std::string(300, 'a'), 299, 0},
        {"guessed long", "x", 100, 0},
        {"no guess", std::string(300, 'b'), 0, 0},
        {"the longest a link holds, no guess", std::string(PATH_MAX - 1, 'c'), 0, 0},
        {"not a link", "", 10, EINVAL},
    };
    for (const link_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        if (c.target.empty())
            write_file(dir / "f", "");
        else
            ASSERT_EQ(symlink(c.target.c_str(), (dir / "f").c_str()), 0) << std::strerror(errno);
        unique_fd parent(open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        std::string read = "left over";
        errno = 0;
        const int rc = read_link(parent.get(), "f", c.guess, read);
        if (c.error != 0) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(errno, c.error);
            continue;
        }
        ASSERT_EQ(rc, 0) << std::strerror(errno);
        EXPECT_EQ(read, c.target);
    }
}

TEST(tree_walk, a_tree_path_is_opened_beneath_its_root_through_no_link)
{
    scratch_dir dir;
    const std::string root = dir / "root";
    mkdir(root.c_str(), 0755);
    mkdir((root + "/d").c_str(), 0755);
    write_file(root + "/d/f", "");
    symlink("d", (root + "/to_d").c_str());
    symlink("f", (root + "/d/to_f").c_str());
    symlink("/", (root + "/to_slash").c_str());
    unique_fd root_fd(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(root_fd);
    struct stat root_st {};
    ASSERT_EQ(fstat(root_fd.get(), &root_st), 0);

    struct beneath_case {
        const char* path;
        int flags;
        mode_t type;  // of what is opened; 0 when it fails
        int error;
    };
    const std::vector<beneath_case> cases = {
        {"/", O_PATH | O_DIRECTORY, S_IFDIR, 0},
        {"/d/f", O_RDONLY, S_IFREG, 0},
        {"//d/f", O_RDONLY, S_IFREG, 0},
        {"d/f", O_RDONLY, S_IFREG, 0},
        {"/to_d/f", O_PATH, 0, ELOOP},
        {"/d/to_f", O_RDONLY, 0, ELOOP},
        {"/d/to_f", O_PATH | O_NOFOLLOW, S_IFLNK, 0},
        {"/to_slash", O_PATH, 0, ELOOP},
        {"/d/../..", O_PATH, 0, EXDEV},
        {"/missing/f", O_PATH, 0, ENOENT},
    };
    for (const beneath_case& c : cases) {
        SCOPED_TRACE(c.path);
        errno = 0;
        unique_fd fd(open_beneath(root_fd.get(), c.path, c.flags));
        if (c.error != 0) {
            EXPECT_FALSE(fd);
            EXPECT_EQ(errno, c.error);
            continue;
        }
        ASSERT_TRUE(fd) << std::strerror(errno);
        struct stat st {};
        ASSERT_EQ(fstat(fd.get(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, c.type);
        EXPECT_EQ(fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        if (std::string(c.path) == "/") {
            EXPECT_EQ(st.st_ino, root_st.st_ino);
        }
    }
}

TEST(tree_walk, reading_an_entry_leaves_its_access_time_where_the_reader_may)
{
    struct reader_case {
        const char* name;
        uid_t owner;
        uid_t reader;
        bool link;        // the name is a link to the file
        int error;        // of opening and reading one byte
        bool atime_kept;  // checked only where O_NOATIME is allowed
    };
    const std::vector<reader_case> cases = {
        {"root reads a user's file", 1000, 0, false, 0, true},
        {"a user reads its own file", 1000, 1000, false, 0, true},
        {"a user reads another's file, as any reader would", 0, 1000, false, 0, false},
        {"a link at the end is not followed", 0, 0, true, ELOOP, false},
    };
    for (const reader_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        const std::string file = dir / "f";
        write_file(file, "data", 0644);
        ASSERT_EQ(chown(file.c_str(), c.owner, c.owner), 0);
        // Far in the past: a relatime mount would move it on any read.
        const struct timespec times[2] = {{old_time, 0}, {old_time, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        const std::string name = c.link ? "to_f" : "f";
        if (c.link) {
            ASSERT_EQ(symlink("f", (dir / name).c_str()), 0);
        }
        const std::string directory = dir.path();
        const std::vector<int> result = results_as({c.reader, c.reader, {}}, [&] {
            unique_fd parent(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            unique_fd fd(open_to_read(parent.get(), name.c_str(), 0));
            char byte;
            if (!fd || read(fd.get(), &byte, 1) != 1)
                return std::vector<int>{errno};
            return std::vector<int>{0};
        });
        EXPECT_EQ(result, std::vector<int>{c.error});
        struct stat st {};
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        if (c.atime_kept) {
            EXPECT_EQ(st.st_atim.tv_sec, old_time);
        }
    }
}

}  // namespace
