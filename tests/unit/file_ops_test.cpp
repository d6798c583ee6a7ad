// The open-file operations called directly, over replica directories in a
// scratch directory, with the caller set per thread.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs/engine/event_log.h"
#include "fs/engine/fd_table.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replicas.h"
#include "fs/kernel/operations.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"
#include "tests/support/test_caller.h"

namespace {

constexpr uid_t user = 4242;
constexpr gid_t user_group = 4242;
constexpr uid_t other_user = 4343;

// A small tmpfs inside the scratch directory, unmounted at the end.
struct small_tmpfs {
    std::string path;
    bool mounted = false;
    small_tmpfs(const std::string& where, const char* size) : path(where)
    {
        mkdir(path.c_str(), 0755);
        const std::string data = std::string("size=") + size + ",mode=0755";
        mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, data.c_str()) == 0;
    }
    ~small_tmpfs()
    {
        if (mounted)
            umount2(path.c_str(), MNT_DETACH);
    }
};

// Leaves exactly `pages` pages free on a fresh tmpfs of `total` bytes.
void fill_leaving(const std::string& root, size_t total, size_t pages)
{
    const std::string filler(total - pages * 4096, 'z');
    write_file(root + "/filler", filler);
}

class open_files : public ::testing::Test {
protected:
    scoped_state own_state;
    scratch_dir scratch;
    std::vector<std::string> roots;

    // count replicas r0, r1, ... all in service and high priority; the
    // roots may be given instead (for replicas on their own file system).
    void start(int count, std::vector<std::string> given = {})
    {
        roots = given;
        for (int r = static_cast<int>(roots.size()); r < count; ++r) {
            roots.push_back(scratch / ("r" + std::to_string(r)));
            mkdir(roots.back().c_str(), 0755);
        }
        replica_set& replicas = state().replicas;
        replicas.table.reset(new replica_info[count]);
        replicas.count = count;
        std::vector<int> order;
        for (int r = 0; r < count; ++r) {
            replica_at(r).root = roots[r];
            replica_at(r).root_length = roots[r].size();
            replica_at(r).root_fd = open_replica_root(roots[r].c_str());
            order.push_back(r);
        }
        replicas.high_count = count;
        replicas.high_rotation = make_rotation_table(order);
        ASSERT_EQ(fd_table_allocate(8, 255, 256), 0);
        state().log.path = scratch / "vornelix.log";
        ASSERT_EQ(open_log(), 0);
        set_test_caller(0, 0);
    }

    void TearDown() override
    {
        set_test_caller(0, 0);
        for (int r = 0; r < state().replicas.count; ++r)
            close(replica_at(r).root_fd);
    }

    std::string in(int r, const std::string& name) const { return roots[r] + "/" + name; }
    std::string log() const { return read_file(scratch / "vornelix.log"); }
    bool in_service(int r) const { return state_word(r) == 0; }

    // Puts the same file on every replica.
    void put_everywhere(const std::string& name, const std::string& text, mode_t mode,
                        uid_t owner = user, gid_t group = user_group)
    {
        for (size_t r = 0; r < roots.size(); ++r) {
            write_file(in(r, name), text, mode);
            ASSERT_EQ(chown(in(r, name).c_str(), owner, group), 0);
        }
    }

    int open_as(const std::string& path, int flags, fuse_file_info& fi)
    {
        std::memset(&fi, 0, sizeof fi);
        fi.flags = flags;
        return fs_open(path.c_str(), &fi);
    }

    std::string read_at(fuse_file_info& fi, size_t size, off_t offset, int* result = nullptr)
    {
        std::string buffer(size, '\0');
        const int n = fs_read("/", buffer.data(), size, offset, &fi);
        if (result)
            *result = n;
        buffer.resize(n > 0 ? n : 0);
        return buffer;
    }

    int write_at(fuse_file_info& fi, const std::string& data, off_t offset)
    {
        return fs_write("/", data.data(), data.size(), offset, &fi);
    }
};

bool descriptor_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

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

// --- write ----------------------------------------------------------------

