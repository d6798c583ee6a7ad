// The copying half of a resync, over plain directory trees: a stale target
// made to match a source whole, and then path by path after changes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "fs/engine/replica_access.h"
#include "fs/engine/tree_compare.h"
#include "fs/resync/resync_copy.h"
#include "tests/support/acl_value.h"
#include "tests/support/mount_harness.h"
#include "tests/support/replica_compare.h"

namespace {

void set_times(const std::string& path, long seconds, long nanoseconds)
{
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds + 1, nanoseconds + 1}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// An attribute set on a path, access control lists given as text.
void set_value(const std::string& path, const char* name, const std::string& value)
{
    ASSERT_EQ(lsetxattr(path.c_str(), name, value.data(), value.size(), 0), 0) << path << " " << name;
}

// A file capability (cap_net_bind_service=ep), as setcap stores it: a
// change of owner drops it, so it only survives a copy that sets it after
// the owner.
const std::string capability("\x01\x00\x00\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 20);

struct stat stat_of(const std::string& path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

// Every kind of entry, with odd modes, owners, attributes and times.
void make_source(const std::string& s)
{
    write_file(s + "/f", "hello\n", 0640);
    setxattr((s + "/f").c_str(), "user.k", "v", 1, 0);
    chown((s + "/f").c_str(), 1234, 5678);
    mkdir((s + "/d").c_str(), 02750);
    mkdir((s + "/d/e").c_str(), 0700);
    write_file(s + "/d/e/deep", std::string(3 << 20, 'x'));
    set_value(s + "/f", "system.posix_acl_access", acl_value("u::rw,u:1002:r,g::r,m::r,o::-"));
    write_file(s + "/setid", "#!", 0755);
    chmod((s + "/setid").c_str(), 06755);
    set_value(s + "/setid", "security.capability", capability);
    symlink("d/e/deep", (s + "/link").c_str());
    lchown((s + "/link").c_str(), 42, 43);
    mkfifo((s + "/fifo").c_str(), 0604);
    mknod((s + "/dev").c_str(), S_IFCHR | 0600, makedev(1, 3));
    write_file(s + "/twin", "shared");
    link((s + "/twin").c_str(), (s + "/d/twin2").c_str());
    setxattr((s + "/d").c_str(), "user.dir", "attr", 4, 0);
    set_value(s + "/d", "system.posix_acl_default", acl_value("u::rwx,u:1002:rx,g::rx,m::rx,o::-"));
    set_value(s + "/d", "trusted.kept", "t");
    set_times(s + "/f", 1000000000, 123456789);
    set_times(s + "/link", 1000000001, 1);
    set_times(s + "/d/e", 1000000002, 999999998);
    set_times(s + "/d", 1000000003, 7);
}

// What the stale replica holds: older contents, wrong types, a foreign
// hard link, names the source no longer has.
void make_stale_target(const std::string& t)
{
    write_file(t + "/f", "hello, but longer and older\n", 0600);
    setxattr((t + "/f").c_str(), "user.old", "x", 1, 0);
    write_file(t + "/d", "a file where a directory belongs");
    mkdir((t + "/link").c_str(), 0755);
    write_file(t + "/link/inside", "");
    write_file(t + "/gone", "removed since");
    write_file(t + "/twin", "shared");
    set_value(t + "/twin", "system.posix_acl_access", acl_value("u::rw,u:1003:rw,g::r,m::rw,o::r"));
    link((t + "/twin").c_str(), (t + "/gone2").c_str());
    symlink("elsewhere", (t + "/fifo").c_str());
    setxattr(t.c_str(), "trusted.vornelix.generation", "1", 1, 0);
}

struct copy_fixture : ::testing::Test {
    scratch_dir dir;
    std::string source = dir / "source";
    std::string target = dir / "target";
    unique_fd source_root, target_root;
    copy_context context;

    void SetUp() override
    {
        mkdir(source.c_str(), 0755);
        mkdir(target.c_str(), 0755);
        source_root.reset(open(source.c_str(), O_PATH | O_DIRECTORY));
        target_root.reset(open(target.c_str(), O_PATH | O_DIRECTORY));
        context.source_root = source_root.get();
        context.target_root = target_root.get();
    }

    void expect_identical()
    {
        EXPECT_EQ(replica_differences({source, target}), "");
        FILE* out = tmpfile();
        EXPECT_EQ(verify_replicas({source, target}, out, stderr, false), verify_identical);
        fclose(out);
    }
};

TEST_F(copy_fixture, a_stale_target_is_made_to_match_the_source_whole)
{
    make_source(source);
    make_stale_target(target);
    ASSERT_EQ(sync_path(context, "/"), 0) << context.failure.path;
    // What the comparisons leave out (and change, reading): access times,
    // one name per file shared, and the replica record left where it was.
    EXPECT_EQ(stat_of(target + "/f").st_atim.tv_nsec, 123456789);
    EXPECT_EQ(stat_of(target + "/link").st_atim.tv_sec, 1000000001);
    expect_identical();
    EXPECT_EQ(stat_of(target + "/twin").st_ino, stat_of(target + "/d/twin2").st_ino);
    EXPECT_EQ(read_file(target + "/gone"), "<missing>");
    char value[8] = {};
    EXPECT_EQ(getxattr(target.c_str(), "trusted.vornelix.generation", value, sizeof value), 1);
    EXPECT_GE(context.entries, 11u);
    EXPECT_GE(context.bytes, uint64_t{3 << 20});

    // Again, with nothing to do: nothing is written.
    const uint64_t bytes = context.bytes;
    ASSERT_EQ(sync_path(context, "/"), 0);
    EXPECT_EQ(context.bytes, bytes);
}

TEST_F(copy_fixture, changed_paths_alone_bring_the_target_up_to_date)
{
    make_source(source);
    ASSERT_EQ(sync_path(context, "/"), 0) << context.failure.path;
    // Changes made after the whole copy, and the paths they register.
    struct change {
        std::function<void()> make;
        std::vector<std::string> paths;
    };
    const std::vector<change> changes = {
        {[&] { rename((source + "/d").c_str(), (source + "/moved").c_str()); }, {"/d", "/moved"}},
        {[&] { unlink((source + "/f").c_str()); }, {"/f"}},
        {[&] { mkdir((source + "/n").c_str(), 0755); }, {"/n"}},
        {[&] { write_file(source + "/n/new", "new"); }, {"/n/new"}},
        {[&] { link((source + "/n/new").c_str(), (source + "/moved/e/new2").c_str()); },
         {"/n/new", "/moved/e/new2"}},
        {[&] { write_file(source + "/twin", "shared, changed"); }, {"/twin"}},
        {[&] { chmod((source + "/setid").c_str(), 0700); }, {"/setid"}},
        {[&] { setxattr((source + "/twin").c_str(), "user.added", "1", 1, 0); }, {"/twin"}},
        {[&] { set_value(source + "/twin", "system.posix_acl_access", acl_value("u::rw,u:1002:rw,g::r,m::rw,o::r")); },
         {"/twin"}},
        // New in a directory with a default list, on both sides, without
        // the list it inherited on the source's.
        {[&] {
             write_file(source + "/moved/plain", "");
             removexattr((source + "/moved/plain").c_str(), "system.posix_acl_access");
         },
         {"/moved/plain"}},
        // A directory copied before: only its names are compared again.
        {[&] { chmod((source + "/moved/e").c_str(), 0751); }, {"/moved/e"}},
        {[&] { rename((source + "/moved/e/deep").c_str(), (source + "/moved/deep").c_str()); },
         {"/moved/e/deep", "/moved/deep"}},
    };
    std::vector<std::string> registered;
    for (const change& c : changes) {
        c.make();
        registered.insert(registered.end(), c.paths.begin(), c.paths.end());
    }
    for (const std::string& path : registered)
        ASSERT_EQ(sync_path(context, path), 0) << path << ": " << context.failure.path;
    expect_identical();
    EXPECT_EQ(stat_of(target + "/twin").st_ino, stat_of(target + "/moved/twin2").st_ino);
    EXPECT_EQ(stat_of(target + "/n/new").st_ino, stat_of(target + "/moved/e/new2").st_ino);
}

TEST_F(copy_fixture, a_difference_in_attributes_alone_is_found_and_copied)
{
    struct attribute_case {
        const char* name;
        const char* path;  // below the root, the one path the change registers
        std::function<void(const std::string&)> change;  // given the source's path
    };
    const auto set = [](const char* attribute, std::string value) {
        return [=](const std::string& at) { set_value(at, attribute, value); };
    };
    const auto remove = [](const char* attribute) {
        return [=](const std::string& at) { ASSERT_EQ(removexattr(at.c_str(), attribute), 0); };
    };
    const std::vector<attribute_case> cases = {
        {"an access list granted", "/twin", set("system.posix_acl_access", acl_value("u::rw,u:1002:r,g::r,m::r,o::r"))},
        {"an access list taken away", "/f", remove("system.posix_acl_access")},
        // Made on both sides under a default list, which the source's lost
        // (the list changes in the next row).
        {"a new file without the list it inherited", "/d/plain",
         [](const std::string& at) {
             write_file(at, "");
             ASSERT_EQ(removexattr(at.c_str(), "system.posix_acl_access"), 0);
         }},
        {"a default list changed", "/d", set("system.posix_acl_default", acl_value("u::rwx,g::-,o::-"))},
        {"a file capability taken away", "/setid", remove("security.capability")},
        {"a trusted. value", "/d/e", set("trusted.t", "1")},
    };
    make_source(source);
    ASSERT_EQ(sync_path(context, "/"), 0) << context.failure.path;
    for (const attribute_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string at = source + c.path;
        c.change(at);
        // A list may change the mode as well: given to the target too, so
        // that the attributes alone differ.
        const struct stat st = stat_of(at);
        if (access((target + c.path).c_str(), F_OK) == 0) {
            chmod((target + c.path).c_str(), st.st_mode & 07777);
            const struct timespec times[2] = {st.st_atim, st.st_mtim};
            utimensat(AT_FDCWD, (target + c.path).c_str(), times, AT_SYMLINK_NOFOLLOW);
        }
        FILE* out = tmpfile();
        EXPECT_EQ(verify_replicas({source, target}, out, stderr, false), verify_different);
        fclose(out);
        ASSERT_EQ(sync_path(context, c.path), 0) << context.failure.path;
        expect_identical();
    }
}

TEST_F(copy_fixture, a_stop_request_ends_the_copy_with_ecanceled)
{
    make_source(source);
    context.stop = [] { return true; };
    errno = 0;
    EXPECT_EQ(sync_path(context, "/"), -1);
    EXPECT_EQ(errno, ECANCELED);
}

}  // namespace
