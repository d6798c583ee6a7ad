// The open-file operations called directly: opens and reads.
#include "tests/unit/open_files_fixture.h"

namespace {

// --- open: which bits the flags need -------------------------------------

// --- open: the replicated outcome ----------------------------------------

// The fault contract of an open: with a file as a row lays it out over
// three replicas (on some, none, or a directory), an open gives this reply,
// leaves this set of replicas out of service and writes these log lines;
// an open that succeeds reads the file from a replica left in service.
TEST_F(open_files, open_fault_table)
{
    struct row {
        const char* what;
        std::set<int> file_on, dir_on, out_before;
        const char* path;
        int flags;
        uid_t uid;
        gid_t gid;
        int reply;
        std::set<int> out_after;
        std::vector<std::string> words;  // "word error" logged for each replica out after
    };
    const row rows[] = {
        {"file missing on one replica disables it", {0, 2}, {}, {}, "/f1", O_RDONLY, user, user_group, 0, {1},
         {"open", "No such file or directory"}},
        {"root's open fails on the missing file itself", {0, 2}, {}, {}, "/f2", O_RDONLY, 0, 0, 0, {1},
         {"open", "No such file or directory"}},
        {"missing everywhere: the answer, nothing disabled", {}, {}, {}, "/missing", O_RDONLY, user, user_group,
         -ENOENT, {}, {}},
        {"a directory everywhere opened for writing", {}, {0, 1, 2}, {}, "/dir", O_WRONLY, user, user_group, -EISDIR,
         {}, {}},
        {"below a missing name everywhere", {}, {}, {}, "/missing/below", O_RDONLY, user, user_group, -ENOENT, {}, {}},
        {"no replica in service", {0, 1, 2}, {}, {0, 1, 2}, "/f3", O_RDONLY, user, user_group, -EIO, {0, 1, 2}, {}},
    };
    start(3);
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::string name = std::string(r.path).substr(1);
        for (int k : r.file_on)
            write_file(in(k, name), "data", 0644);
        for (int k : r.dir_on)
            mkdir(in(k, name).c_str(), 0755);
        for (int k = 0; k < 3; ++k)
            store_state_word(k, r.out_before.count(k) ? 1 : 0);
        const std::string log_before = log();
        set_test_caller(r.uid, r.gid);
        fuse_file_info fi;
        EXPECT_EQ(open_as(r.path, r.flags, fi), r.reply);
        std::set<int> out;
        for (int k = 0; k < 3; ++k)
            if (!in_service(k))
                out.insert(k);
        EXPECT_EQ(out, r.out_after);
        const std::string logged = log().substr(log_before.size());
        if (r.words.empty()) {
            EXPECT_EQ(logged, "");
        } else {
            for (int k : r.out_after) {
                EXPECT_NE(logged.find(r.words[0] + " failed accessing " + roots[k] + " " + r.words[1]),
                          std::string::npos)
                    << logged;
                EXPECT_NE(logged.find("disabling replica failed accessing " + roots[k]), std::string::npos) << logged;
            }
            for (int k = 0; k < 3; ++k) {
                if (r.out_after.count(k) == 0) {
                    EXPECT_EQ(logged.find(roots[k]), std::string::npos) << logged;
                }
            }
        }
        if (r.reply == 0) {
            EXPECT_EQ(read_at(fi, 10, 0), "data");
            EXPECT_EQ(fs_release(r.path, &fi), 0);
        }
        set_test_caller(0, 0);
    }
    for (int k = 0; k < 3; ++k)
        store_state_word(k, 0);
}

TEST_F(open_files, replica_out_of_service_at_open_gets_no_descriptor)
{
    start(2);
    put_everywhere("f", "x", 0644);
    store_state_word(1, 1);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_RDWR, fi), 0);
    const int32_t* fds = fd_table_get(fi.fh);
    ASSERT_NE(fds, nullptr);
    EXPECT_GT(fds[0], 0);
    EXPECT_EQ(fds[1], 0);
    store_state_word(1, 0);
    EXPECT_EQ(write_at(fi, "yz", 0), 2);
    EXPECT_EQ(read_file(in(0, "f")), "yz");
    EXPECT_EQ(read_file(in(1, "f")), "x");
    EXPECT_TRUE(in_service(1));
    EXPECT_EQ(fs_release("/f", &fi), 0);
}

TEST_F(open_files, descriptor_zero_is_never_stored)
{
    start(1);
    put_everywhere("f", "abc", 0644);
    const int saved_stdin = dup(0);
    ASSERT_GE(saved_stdin, 0);
    close(0);
    fuse_file_info fi;
    const int rc = open_as("/f", O_RDONLY, fi);
    const bool zero_free = fcntl(0, F_GETFD) == -1;
    dup2(saved_stdin, 0);
    close(saved_stdin);
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(zero_free);
    EXPECT_GT(fd_table_get(fi.fh)[0], 0);
    EXPECT_EQ(read_at(fi, 3, 0), "abc");
    EXPECT_EQ(fs_release("/f", &fi), 0);
}

// --- open: files it creates itself (O_CREAT) ------------------------------

