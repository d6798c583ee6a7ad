// Attributes changed through a real mount by root and two other users:
// the owner and group rules that the daemon applies for the caller, and a
// replica whose change fails taken out of service.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/mount_harness.h"

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

// The daemon reads its group database from these texts: alice is listed
// in crew, nobody in solo.
mount_options with_group_database(const scratch_dir& files, int replicas)
{
    write_file(files / "passwd", "alice:x:1001:1001::/:/bin/sh\nbob:x:1002:1002::/:/bin/sh\n");
    write_file(files / "group", "alice:x:1001:\nbob:x:1002:\ncrew:x:1500:bob,alice\nsolo:x:1501:\n");
    mount_options options;
    options.replicas = replicas;
    // A sanitizer runtime wants to be loaded first; the wrapper only
    // replaces the database calls.
    options.environment = {"LD_PRELOAD=libnss_wrapper.so", "NSS_WRAPPER_PASSWD=" + (files / "passwd"),
                           "NSS_WRAPPER_GROUP=" + (files / "group"),
                           "ASAN_OPTIONS=verify_asan_link_order=0"};
    return options;
}

TEST(attribute_e2e, owners_and_writers_change_every_replica_and_others_are_refused)
{
    scratch_dir files;
    test_mount m(with_group_database(files, 2));
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    make_everywhere(m, 2, "f", 0644, alice);
    make_everywhere(m, 2, "shared", 0666, alice);
    const std::string f = m.at("f");

    EXPECT_EQ(as_user(bob, bob, {}, [&] { return result_of(chmod(f.c_str(), 0666)); }), EPERM);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(chmod(f.c_str(), 0640)); }), 0);
    // chgrp arrives with -1 for the owner: to a group that lists alice, yes;
    // to another one, or giving the file away, no.
    EXPECT_EQ(as_user(alice, alice, {crew}, [&] { return result_of(chown(f.c_str(), -1, crew)); }), 0);
    EXPECT_EQ(as_user(alice, alice, {solo}, [&] { return result_of(chown(f.c_str(), -1, solo)); }), EPERM);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(chown(f.c_str(), bob, -1)); }), EPERM);
    EXPECT_EQ(as_user(bob, bob, {}, [&] { return result_of(truncate(f.c_str(), 2)); }), EACCES);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(truncate(f.c_str(), 4)); }), 0);
    for (int i = 0; i < 2; ++i) {
        const struct stat st = attributes(m.in_replica(i, "f"));
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(st.st_uid, alice);
        EXPECT_EQ(st.st_gid, crew);
        EXPECT_EQ(st.st_size, 4);
    }

    // Times: anyone who may write sets them, and the owner; others may not.
    make_everywhere(m, 2, "kept", 0444, alice);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(utimes(m.at("kept").c_str(), nullptr)); }), 0);
    const struct timeval times[2] = {{1000000, 0}, {2000000, 0}};
    EXPECT_EQ(as_user(bob, bob, {}, [&] { return result_of(utimes(m.at("shared").c_str(), times)); }), 0);
    EXPECT_EQ(as_user(bob, bob, {}, [&] { return result_of(utimes(f.c_str(), nullptr)); }), EACCES);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(attributes(m.in_replica(i, "shared")).st_mtime, 2000000);

    EXPECT_EQ(result_of(chown(f.c_str(), bob, solo)), 0);
    EXPECT_EQ(attributes(m.in_replica(1, "f")).st_uid, bob);
    EXPECT_EQ(attributes(m.in_replica(1, "f")).st_gid, solo);
    EXPECT_EQ(m.log_text().find("disabling"), std::string::npos) << m.log_text();
    EXPECT_EQ(m.unmount(), 0);
}

TEST(attribute_e2e, a_refusal_in_one_replica_keeps_it_in_service)
{
    mount_options options;
    options.replicas = 3;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    make_everywhere(m, 3, "f", 0666, 0);
    chmod(m.in_replica(1, "f").c_str(), 0644);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(truncate(m.at("f").c_str(), 3)); }), EACCES);
    EXPECT_EQ(attributes(m.in_replica(0, "f")).st_size, 3);
    EXPECT_EQ(attributes(m.in_replica(1, "f")).st_size, 10);
    EXPECT_EQ(attributes(m.in_replica(2, "f")).st_size, 3);
    ASSERT_EQ(truncate(m.at("f").c_str(), 1), 0);
    EXPECT_EQ(attributes(m.in_replica(1, "f")).st_size, 1);
    EXPECT_EQ(m.log_text().find("disabling"), std::string::npos) << m.log_text();
    EXPECT_EQ(m.unmount(), 0);
}

TEST(attribute_e2e, a_change_failing_on_a_read_only_replica_takes_it_out)
{
    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    make_everywhere(m, 2, "f", 0644, alice);
    const std::string r1 = m.replica(1);
    ASSERT_EQ(mount(r1.c_str(), r1.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, r1.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(chmod(m.at("f").c_str(), 0600)); }), 0);
    EXPECT_EQ(as_user(alice, alice, {}, [&] { return result_of(chmod(m.at("f").c_str(), 0400)); }), 0);
    umount2(r1.c_str(), MNT_DETACH);
    EXPECT_EQ(attributes(m.in_replica(0, "f")).st_mode & 07777, 0400u);
    EXPECT_EQ(attributes(m.in_replica(1, "f")).st_mode & 07777, 0644u);
    const std::string log = m.log_text();
    const size_t failure = log.find("chmod failed accessing " + r1 + " Read-only file system\n");
    ASSERT_NE(failure, std::string::npos) << log;
    EXPECT_NE(log.find("disabling replica failed accessing " + r1 + "\n", failure), std::string::npos) << log;
    EXPECT_EQ(log.find("chmod", failure + 1), std::string::npos) << log;
    EXPECT_EQ(m.unmount(), 0);
}

}  // namespace
