// Names changed through a real mount by several users: every replica in
// service gets the change as the caller, and a replica that diverges is
// logged and taken out of service.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "tests/support/mount_harness.h"

namespace {

constexpr uid_t alice = 1001, bob = 1002;
constexpr gid_t team = 1500;

struct stat attributes(const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        st.st_mode = 0;
    return st;
}

bool exists(const std::string& path)
{
    return attributes(path).st_mode != 0;
}

// The log without the date and time in front of each line.
std::string events(const test_mount& m)
{
    std::istringstream text(m.log_text());
    std::string line, out;
    while (std::getline(text, line))
        out += line.substr(17) + "\n";
    return out;
}

std::string disabling(const std::string& word, const std::string& root, const std::string& error)
{
    return word + " failed accessing " + root + " " + error + "\n" +
           "disabling replica failed accessing " + root + "\n";
}

// Runs fn as the user with the mask cleared, so that the modes asked for
// are the modes the calls carry.
int as(uid_t uid, gid_t gid, const std::function<int()>& fn)
{
    return as_user(uid, gid, {}, [&] {
        umask(0);
        return fn();
    });
}

void open_roots_to_everyone(const test_mount& m, int replicas)
{
    for (int i = 0; i < replicas; ++i)
        chmod(m.replica(i).c_str(), 0777);
}

TEST(namespace_e2e, every_change_reaches_every_replica_as_the_caller)
{
    mount_options options;
    options.replicas = 3;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    open_roots_to_everyone(m, 3);
    ASSERT_EQ(as(alice, alice, [&] {
                  if (mkdir(m.at("d").c_str(), 0751) != 0)
                      return errno;
                  const int fd = open(m.at("d/f").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0604);
                  if (fd < 0)
                      return errno;
                  close(fd);
                  if (mkfifo(m.at("d/p").c_str(), 0640) != 0 || symlink("/abs/target", m.at("d/l").c_str()) != 0 ||
                      link(m.at("d/f").c_str(), m.at("d/h").c_str()) != 0 ||
                      rename(m.at("d/h").c_str(), m.at("d/moved").c_str()) != 0)
                      return errno;
                  return 0;
              }),
              0);
    const std::pair<const char*, mode_t> made[] = {
        {"d", S_IFDIR | 0751}, {"d/f", S_IFREG | 0604}, {"d/p", S_IFIFO | 0640}, {"d/l", S_IFLNK | 0777}};
    for (int i = 0; i < 3; ++i) {
        for (const auto& [name, mode] : made) {
            const struct stat st = attributes(m.in_replica(i, name));
            EXPECT_EQ(st.st_mode, mode) << i << " " << name;
            EXPECT_EQ(st.st_uid, alice) << i << " " << name;
            EXPECT_EQ(st.st_gid, alice) << i << " " << name;
        }
        char text[32] = {};
        EXPECT_GT(readlink(m.in_replica(i, "d/l").c_str(), text, sizeof text - 1), 0);
        EXPECT_STREQ(text, "/abs/target");
        EXPECT_EQ(attributes(m.in_replica(i, "d/moved")).st_ino, attributes(m.in_replica(i, "d/f")).st_ino);
        EXPECT_FALSE(exists(m.in_replica(i, "d/h")));
    }

    // Under a set-group-ID directory new objects take its group.
    for (int i = 0; i < 3; ++i) {
        mkdir(m.in_replica(i, "shared").c_str(), 0);
        chown(m.in_replica(i, "shared").c_str(), 0, team);
        chmod(m.in_replica(i, "shared").c_str(), 02777);
    }
    ASSERT_EQ(as(bob, bob, [&] {
                  const int fd = open(m.at("shared/b").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
                  if (fd < 0)
                      return errno;
                  close(fd);
                  return mkdir(m.at("shared/sub").c_str(), 0700) == 0 ? 0 : errno;
              }),
              0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(attributes(m.in_replica(i, "shared/b")).st_uid, bob);
        EXPECT_EQ(attributes(m.in_replica(i, "shared/b")).st_gid, team);
        EXPECT_EQ(attributes(m.in_replica(i, "shared/sub")).st_gid, team);
        EXPECT_EQ(attributes(m.in_replica(i, "shared/sub")).st_mode & 0777, 0700u);
    }

    // Removal, and what another user may not do.
    EXPECT_EQ(as(bob, bob, [&] { return unlink(m.at("d/f").c_str()) == 0 ? 0 : errno; }), EACCES);
    // A directory renamed within its parent needs no write permission on
    // itself; one moved to another parent does (its ".." changes).
    EXPECT_EQ(as(bob, bob, [&] { return rename(m.at("d").c_str(), m.at("e").c_str()) == 0 ? 0 : errno; }), 0);
    EXPECT_EQ(as(bob, bob, [&] { return rename(m.at("e").c_str(), m.at("shared/e").c_str()) == 0 ? 0 : errno; }),
              EACCES);
    EXPECT_EQ(as(bob, bob, [&] { return rename(m.at("e").c_str(), m.at("d").c_str()) == 0 ? 0 : errno; }), 0);
    EXPECT_EQ(as(alice, alice, [&] {
                  for (const char* name : {"d/f", "d/moved", "d/p", "d/l"})
                      if (unlink(m.at(name).c_str()) != 0)
                          return errno;
                  return rmdir(m.at("d").c_str()) == 0 ? 0 : errno;
              }),
              0);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(exists(m.in_replica(i, "d")));
    EXPECT_EQ(m.log_text().find("disabling"), std::string::npos) << m.log_text();
    EXPECT_EQ(m.unmount(), 0);
}

// A name missing from one replica is a row of the unit fault table
// (tests/unit/namespace_ops_test.cpp); a read-only disk needs a real mount.
TEST(namespace_e2e, a_read_only_replica_is_taken_out_of_service)
{
    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    ASSERT_EQ(mkdir(m.at("sub").c_str(), 0755), 0);
    // The replica's disk turns read-only below its root.
    const std::string r1 = m.in_replica(1, "sub");
    ASSERT_EQ(mount(r1.c_str(), r1.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, r1.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(mkdir(m.at("sub/d").c_str(), 0755), 0);
    EXPECT_EQ(symlink("x", m.at("sub/l").c_str()), 0);
    umount2(r1.c_str(), MNT_DETACH);
    const std::string text = events(m);
    EXPECT_NE(text.find(disabling("mkdir", m.replica(1), "Read-only file system")), std::string::npos) << text;
    // Disabled once: the symlink no longer tried it.
    EXPECT_EQ(text.find("symlink"), std::string::npos) << text;
    EXPECT_FALSE(exists(m.in_replica(1, "sub/l")));
    EXPECT_EQ(m.unmount(), 0);
}

}  // namespace
