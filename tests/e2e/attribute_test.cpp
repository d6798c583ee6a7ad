// Attributes changed through a real mount by root and two other users:
// the owner and group rules that the daemon applies for the caller, and a
// replica whose change fails taken out of service.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/acl_value.h"
#include "tests/support/mount_harness.h"
#include "tests/support/replica_compare.h"

namespace {

constexpr uid_t alice = 1001, bob = 1002;
constexpr gid_t crew = 1500, solo = 1501;

struct stat attributes(const std::string& path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

void make_everywhere(const test_mount& m, int replicas, const std::string& name, mode_t mode, uid_t uid)
{
    for (int i = 0; i < replicas; ++i) {
        write_file(m.in_replica(i, name), "0123456789", mode);
        chown(m.in_replica(i, name).c_str(), uid, uid);
        chmod(m.in_replica(i, name).c_str(), mode);
    }
}

int result_of(int rc)
{
    return rc == 0 ? 0 : errno;
}

TEST(attribute_e2e, owners_and_writers_change_every_replica_and_others_are_refused)
{
    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    make_everywhere(m, 2, "f", 0644, alice);
    make_everywhere(m, 2, "shared", 0666, alice);
    const std::string f = m.at("f");

    EXPECT_EQ(as_user(bob, bob, {}, [&] { return result_of(chmod(f.c_str(), 0666)); }), EPERM);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(chmod(f.c_str(), 0640)); }), 0);
    // chgrp to a group the calling process holds, yes; to one it does not
    // hold, or giving the file away, no.
    EXPECT_EQ(as_user(alice, alice, {solo}, [&] { return result_of(chown(f.c_str(), -1, solo)); }), 0);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(chown(f.c_str(), -1, crew)); }), EPERM);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(chown(f.c_str(), bob, -1)); }), EPERM);
    EXPECT_EQ(as_user(bob, bob, {}, [&] { return result_of(truncate(f.c_str(), 2)); }), EACCES);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(truncate(f.c_str(), 4)); }), 0);
    for (int i = 0; i < 2; ++i) {
        const struct stat st = attributes(m.in_replica(i, "f"));
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(st.st_uid, alice);
        EXPECT_EQ(st.st_gid, solo);
        EXPECT_EQ(st.st_size, 4);
    }

    // Times: "now" for anyone who may write and the owner, explicit times
    // for the owner only.
    make_everywhere(m, 2, "kept", 0444, alice);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(utimes(m.at("kept").c_str(), nullptr)); }), 0);
    const struct timeval times[2] = {{1000000, 0}, {2000000, 0}};
    EXPECT_EQ(as_user(bob, bob, {}, [&] { return result_of(utimes(m.at("shared").c_str(), times)); }), EPERM);
    EXPECT_EQ(as_user(bob, bob, {}, [&] { return result_of(utimes(m.at("shared").c_str(), nullptr)); }), 0);
    EXPECT_EQ(as_user(bob, bob, {}, [&] { return result_of(utimes(f.c_str(), nullptr)); }), EACCES);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(utimes(f.c_str(), times)); }), 0);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(attributes(m.in_replica(i, "f")).st_mtime, 2000000);

    EXPECT_EQ(result_of(chown(f.c_str(), bob, crew)), 0);
    EXPECT_EQ(attributes(m.in_replica(1, "f")).st_uid, bob);
    EXPECT_EQ(attributes(m.in_replica(1, "f")).st_gid, crew);
    EXPECT_EQ(m.log_text().find("disabling"), std::string::npos) << m.log_text();
    EXPECT_EQ(m.unmount(), 0);
}

TEST(attribute_e2e, a_change_failing_on_a_read_only_replica_takes_it_out)
{
    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    ASSERT_EQ(mkdir(m.at("sub").c_str(), 0755), 0);
    make_everywhere(m, 2, "sub/f", 0644, alice);
    // The replica's disk turns read-only below its root.
    const std::string r1 = m.in_replica(1, "sub");
    ASSERT_EQ(mount(r1.c_str(), r1.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, r1.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(chmod(m.at("sub/f").c_str(), 0600)); }), 0);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(chmod(m.at("sub/f").c_str(), 0400)); }), 0);
    umount2(r1.c_str(), MNT_DETACH);
    EXPECT_EQ(attributes(m.in_replica(0, "sub/f")).st_mode & 07777, 0400u);
    EXPECT_EQ(attributes(m.in_replica(1, "sub/f")).st_mode & 07777, 0644u);
    const std::string log = m.log_text();
    const std::string root1 = m.replica(1);
    const size_t failure = log.find("chmod failed accessing " + root1 + " Read-only file system\n");
    ASSERT_NE(failure, std::string::npos) << log;
    EXPECT_NE(log.find("disabling replica failed accessing " + root1 + "\n", failure), std::string::npos) << log;
    EXPECT_EQ(log.find("chmod", failure + 1), std::string::npos) << log;
    EXPECT_EQ(m.unmount(), 0);
}

// The daemon drops a set-group-ID bit without group execute itself when a
// writer outside the group appends: the kernel, which keeps the file's
// attributes for a second, must not go on showing the bit.
TEST(attribute_e2e, a_bit_the_daemon_drops_on_a_write_is_gone_at_once)
{
    mount_options options;
    options.no_cache = false;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string f = m.at("f");
    write_file(f, "0123456789", 02767);
    ASSERT_EQ(chmod(f.c_str(), 02767), 0);
    EXPECT_EQ(attributes(f).st_mode & 07777, 02767u);
    EXPECT_EQ(as_user(bob, bob, {}, [&] {
        const int fd = open(f.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        const bool written = fd >= 0 && write(fd, "x", 1) == 1;
        if (fd >= 0)
            close(fd);
        return written ? 0 : errno;
    }), 0);
    EXPECT_EQ(attributes(f).st_mode & 07777, 0767u);
    EXPECT_EQ(attributes(m.in_replica(0, "f")).st_mode & 07777, 0767u);
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(replica_differences({m.replica(0), m.replica(1)}), "");
}

// The kernel asks for a file's access control list at every check of a
// user other than the owner, and the daemon remembers a file that has
// none: a list set or removed through the mount takes effect at once,
// with the kernel's caches on.
TEST(attribute_e2e, an_access_list_takes_effect_at_once_after_a_check_without_one)
{
    mount_options options;
    options.no_cache = false;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string f = m.at("f");
    write_file(f, "0123456789", 0640);
    ASSERT_EQ(chown(f.c_str(), alice, alice), 0);
    ASSERT_EQ(chmod(f.c_str(), 0640), 0);
    const auto bob_reads = [&] {
        return as_user(bob, bob, {}, [&] {
            const int fd = open(f.c_str(), O_RDONLY);
            if (fd < 0)
                return errno;
            close(fd);
            return 0;
        });
    };
    const std::string grant = acl_value("u::rw,u:1002:r,g::r,m::r,o::-");
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(bob_reads(), EACCES);
        ASSERT_EQ(setxattr(f.c_str(), "system.posix_acl_access", grant.data(), grant.size(), 0), 0);
        EXPECT_EQ(bob_reads(), 0);
        ASSERT_EQ(removexattr(f.c_str(), "system.posix_acl_access"), 0);
    }
    EXPECT_EQ(bob_reads(), EACCES);
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(replica_differences({m.replica(0), m.replica(1)}), "");
}

}  // namespace