TEST_F(open_files, write_reaches_every_replica)
{
    start(3);
    put_everywhere("f", "0123456789", 0644);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_RDWR, fi), 0);
    EXPECT_EQ(write_at(fi, "abc", 4), 3);
    EXPECT_EQ(write_at(fi, "end", 20), 3);
    const std::string expected = std::string("0123abc789") + std::string(10, '\0') + "end";
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(read_file(in(r, "f")), expected) << r;
    EXPECT_EQ(write_at(fi, "", 0), 0);
    EXPECT_EQ(log(), "");
    EXPECT_EQ(fs_release("/f", &fi), 0);
}

TEST_F(open_files, fsync_reaches_every_replica_and_drops_one_that_cannot_sync)
{
    start(3);
    put_everywhere("f", "data", 0644);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_RDWR, fi), 0);
    EXPECT_EQ(fs_fsync("/f", 0, &fi), 0);
    EXPECT_EQ(fs_fsync("/f", 1, &fi), 0);
    EXPECT_EQ(log(), "");
    // Replica 1's descriptor goes bad behind the table's back.
    int32_t* fds = fd_table_get(fi.fh);
    ASSERT_NE(fds, nullptr);
    close(fds[1]);
    EXPECT_EQ(fs_fsync("/f", 0, &fi), 0);
    EXPECT_FALSE(in_service(1));
    EXPECT_TRUE(in_service(0));
    EXPECT_TRUE(in_service(2));
    EXPECT_NE(log().find("fsync failed accessing " + roots[1] + " Bad file descriptor\n"), std::string::npos)
        << log();
    // Nothing left that can sync: the failure is reported, not hidden.
    close(fds[0]);
    close(fds[2]);
    EXPECT_EQ(fs_fsync("/f", 0, &fi), -EBADF);
    fds[0] = fds[1] = fds[2] = 0;
    EXPECT_EQ(fs_release("/f", &fi), 0);
    fuse_file_info unknown{};
    unknown.fh = 7;
    EXPECT_EQ(fs_fsync("/f", 0, &unknown), -EINVAL);
}

TEST_F(open_files, direct_io_opens_take_unaligned_requests)
{
    start(2);
    put_everywhere("f", "0123456789", 0644);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_RDWR | O_DIRECT, fi), 0);
    const std::string data = "unaligned";
    EXPECT_EQ(fs_write("/f", data.data() + 1, 3, 5, &fi), 3);
    EXPECT_EQ(read_at(fi, 10, 1), "1234nal89");
    for (int r = 0; r < 2; ++r)
        EXPECT_EQ(read_file(in(r, "f")), "01234nal89");
    EXPECT_EQ(log(), "");
    EXPECT_EQ(fs_release("/f", &fi), 0);
}

TEST_F(open_files, short_write_on_a_full_replica_disables_it)
{
    small_tmpfs full(scratch / "full", "1m");
    ASSERT_TRUE(full.mounted);
    fill_leaving(full.path, 1 << 20, 2);
    start(2, {full.path});
    put_everywhere("f", "", 0644);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_WRONLY, fi), 0);
    // Bytes 2048..10239 span three pages; the full replica has room for two
    // and writes part of the request before it runs out of space.
    const std::string data(8192, 'd');
    EXPECT_EQ(write_at(fi, data, 2048), 8192);
    EXPECT_FALSE(in_service(0));
    EXPECT_TRUE(in_service(1));
    const std::string text = log();
    EXPECT_NE(text.find("write failed accessing " + roots[0] + " No space left on device"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("disabling replica failed accessing " + roots[0]), std::string::npos) << text;
    EXPECT_EQ(read_file(in(1, "f")), std::string(2048, '\0') + data);
    EXPECT_EQ(fs_release("/f", &fi), 0);
}

