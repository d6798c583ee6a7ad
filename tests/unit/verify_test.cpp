// vornelix --verify over real directory trees: one difference made per case
// between two otherwise identical trees, and the exact report expected.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "fs/engine/tree_compare.h"
#include "tests/support/acl_value.h"
#include "tests/support/mount_harness.h"

namespace {

constexpr time_t fixed_time = 1000000000;

void put(const std::string& path, const std::string& text, mode_t mode = 0644)
{
    write_file(path, text, mode);
}

// The same tree in every replica: a file with an attribute, a directory
// with a file, a link, a fifo, a device and a file larger than one block.
void make_tree(const std::string& root)
{
    put(root + "/f", "hello\n");
    setxattr((root + "/f").c_str(), "user.k", "v", 1, 0);
    mkdir((root + "/d").c_str(), 0755);
    put(root + "/d/g", "x");
    symlink("t1", (root + "/l").c_str());
    mkfifo((root + "/p").c_str(), 0600);
    mknod((root + "/c").c_str(), S_IFCHR | 0600, makedev(1, 3));
    put(root + "/big", std::string(100000, 'b'));
}

int fix_time(const char* path, const struct stat*, int, struct FTW*)
{
    const struct timespec times[2] = {{fixed_time, 0}, {fixed_time, 0}};
    utimensat(AT_FDCWD, path, times, AT_SYMLINK_NOFOLLOW);
    return 0;
}

// Children before their directory, so that no later change moves a time.
void fix_times(const std::string& root)
{
    nftw(root.c_str(), fix_time, 16, FTW_PHYS | FTW_DEPTH);
}

void set_mtime(const std::string& path, long nanoseconds)
{
    const struct timespec times[2] = {{fixed_time, 0},
                                      {fixed_time + nanoseconds / 1000000000, nanoseconds % 1000000000}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// An access control list given as text (acl_value.h), on both sides of
// a case where the same list is wanted.
void set_list(const std::string& path, const char* name, const char* text)
{
    const std::string value = acl_value(text);
    ASSERT_EQ(setxattr(path.c_str(), name, value.data(), value.size(), 0), 0) << path << " " << name;
}

struct captured {
    int status = -1;
    std::string out, err;
};

captured verify(const std::vector<std::string>& roots, bool progress = false)
{
    char* out_text = nullptr;
    char* err_text = nullptr;
    size_t out_size = 0, err_size = 0;
    FILE* out = open_memstream(&out_text, &out_size);
    FILE* err = open_memstream(&err_text, &err_size);
    captured result;
    result.status = verify_replicas(roots, out, err, progress);
    fclose(out);
    fclose(err);
    result.out.assign(out_text, out_size);
    result.err.assign(err_text, err_size);
    free(out_text);
    free(err_text);
    return result;
}

struct difference_case {
    const char* name;
    // Applied to replica b before the times are fixed, and after.
    std::function<void(const std::string&)> before_times;
    std::function<void(const std::string&)> after_times;
    // Expected report, with A and B standing for the two roots.
    std::string report;
};

std::string fill_roots(std::string text, const std::string& a, const std::string& b)
{
    for (size_t at; (at = text.find("{A}")) != std::string::npos;)
        text.replace(at, 3, a);
    for (size_t at; (at = text.find("{B}")) != std::string::npos;)
        text.replace(at, 3, b);
    return text;
}

TEST(verify_test, each_kind_of_difference_is_reported_and_nothing_else)
{
    const std::vector<difference_case> cases = {
        {"identical", nullptr, nullptr, ""},
        {"replica records on the root do not count",
         [](const std::string& b) { setxattr(b.c_str(), "trusted.vornelix.generation", "7", 1, 0); }, nullptr,
         ""},
        {"the change journal at the root does not count",
         [](const std::string& b) { put(b + "/.vornelix-journal", "vornelix journal 1\n"); }, nullptr, ""},
        {"the same name deeper is an ordinary name",
         [](const std::string& b) { put(b + "/d/.vornelix-journal", ""); }, nullptr,
         "/d/.vornelix-journal: missing in {A}\n"},
        {"missing", [](const std::string& b) { unlink((b + "/f").c_str()); }, nullptr, "/f: missing in {B}\n"},
        {"extra, deep", [](const std::string& b) { put(b + "/d/new", ""); }, nullptr,
         "/d/new: missing in {A}\n"},
        {"type",
         [](const std::string& b) {
             unlink((b + "/f").c_str());
             mkdir((b + "/f").c_str(), 0644);
         },
         nullptr, "/f: type regular file in {A}, directory in {B}\n"},
        {"mode with set-id bits", [](const std::string& b) { chmod((b + "/f").c_str(), 04755); }, nullptr,
         "/f: mode 0644 in {A}, 4755 in {B}\n"},
        {"owner", [](const std::string& b) { lchown((b + "/d/g").c_str(), 1234, -1); }, nullptr,
         "/d/g: owner 0 in {A}, 1234 in {B}\n"},
        {"group", [](const std::string& b) { lchown((b + "/l").c_str(), -1, 4321); }, nullptr,
         "/l: group 0 in {A}, 4321 in {B}\n"},
        {"size", [](const std::string& b) { put(b + "/f", "hello!\n"); }, nullptr,
         "/f: size 6 in {A}, 7 in {B}\n"},
        {"content past the first block",
         [](const std::string& b) {
             std::string text(100000, 'b');
             text[70000] = 'c';
             put(b + "/big", text);
         },
         nullptr, "/big: content differs from byte 70000 between {A} and {B}\n"},
        {"mtime a second or more apart", nullptr,
         [](const std::string& b) { set_mtime(b + "/d", 1000000001); },
         "/d: mtime 1000000000.000000000 in {A}, 1000000001.000000001 in {B}\n"},
        {"mtime a nanosecond apart", nullptr, [](const std::string& b) { set_mtime(b + "/d", 1); },
         "/d: mtime 1000000000.000000000 in {A}, 1000000000.000000001 in {B}\n"},
        {"link target",
         [](const std::string& b) {
             unlink((b + "/l").c_str());
             symlink("t2", (b + "/l").c_str());
         },
         nullptr, "/l: link target 't1' in {A}, 't2' in {B}\n"},
        {"device",
         [](const std::string& b) {
             unlink((b + "/c").c_str());
             mknod((b + "/c").c_str(), S_IFCHR | 0600, makedev(1, 5));
         },
         nullptr, "/c: device 1,3 in {A}, 1,5 in {B}\n"},
        {"attribute value", [](const std::string& b) { setxattr((b + "/f").c_str(), "user.k", "w", 1, 0); },
         nullptr, "/f: attribute user.k differs between {A} and {B}\n"},
        {"attribute on one side only",
         [](const std::string& b) {
             removexattr((b + "/f").c_str(), "user.k");
             setxattr((b + "/d").c_str(), "user.j", "", 0, 0);
         },
         nullptr, "/d: attribute user.j missing in {A}\n/f: attribute user.k missing in {B}\n"},
        {"access control list, the mode alike",
         [](const std::string& b) { set_list(b + "/f", "system.posix_acl_access", "u::rw,u:1002:r,g::r,m::r,o::r"); },
         nullptr, "/f: attribute system.posix_acl_access missing in {A}\n"},
        {"default access control list of a directory",
         [](const std::string& b) { set_list(b + "/d", "system.posix_acl_default", "u::rwx,g::rx,o::-"); },
         nullptr, "/d: attribute system.posix_acl_default missing in {A}\n"},
        {"trusted. and security. values",
         [](const std::string& b) {
             setxattr((b + "/f").c_str(), "trusted.t", "1", 1, 0);
             setxattr((b + "/d/g").c_str(), "security.s", "1", 1, 0);
         },
         nullptr, "/d/g: attribute security.s missing in {A}\n/f: attribute trusted.t missing in {A}\n"},
        {"replica records below the root do not count either",
         [](const std::string& b) { setxattr((b + "/d").c_str(), "trusted.vornelix.x", "1", 1, 0); }, nullptr, ""},
    };
    for (const difference_case& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        const std::string a = dir / "a", b = dir / "b";
        mkdir(a.c_str(), 0755);
        mkdir(b.c_str(), 0755);
        make_tree(a);
        make_tree(b);
        if (c.before_times)
            c.before_times(b);
        fix_times(a);
        fix_times(b);
        if (c.after_times)
            c.after_times(b);

        const captured result = verify({a, b});
        EXPECT_EQ(result.out, fill_roots(c.report, a, b));
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, c.report.empty() ? verify_identical : verify_different);
    }
}

TEST(verify_test, every_replica_is_compared_with_the_first)
{
    scratch_dir dir;
    const std::vector<std::string> roots = {dir / "a", dir / "b", dir / "c"};
    for (const std::string& root : roots) {
        mkdir(root.c_str(), 0755);
        make_tree(root);
    }
    unlink((roots[2] + "/d/g").c_str());
    for (const std::string& root : roots)
        fix_times(root);
    const captured result = verify(roots);
    EXPECT_EQ(result.out, "/d/g: missing in " + roots[2] + "\n");
    EXPECT_EQ(result.status, verify_different);
}

TEST(verify_test, progress_goes_to_the_error_stream_and_is_cleared_before_a_report)
{
    scratch_dir dir;
    const std::string a = dir / "a", b = dir / "b";
    mkdir(a.c_str(), 0755);
    mkdir(b.c_str(), 0755);
    for (int i = 0; i < 300; ++i) {
        put(a + "/" + std::to_string(1000 + i), "");
        put(b + "/" + std::to_string(1000 + i), "");
    }
    put(b + "/zz", "");
    fix_times(a);
    fix_times(b);
    const captured result = verify({a, b}, true);
    EXPECT_EQ(result.out, "/zz: missing in " + a + "\n");
    EXPECT_EQ(result.err, "\r256 entries compared\r\033[K302 entries compared\n");
}

TEST(verify_test, a_replica_that_cannot_be_read_is_an_error)
{
    scratch_dir dir;
    const std::string a = dir / "a";
    mkdir(a.c_str(), 0755);
    put(dir / "file", "");
    for (const std::string& other : {dir / "missing", dir / "file"}) {
        SCOPED_TRACE(other);
        const captured result = verify({a, other});
        EXPECT_EQ(result.status, verify_failed);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(other + ": "), std::string::npos) << result.err;
    }
}

TEST(verify_test, times_compare_at_the_precision_their_filesystems_keep)
{
    struct time_case {
        timespec a, b;
        long unit_a, unit_b;  // 1: nanoseconds, 0: not known
        bool same;
    };
    const std::vector<time_case> cases = {
        {{5, 0}, {5, 0}, 1, 1, true},
        {{5, 0}, {5, 1}, 1, 1, false},            // whole seconds are no excuse on ext4 or tmpfs
        {{5, 123456789}, {5, 123456000}, 1, 0, true},   // a FUSE replica keeping microseconds
        {{5, 123456789}, {5, 123457000}, 1, 0, false},
        {{5, 999999999}, {5, 0}, 1, 0, true},     // one keeping seconds
        {{5, 0}, {6, 0}, 1, 0, false},
        {{4, 0}, {5, 500000000}, 2000000000L, 1, true},  // FAT keeps two seconds
        {{3, 0}, {4, 0}, 2000000000L, 1, false},
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(same_time_at_kept_precision(cases[i].a, cases[i].b, cases[i].unit_a, cases[i].unit_b),
                  cases[i].same)
            << i;
}

}  // namespace
