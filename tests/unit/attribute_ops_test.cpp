// Attribute changes called in-process on replica directories: what reaches
// every replica, and what never leaves one. Whether a caller may make a
// change is the kernel's decision, covered by the parity suite through a
// real mount.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fs/engine/event_log.h"
#include "fs/engine/replicas.h"
#include "fs/kernel/operations.h"
#include "tests/support/acl_value.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"
#include "tests/support/test_caller.h"

namespace {

constexpr uid_t alice = 1001, bob = 1002;
constexpr gid_t alice_group = 1001, bob_group = 1002;

struct attribute_ops_test : replica_dirs_test {
    // The same object in every replica.
    void make_everywhere(const std::string& name, mode_t mode, uid_t uid, gid_t gid)
    {
        for (int k = 0; k < state().replicas.count; ++k) {
            write_file(in(k, name), "0123456789", mode);
            chown(in(k, name).c_str(), uid, gid);
            chmod(in(k, name).c_str(), mode);
        }
    }
    bool untouched_log() const { return read_file(dir / "log") == ""; }
};

TEST_F(attribute_ops_test, chown_keeps_ids_passed_as_minus_one_and_acts_on_links_themselves)
{
    use_replicas(2);
    make_everywhere("f", 0644, alice, alice_group);
    for (int k = 0; k < 2; ++k) {
        symlink("f", in(k, "link").c_str());
        symlink("missing", in(k, "dangling").c_str());
    }
    EXPECT_EQ(fs_chown("/f", static_cast<uid_t>(-1), bob_group), 0);
    EXPECT_EQ(fs_chown("/link", bob, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(fs_chown("/dangling", bob, bob_group), 0);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(attributes(k, "f").st_uid, alice);
        EXPECT_EQ(attributes(k, "f").st_gid, bob_group);
        EXPECT_EQ(attributes(k, "link").st_uid, bob);
        EXPECT_EQ(attributes(k, "dangling").st_gid, bob_group);
    }
    EXPECT_TRUE(untouched_log());
}

TEST_F(attribute_ops_test, utimens_and_truncate_give_every_replica_the_same_now)
{
    use_replicas(2);
    make_everywhere("f", 0644, alice, alice_group);
    const struct timespec set[2] = {{1000000, 123456789}, {2000000, 987654321}};
    ASSERT_EQ(fs_utimens("/f", set), 0);
    const struct timespec only_mtime[2] = {{0, UTIME_OMIT}, {3000000, 5}};
    ASSERT_EQ(fs_utimens("/f", only_mtime), 0);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(attributes(k, "f").st_atim.tv_sec, 1000000);
        EXPECT_EQ(attributes(k, "f").st_atim.tv_nsec, 123456789);
        EXPECT_EQ(attributes(k, "f").st_mtim.tv_sec, 3000000);
        EXPECT_EQ(attributes(k, "f").st_mtim.tv_nsec, 5);
    }
    const struct timespec now_atime[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
    ASSERT_EQ(fs_utimens("/f", now_atime), 0);
    EXPECT_GT(attributes(0, "f").st_atim.tv_sec, 1000000);
    EXPECT_EQ(attributes(0, "f").st_atim.tv_nsec, attributes(1, "f").st_atim.tv_nsec);
    EXPECT_EQ(attributes(1, "f").st_mtim.tv_sec, 3000000);

    // A truncation stamps one instant too, and leaves the access time.
    const struct timespec accessed = attributes(0, "f").st_atim;
    ASSERT_EQ(fs_truncate("/f", 3), 0);
    for (int k = 0; k < 2; ++k) {
        EXPECT_GT(attributes(k, "f").st_mtim.tv_sec, 3000000);
        EXPECT_EQ(attributes(k, "f").st_mtim.tv_nsec, attributes(0, "f").st_mtim.tv_nsec);
        EXPECT_EQ(attributes(k, "f").st_atim.tv_sec, accessed.tv_sec);
        EXPECT_EQ(attributes(k, "f").st_atim.tv_nsec, accessed.tv_nsec);
    }
}

TEST_F(attribute_ops_test, changes_never_follow_a_link_out_of_the_tree)
{
    use_replicas(2);
    const std::string outside = dir / "outside";
    mkdir(outside.c_str(), 0755);
    write_file(outside + "/f", "0123456789", 0644);
    for (int k = 0; k < 2; ++k) {
        symlink((outside + "/f").c_str(), in(k, "l").c_str());
        symlink(outside.c_str(), in(k, "d").c_str());
        symlink("..", in(k, "up").c_str());
    }
    const struct timespec times[2] = {{1000000, 0}, {2000000, 0}};
    EXPECT_EQ(fs_chmod("/l", 0666), -EOPNOTSUPP);
    EXPECT_EQ(fs_truncate("/l", 0), -ELOOP);
    EXPECT_EQ(fs_utimens("/l", times), 0);
    // A link on the way is never walked through, wherever it points.
    EXPECT_EQ(fs_truncate("/d/f", 0), -ELOOP);
    EXPECT_EQ(fs_chmod("/d/f", 0666), -ELOOP);
    EXPECT_EQ(fs_mkdir("/up/escaped", 0755), -ELOOP);
    struct stat st;
    ASSERT_EQ(stat((outside + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_size, 10);
    EXPECT_NE(st.st_mtime, 2000000);
    EXPECT_EQ(access((dir / "escaped").c_str(), F_OK), -1);
    EXPECT_EQ(attributes(1, "l").st_mtime, 2000000);
    EXPECT_TRUE(replica_in_service(0) && replica_in_service(1));
}

TEST_F(attribute_ops_test, the_trees_namespaces_reach_every_replica_and_the_records_none)
{
    struct namespace_case {
        const char* name;
        std::string value;
        int set, get, removed;  // what each call answers (get: the length)
        bool on_replicas;       // whether the value reached every replica
    };
    const std::string list = acl_value("u::rw,u:1002:r,g::r,m::rw,o::-");
    const std::vector<namespace_case> cases = {
        {"user.colour", "blue", 0, 4, 0, true},
        {"trusted.x", "1", 0, 1, 0, true},
        {"security.label", "s", 0, 1, 0, true},
        {"system.posix_acl_access", list, 0, static_cast<int>(list.size()), 0, true},
        {"trusted.vornelix.generation", "9", -EPERM, -ENODATA, -EPERM, false},
        {"trusted.vornelix.other", "9", -EPERM, -ENODATA, -EPERM, false},
        {"system.other", "1", -EOPNOTSUPP, -EOPNOTSUPP, -EOPNOTSUPP, false},
        {"other.a", "1", -EOPNOTSUPP, -EOPNOTSUPP, -EOPNOTSUPP, false},
    };
    use_replicas(2);
    for (const namespace_case& c : cases) {
        SCOPED_TRACE(c.name);
        make_everywhere("f", 0644, alice, alice_group);
        EXPECT_EQ(fs_setxattr("/f", c.name, c.value.data(), c.value.size(), 0), c.set);
        EXPECT_EQ(fs_getxattr("/f", c.name, nullptr, 0), c.get);
        for (int k = 0; k < 2; ++k) {
            char value[64];
            const ssize_t size = lgetxattr(in(k, "f").c_str(), c.name, value, sizeof value);
            EXPECT_EQ(size >= 0 ? std::string(value, size) : "", c.on_replicas ? c.value : "") << k;
        }
        EXPECT_EQ(fs_removexattr("/f", c.name), c.removed);
        for (int k = 0; k < 2; ++k)
            EXPECT_EQ(lgetxattr(in(k, "f").c_str(), c.name, nullptr, 0), -1) << k;
        ASSERT_EQ(fs_unlink("/f"), 0);
    }
    EXPECT_TRUE(replica_in_service(0) && replica_in_service(1));
    EXPECT_TRUE(untouched_log());
}

TEST_F(attribute_ops_test, a_listing_shows_the_trees_names_and_trusted_ones_to_root_only)
{
    use_replicas(2);
    make_everywhere("f", 0644, alice, alice_group);
    const std::string list = acl_value("u::rw,u:1002:r,g::r,m::r,o::-");
    for (int k = 0; k < 2; ++k)
        for (const auto& [name, value] : {std::pair<std::string, std::string>{"user.colour", "blue"},
                                          {"trusted.x", "1"},
                                          {"trusted.vornelix.generation", "3"},
                                          {"security.label", "s"},
                                          {"system.posix_acl_access", list}})
            ASSERT_EQ(lsetxattr(in(k, "f").c_str(), name.c_str(), value.data(), value.size(), 0), 0) << name;
    // The order is the replica's own: compared as a set.
    const auto listed = [] {
        char names[256];
        const int length = fs_listxattr("/f", names, sizeof names);
        std::set<std::string> found;
        for (int at = 0; at < length; at += static_cast<int>(std::strlen(names + at)) + 1)
            found.insert(names + at);
        EXPECT_EQ(fs_listxattr("/f", nullptr, 0), length);
        EXPECT_EQ(fs_listxattr("/f", names, 3), -ERANGE);
        return found;
    };
    EXPECT_EQ(listed(), (std::set<std::string>{"security.label", "system.posix_acl_access", "trusted.x", "user.colour"}));
    set_test_caller(bob, bob_group);
    EXPECT_EQ(listed(), (std::set<std::string>{"security.label", "system.posix_acl_access", "user.colour"}));
    set_test_caller(0, 0);
    char value[16];
    EXPECT_EQ(fs_getxattr("/f", "user.colour", value, 2), -ERANGE);
    EXPECT_EQ(fs_getxattr("/f", "user.none", value, sizeof value), -ENODATA);
    EXPECT_TRUE(untouched_log());
}

TEST_F(attribute_ops_test, an_access_list_set_by_an_owner_outside_the_group_drops_set_group_id)
{
    struct sgid_case {
        const char* name;
        uid_t caller;
        gid_t group;  // the caller's
        mode_t after;
    };
    const std::vector<sgid_case> cases = {
        {"owner outside the file's group", alice, bob_group, 0644},
        {"owner in the file's group", alice, alice_group, 02644},
        {"root", 0, 0, 02644},
    };
    use_replicas(2);
    const std::string list = acl_value("u::rw,u:1002:r,g::r,m::r,o::r");
    for (const sgid_case& c : cases) {
        SCOPED_TRACE(c.name);
        make_everywhere("f", 02644, alice, alice_group);
        set_test_caller(c.caller, c.group);
        EXPECT_EQ(fs_setxattr("/f", "system.posix_acl_access", list.data(), list.size(), 0), 0);
        set_test_caller(0, 0);
        for (int k = 0; k < 2; ++k)
            EXPECT_EQ(attributes(k, "f").st_mode & 07777, c.after) << k;
        ASSERT_EQ(fs_unlink("/f"), 0);
    }
}

}  // namespace