TEST_F(open_files, equally_short_writes_answer_the_common_count)
{
    small_tmpfs a(scratch / "a", "1m");
    small_tmpfs b(scratch / "b", "1m");
    ASSERT_TRUE(a.mounted && b.mounted);
    fill_leaving(a.path, 1 << 20, 2);
    fill_leaving(b.path, 1 << 20, 2);
    start(2, {a.path, b.path});
    put_everywhere("f", "", 0644);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_WRONLY, fi), 0);
    EXPECT_EQ(write_at(fi, std::string(8192, 'd'), 2048), 6144);
    EXPECT_TRUE(in_service(0));
    EXPECT_TRUE(in_service(1));
    EXPECT_EQ(read_file(in(0, "f")), read_file(in(1, "f")));
    EXPECT_EQ(write_at(fi, "x", 8192), -ENOSPC);
    EXPECT_EQ(log(), "");
    EXPECT_EQ(fs_release("/f", &fi), 0);
}

TEST_F(open_files, file_size_limit_cuts_every_replica_alike)
{
    start(2);
    put_everywhere("f", "", 0644);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_WRONLY, fi), 0);
    // The daemon must ignore SIGXFSZ: with the signal ignored, a write past
    // the limit stops with EFBIG instead of ending the process.
    struct sigaction ignore = {}, saved_action = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &saved_action), 0);
    struct rlimit saved_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
    struct rlimit limit = {8192, saved_limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const int partial = write_at(fi, std::string(12288, 'l'), 0);
    const int beyond = write_at(fi, "x", 8192);
    setrlimit(RLIMIT_FSIZE, &saved_limit);
    sigaction(SIGXFSZ, &saved_action, nullptr);

    EXPECT_EQ(partial, 8192);
    EXPECT_EQ(beyond, -EFBIG);
    EXPECT_TRUE(in_service(0));
    EXPECT_TRUE(in_service(1));
    EXPECT_EQ(read_file(in(0, "f")), std::string(8192, 'l'));
    EXPECT_EQ(read_file(in(1, "f")), std::string(8192, 'l'));
    EXPECT_EQ(log(), "");
    EXPECT_EQ(fs_release("/f", &fi), 0);
}

TEST_F(open_files, concurrent_appends_reach_every_replica_in_one_order)
{
    start(3);
    put_everywhere("f", "", 0644);
    constexpr int writers = 8;
    constexpr int records = 400;
    std::vector<fuse_file_info> handles(writers);
    for (fuse_file_info& fi : handles)
        ASSERT_EQ(open_as("/f", O_WRONLY | O_APPEND, fi), 0);
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < records; ++i) {
                const std::string record = "writer " + std::to_string(w) + " record " +
                                           std::to_string(i) + "\n";
                fs_write("/f", record.data(), record.size(), 0, &handles[w]);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    const std::string first = read_file(in(0, "f"));
    EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), writers * records);
    EXPECT_TRUE(read_file(in(1, "f")) == first);
    EXPECT_TRUE(read_file(in(2, "f")) == first);
    for (fuse_file_info& fi : handles)
        EXPECT_EQ(fs_release("/f", &fi), 0);
}

// --- times ----------------------------------------------------------------

struct timespec modified(const std::string& path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mtim;
}

