// Browsing the mounted tree as root and as two other users: every answer
// must be the one the kernel gives on a replica directory for the same
// caller, since the daemon stands in for the kernel's permission checks.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include "fs/engine/reserved_name.h"
#include "tests/support/mount_harness.h"

namespace {

constexpr uid_t alice = 1001, bob = 1002;

void make(const std::string& path, mode_t mode, uid_t uid, gid_t gid, bool directory = false)
{
    if (directory)
        mkdir(path.c_str(), mode);
    else
        write_file(path, "content", mode);
    chown(path.c_str(), uid, gid);
    chmod(path.c_str(), mode);
}

// The same small tree in every replica, made behind the mount's back.
void build_tree(const test_mount& m, int replicas)
{
    for (int i = 0; i < replicas; ++i) {
        const std::string r = m.replica(i) + "/";
        make(r + "pub", 0755, 0, 0, true);
        make(r + "pub/open", 0644, 0, 0);
        make(r + "pub/alices", 0600, alice, alice);
        make(r + "pub/team", 0750, alice, bob);
        symlink("open", (r + "pub/link").c_str());
        make(r + "priv", 0700, alice, alice, true);
        make(r + "priv/x", 0644, alice, alice);
        make(r + "dropbox", 0733, alice, alice, true);
        make(r + "dropbox/y", 0666, alice, alice);
        make(r + "listonly", 0744, alice, alice, true);
        make(r + "listonly/z", 0644, alice, alice);
    }
}

// What a caller learns about one path, leaving out what legitimately
// differs between replicas (inode numbers, times, free space).
std::string view_of(const std::string& path)
{
    std::ostringstream out;
    struct stat st;
    if (lstat(path.c_str(), &st) == 0)
        out << std::oct << st.st_mode << std::dec << " " << st.st_uid << ":" << st.st_gid << " "
            << st.st_size << " " << st.st_nlink;
    else
        out << "lstat " << errno;
    for (int mask : {F_OK, R_OK, W_OK, X_OK})
        out << " access" << mask << "=" << (access(path.c_str(), mask) == 0 ? 0 : errno);
    char target[64] = {};
    out << " readlink=" << (readlink(path.c_str(), target, sizeof target - 1) >= 0 ? target
                                                                                   : std::to_string(errno));
    struct statvfs sv;
    out << " statvfs=" << (statvfs(path.c_str(), &sv) == 0 ? 0 : errno);
    // Through the mount a refused listing fails at the first read rather
    // than at opendir; the caller learns the same either way.
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        out << " list " << errno;
        return out.str();
    }
    std::vector<std::string> names;
    errno = 0;
    // A replica's root also holds the change journal, which the mount hides.
    while (dirent* entry = readdir(dir))
        if (!is_reserved_root_name(true, entry->d_name))
            names.push_back(entry->d_name);
    const int error = errno;
    closedir(dir);
    if (error != 0) {
        out << " list " << error;
        return out.str();
    }
    std::sort(names.begin(), names.end());
    out << " list:";
    for (const std::string& name : names)
        out << " " << name;
    return out.str();
}

// view_of, computed in a child that runs as the caller.
std::string view_as(uid_t uid, const std::string& path)
{
    int channel[2];
    if (pipe(channel) != 0)
        return "<no pipe>";
    const int rc = as_user(uid, uid, {}, [&] {
        const std::string text = view_of(path);
        return write(channel[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : EIO;
    });
    close(channel[1]);
    std::string text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(channel[0], chunk, sizeof chunk)) > 0)
        text.append(chunk, n);
    close(channel[0]);
    return rc == 0 ? text : "<child failed>";
}

TEST(lookup, browsing_answers_what_the_replica_bits_give_each_caller)
{
    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    build_tree(m, 2);
    const std::vector<std::string> paths = {"",         "pub",     "pub/open", "pub/alices",
                                            "pub/team", "pub/link", "priv",    "priv/x",
                                            "dropbox",  "dropbox/y", "listonly", "listonly/z",
                                            "missing"};
    for (uid_t uid : {0u, static_cast<unsigned>(alice), static_cast<unsigned>(bob)})
        for (const std::string& path : paths)
            EXPECT_EQ(view_as(uid, m.at(path)), view_as(uid, m.in_replica(0, path)))
                << "uid " << uid << " path /" << path;
    EXPECT_EQ(m.log_text().find("getattr"), std::string::npos) << m.log_text();
    EXPECT_EQ(m.unmount(), 0);
}

// The replicas in service hold one tree, so the first replica asked
// decides that a name is missing, silently; a replica that fails a read
// otherwise passes it to the next one and is logged, never disabled.
TEST(lookup, an_absence_is_decided_by_one_replica_and_a_failure_passed_on_and_logged)
{
    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    // Attributes are asked of replica 0 first.
    write_file(m.in_replica(1, "only-here"), "data");
    struct stat st;
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(lstat(m.at("only-here").c_str(), &st), -1);
    ASSERT_EQ(unlink(m.in_replica(1, "only-here").c_str()), 0);
    EXPECT_EQ(m.log_text().find("only-here"), std::string::npos) << m.log_text();
    EXPECT_EQ(m.log_text().find("getattr"), std::string::npos) << m.log_text();
    // Links are read by turns: replica 1, where the name is a file, fails
    // every other reading.
    ASSERT_EQ(symlink("target", m.in_replica(0, "link").c_str()), 0);
    write_file(m.in_replica(1, "link"), "not a link");
    char target[16];
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(readlink(m.at("link").c_str(), target, sizeof target), 6);
    EXPECT_NE(m.log_text().find("readlink failed accessing " + m.replica(1) + " Invalid argument\n"),
              std::string::npos)
        << m.log_text();
    ASSERT_EQ(unlink(m.in_replica(1, "link").c_str()), 0);
    ASSERT_EQ(symlink("target", m.in_replica(1, "link").c_str()), 0);
    // A lookup never takes a replica out of service.
    ASSERT_EQ(mkdir(m.at("later").c_str(), 0755), 0);
    EXPECT_EQ(stat(m.in_replica(0, "later").c_str(), &st), 0);
    EXPECT_EQ(stat(m.in_replica(1, "later").c_str(), &st), 0);
    EXPECT_EQ(m.unmount(), 0);
}

TEST(lookup, no_replica_in_service_makes_lookups_invalid)
{
    mount_options options;
    options.control = true;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    write_file(m.in_replica(0, "f"), "x");
    write_file(m.in_replica(1, "f"), "x");
    for (int i = 0; i < 2; ++i) {
        std::string name = m.replica(i);
        std::replace(name.begin(), name.end(), '/', '_');
        const std::string status = m.ctl() + "/" + name + "/status";
        ASSERT_TRUE(eventually([&] { return read_file(status) != "<missing>"; })) << status;
        write_file(status, "2");
        ASSERT_TRUE(eventually([&] { return read_file(status) == "2"; })) << read_file(status);
    }
    struct stat st;
    EXPECT_EQ(errno_of(stat(m.at("f").c_str(), &st)), EINVAL);
    struct statvfs sv;
    EXPECT_EQ(errno_of(statvfs(m.mnt().c_str(), &sv)), EINVAL);
    char target[16];
    EXPECT_EQ(errno_of(readlink(m.at("f").c_str(), target, sizeof target)), EINVAL);
    EXPECT_EQ(m.unmount(), 0);
}

}  // namespace
