#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/permissions.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"
#include "tests/support/test_caller.h"

namespace {

constexpr uid_t alice = 1101, bob = 1102, carol = 1103;
constexpr gid_t staff = 1200, crowd = 1201, lonely = 1202;

// An object made by root and handed over with the given mode.
std::string make_object(const scratch_dir& dir, const std::string& name, mode_t mode, uid_t uid,
                        gid_t gid, bool directory = false)
{
    const std::string path = dir / name;
    if (directory)
        mkdir(path.c_str(), mode);
    else
        write_file(path, "x", mode);
    chown(path.c_str(), uid, gid);
    chmod(path.c_str(), mode);
    return path;
}

struct permissions_test : ::testing::Test {
    void TearDown() override { set_test_caller(0, 0); }
};

TEST_F(permissions_test, classes_are_exclusive)
{
    scratch_dir dir;
    const std::string f = make_object(dir, "f", 0077, alice, staff);
    set_test_caller(alice, staff);
    EXPECT_EQ(path_permissions(f.c_str()), 0);  // the owner gets only the owner triple
    set_test_caller(bob, staff);
    EXPECT_EQ(path_permissions(f.c_str()), 7);  // group by primary gid
    set_test_caller(bob, lonely);
    EXPECT_EQ(path_permissions(f.c_str()), 7);  // other

    const std::string g = make_object(dir, "g", 0640, alice, staff);
    set_test_caller(bob, staff);
    EXPECT_EQ(path_permissions(g.c_str()), 4);
    set_test_caller(bob, lonely);
    EXPECT_EQ(path_permissions(g.c_str()), 0);

    struct stat st {};
    st.st_mode = S_IFREG | 0751;
    st.st_uid = alice;
    st.st_gid = staff;
    EXPECT_EQ(stat_permissions(st), 1);
    set_test_caller(alice, lonely);
    EXPECT_EQ(stat_permissions(st), 7);
}

TEST_F(permissions_test, root_gets_everything_without_touching_the_disk)
{
    set_test_caller(0, 0);
    EXPECT_EQ(path_permissions("/no/such/path"), 7);
    EXPECT_EQ(link_permissions("/no/such/path"), 7);
    EXPECT_EQ(fd_permissions(-1), 7);
    EXPECT_EQ(check_path_search("/no/such/path"), 0);
    struct stat st {};
    EXPECT_EQ(stat_permissions(st), 7);
}

TEST_F(permissions_test, ancestors_must_grant_search)
{
    scratch_dir dir;
    const std::string closed = make_object(dir, "closed", 0700, carol, lonely, true);
    write_file(closed + "/f", "x", 0666);
    set_test_caller(alice, staff);
    errno = 0;
    EXPECT_EQ(path_permissions((closed + "/f").c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(check_path_search((closed + "/missing/deeper").c_str()), -1);
    EXPECT_EQ(errno, EACCES);

    // A missing name under searchable ancestors: search passes, the object
    // itself cannot be examined.
    EXPECT_EQ(check_path_search((dir / "missing").c_str()), 0);
    errno = 0;
    EXPECT_EQ(path_permissions((dir / "missing").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);

    // The walk goes above the replica root, up to "/".
    const std::string open_dir = make_object(dir, "open", 0777, carol, lonely, true);
    write_file(open_dir + "/f", "x", 0644);
    EXPECT_EQ(path_permissions((open_dir + "/f").c_str()), 4);
    chmod(dir.path().c_str(), 0700);
    errno = 0;
    EXPECT_EQ(path_permissions((open_dir + "/f").c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    chmod(dir.path().c_str(), 0755);
}

TEST_F(permissions_test, relative_paths_stop_at_the_working_directory)
{
    scratch_dir dir;
    const std::string top = make_object(dir, "top", 0711, carol, lonely, true);
    write_file(top + "/f", "x", 0644);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(top.c_str()), 0);
    // Above "." nothing is examined: the scratch directory may refuse.
    chmod(dir.path().c_str(), 0700);
    set_test_caller(alice, staff);
    EXPECT_EQ(path_permissions("f"), 4);
    EXPECT_EQ(path_permissions("."), 1);
    EXPECT_EQ(check_path_search("f"), 0);
    chmod(top.c_str(), 0700);
    errno = 0;
    EXPECT_EQ(path_permissions("f"), -1);
    EXPECT_EQ(errno, EACCES);
    ASSERT_EQ(chdir(cwd), 0);
    chmod(dir.path().c_str(), 0755);
}

TEST_F(permissions_test, links_are_judged_by_their_own_bits)
{
    scratch_dir dir;
    const std::string link = dir / "dangling";
    ASSERT_EQ(symlink("nowhere", link.c_str()), 0);
    lchown(link.c_str(), alice, staff);
    set_test_caller(alice, staff);
    EXPECT_EQ(link_permissions(link.c_str()), 7);
    errno = 0;
    EXPECT_EQ(path_permissions(link.c_str()), -1);
    EXPECT_EQ(errno, ENOENT);

    const std::string f = make_object(dir, "f", 0604, carol, lonely);
    const int fd = open(f.c_str(), O_RDONLY);
    set_test_caller(bob, staff);
    EXPECT_EQ(fd_permissions(fd), 4);
    close(fd);
    errno = 0;
    EXPECT_EQ(fd_permissions(fd), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(permissions_test, group_membership_comes_from_the_group_database)
{
    std::string many;
    for (int i = 0; i < 200; ++i)
        many += "member" + std::to_string(i) + ",";
    const std::string passwd = "alice:x:1101:1200::/:/bin/sh\n"
                               "bob:x:1102:1200::/:/bin/sh\n"
                               "carol:x:1103:1202::/:/bin/sh\n";
    const std::string group = "staff:x:1200:\n"
                              "crowd:x:1201:ghost,bob\n"
                              "lonely:x:1202:\n"
                              "big:x:1203:" + many + "carol\n";
    EXPECT_EQ(run_under_nss_wrapper("DISABLED_group_database.*", passwd, group), 0);
}

// Run by the test above, under libnss-wrapper.
TEST(DISABLED_group_database, members_listed_by_name)
{
    ASSERT_TRUE(under_nss_wrapper());
    scratch_dir dir;
    const std::string f = make_object(dir, "f", 0754, alice, crowd);
    // bob is listed after a name that has no password entry.
    set_test_caller(bob, staff);
    EXPECT_EQ(path_permissions(f.c_str()), 5);
    EXPECT_EQ(group_lists_user(crowd, bob), 1);
    set_test_caller(carol, lonely);
    EXPECT_EQ(path_permissions(f.c_str()), 4);
    EXPECT_EQ(group_lists_user(crowd, carol), 0);
    EXPECT_EQ(group_lists_user(4242, carol), 0);  // no such group

    // An entry far larger than the first buffer is still read whole.
    const std::string g = make_object(dir, "g", 0070, alice, 1203);
    set_test_caller(carol, lonely);
    EXPECT_EQ(path_permissions(g.c_str()), 7);
    set_test_caller(0, 0);
}

}  // namespace