bool same_time(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Each replica stamps a write with its own clock; the end of a handle that
// wrote leaves the time of the first replica in priority order on all.
TEST_F(open_files, the_end_of_a_handle_that_wrote_leaves_the_first_replicas_time_everywhere)
{
    struct row {
        const char* what;
        std::vector<int> high, low;
        int first;
        bool writes;
        int (*end)(fuse_file_info& fi);
    };
    const auto flush = [](fuse_file_info& fi) { return fs_flush("/", &fi); };
    const auto fsync = [](fuse_file_info& fi) { return fs_fsync("/", 0, &fi); };
    const auto release = [](fuse_file_info& fi) { return fs_release("/", &fi); };
    const row rows[] = {
        {"flush", {0, 1, 2}, {}, 0, true, flush},
        {"fsync", {0, 1, 2}, {}, 0, true, fsync},
        {"release without a flush", {0, 1, 2}, {}, 0, true, release},
        {"flush with replica 0 of low priority", {1, 2}, {0}, 1, true, flush},
        {"flush with replica 2 first", {2, 0}, {1}, 2, true, flush},
        {"flush of a handle that only read", {0, 1, 2}, {}, -1, false, flush},
    };
    start(3);
    replica_set& replicas = state().replicas;
    for (const row& r : rows) {
        replicas.high_rotation = make_rotation_table(r.high);
        replicas.low_rotation = make_rotation_table(r.low);
        replicas.high_count = static_cast<int>(r.high.size());
        replicas.low_count = static_cast<int>(r.low.size());
        put_everywhere("f", "0123456789", 0644);
        fuse_file_info fi;
        ASSERT_EQ(open_as("/f", O_RDWR, fi), 0) << r.what;
        for (int i = 0; r.writes && i < 3; ++i)
            ASSERT_EQ(write_at(fi, "abc", i * 3), 3) << r.what;
        // Each replica's clock, as it may have stamped the writes (the
        // kernel's coarse clock often gives them one tick).
        struct timespec own[3];
        for (int k = 0; k < 3; ++k) {
            own[k] = {1000 + k, 100 + k};
            const struct timespec times[2] = {{0, UTIME_OMIT}, own[k]};
            ASSERT_EQ(utimensat(AT_FDCWD, in(k, "f").c_str(), times, 0), 0);
        }
        EXPECT_EQ(r.end(fi), 0) << r.what;
        for (int k = 0; k < 3; ++k)
            EXPECT_TRUE(same_time(modified(in(k, "f")), own[r.first < 0 ? k : r.first])) << r.what << ": replica " << k;
        if (r.end != release) {
            EXPECT_EQ(fs_release("/", &fi), 0) << r.what;
        }
    }
    EXPECT_EQ(log(), "");
}

// Two replicas: the first gives its time and counts as taking it, so the
// other's failure is one against a success.
TEST_F(open_files, a_replica_that_cannot_take_the_time_leaves_service)
{
    start(2);
    put_everywhere("f", "data", 0644);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_RDWR, fi), 0);
    ASSERT_EQ(write_at(fi, "more", 4), 4);
    // Replica 1's descriptor can still be examined but no longer changed.
    int32_t* fds = fd_table_get(fi.fh);
    ASSERT_NE(fds, nullptr);
    const int path_only = open(in(1, "f").c_str(), O_PATH);
    ASSERT_GE(path_only, 0);
    ASSERT_EQ(dup2(path_only, fds[1]), fds[1]);
    close(path_only);
    EXPECT_EQ(fs_flush("/f", &fi), 0);
    EXPECT_TRUE(in_service(0));
    EXPECT_FALSE(in_service(1));
    EXPECT_NE(log().find("flush+utime failed accessing " + roots[1] + " Bad file descriptor\n"), std::string::npos)
        << log();
    EXPECT_EQ(fs_release("/f", &fi), 0);
}

// --- release --------------------------------------------------------------

TEST_F(open_files, release_closes_every_descriptor_and_frees_the_handle)
{
    start(3);
    put_everywhere("f", "x", 0644);
    fuse_file_info fi;
    ASSERT_EQ(open_as("/f", O_RDWR, fi), 0);
    const int32_t* array = fd_table_get(fi.fh);
    ASSERT_NE(array, nullptr);
    const std::vector<int32_t> fds(array, array + 3);
    store_state_word(1, 12345);  // disabled while the file is open
    EXPECT_EQ(fs_flush("/f", &fi), 0);
    EXPECT_EQ(fs_fsync("/f", 0, &fi), 0);
    EXPECT_EQ(fs_release("/f", &fi), 0);
    for (int fd : fds)
        EXPECT_FALSE(descriptor_open(fd)) << fd;

    char byte;
    EXPECT_EQ(fs_read("/f", &byte, 1, 0, &fi), -EINVAL);
    EXPECT_EQ(fs_write("/f", "y", 1, 0, &fi), -EINVAL);
    EXPECT_EQ(fs_release("/f", &fi), -EINVAL);
}

}  // namespace