TEST_F(open_files, create_opens_for_the_flags_asked_whatever_the_mode)
{
    start(2);
    for (int r = 0; r < 2; ++r) {
        mkdir(in(r, "shared").c_str(), 02777);
        chmod(in(r, "shared").c_str(), 02777);
        ASSERT_EQ(chown(in(r, "shared").c_str(), 0, 777), 0);
    }
    set_test_caller(user, user_group);
    fuse_file_info fi{};
    fi.flags = O_WRONLY | O_CREAT | O_EXCL;
    ASSERT_EQ(fs_create("/shared/new", 04444, &fi), 0);
    EXPECT_EQ(write_at(fi, "written", 0), 7);
    EXPECT_EQ(fs_ftruncate("/shared/new", 5, &fi), 0);
    struct stat seen;
    ASSERT_EQ(fs_fgetattr("/shared/new", &seen, &fi), 0);
    EXPECT_EQ(seen.st_size, 5);
    for (int r = 0; r < 2; ++r) {
        struct stat st;
        ASSERT_EQ(stat(in(r, "shared/new").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 04444u);  // the change of owner keeps the bits asked
        EXPECT_EQ(st.st_uid, user);
        EXPECT_EQ(st.st_gid, 777u);  // the set-group-ID directory's group
        EXPECT_EQ(read_file(in(r, "shared/new")), "writt");
    }
    EXPECT_EQ(fs_release("/shared/new", &fi), 0);
    EXPECT_EQ(log(), "");
}

TEST_F(open_files, create_never_takes_over_an_existing_file)
{
    start(2);
    put_everywhere("theirs", "keep", 0666, other_user, other_user);
    set_test_caller(user, user_group);
    fuse_file_info fi{};
    fi.flags = O_WRONLY | O_CREAT;
    EXPECT_EQ(fs_create("/theirs", 0600, &fi), -EEXIST);
    for (int r = 0; r < 2; ++r) {
        struct stat st;
        ASSERT_EQ(stat(in(r, "theirs").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, other_user);
        EXPECT_EQ(st.st_mode & 07777, 0666u);
        EXPECT_EQ(read_file(in(r, "theirs")), "keep");
        EXPECT_TRUE(in_service(r));
    }
}

TEST_F(open_files, final_symbolic_link_in_a_replica_is_not_followed)
{
    start(1);
    write_file(scratch / "outside", "secret", 0644);
    ASSERT_EQ(symlink((scratch / "outside").c_str(), in(0, "link").c_str()), 0);
    fuse_file_info fi;
    EXPECT_EQ(open_as("/link", O_RDWR, fi), -ELOOP);
    EXPECT_EQ(read_file(scratch / "outside"), "secret");
}

// --- read -----------------------------------------------------------------

TEST_F(open_files, reads_rotate_and_fall_back_without_disabling)
{
    start(2);
    write_file(in(0, "f"), "zero", 0644);
    write_file(in(1, "f"), "one!", 0644);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_RDONLY, fi), 0);
    EXPECT_EQ(read_at(fi, 4, 0), "one!");
    EXPECT_EQ(read_at(fi, 4, 0), "zero");
    EXPECT_EQ(read_at(fi, 4, 0), "one!");
    EXPECT_EQ(read_at(fi, 2, 2), "ro");

    // A replica out of service is passed over without a log line.
    store_state_word(1, 1);
    EXPECT_EQ(read_at(fi, 4, 0), "zero");
    EXPECT_EQ(read_at(fi, 4, 0), "zero");
    store_state_word(1, 0);
    EXPECT_EQ(log(), "");
    EXPECT_EQ(fs_release("/f", &fi), 0);
}

TEST_F(open_files, failing_read_is_logged_and_the_next_replica_answers)
{
    start(2);
    write_file(in(0, "f"), "data", 0644);
    mkdir(in(1, "f").c_str(), 0755);  // opens, but cannot be read
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_RDONLY, fi), 0);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(read_at(fi, 4, 0), "data");
    EXPECT_TRUE(in_service(0));
    EXPECT_TRUE(in_service(1));
    const std::string text = log();
    EXPECT_NE(text.find("read failed accessing " + roots[1] + " Is a directory"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("disabling"), std::string::npos) << text;

    // With the readable replica out of service every try fails.
    store_state_word(0, 1);
    int rc = 0;
    read_at(fi, 4, 0, &rc);
    EXPECT_EQ(rc, -EISDIR);
    store_state_word(1, 1);
    read_at(fi, 4, 0, &rc);
    EXPECT_EQ(rc, -EIO);
    EXPECT_EQ(fs_release("/f", &fi), 0);
}

TEST_F(open_files, an_open_descriptor_keeps_its_access_and_outlives_its_name)
{
    start(2);
    put_everywhere("f", "data", 0644);
    set_test_caller(user, user_group);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_RDWR, fi), 0);
    for (int r = 0; r < 2; ++r)
        ASSERT_EQ(chmod(in(r, "f").c_str(), 0), 0);
    EXPECT_EQ(read_at(fi, 4, 0), "data");
    ASSERT_EQ(fs_unlink("/f"), 0);
    EXPECT_EQ(write_at(fi, "more", 4), 4);
    EXPECT_EQ(fs_ftruncate("/f", 6, &fi), 0);
    EXPECT_EQ(fs_fsync("/f", 0, &fi), 0);
    EXPECT_EQ(fs_flush("/f", &fi), 0);
    struct stat st;
    ASSERT_EQ(fs_fgetattr("/f", &st, &fi), 0);
    EXPECT_EQ(st.st_size, 6);
    EXPECT_EQ(read_at(fi, 10, 0), "datamo");
    EXPECT_TRUE(in_service(0));
    EXPECT_TRUE(in_service(1));
    EXPECT_EQ(fs_release("/f", &fi), 0);
    EXPECT_EQ(log(), "");
}

TEST_F(open_files, read_to_the_end_of_the_file)
{
    start(1);
    put_everywhere("f", std::string(10000, 'q'), 0644);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_RDONLY, fi), 0);
    EXPECT_EQ(read_at(fi, 8192, 8192), std::string(10000 - 8192, 'q'));
    int rc = -1;
    read_at(fi, 4096, 10000, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(fs_release("/f", &fi), 0);
}

}  // namespace
