// The open-file operations called directly: writes, the times a handle
// leaves, and release.
#include "tests/unit/open_files_fixture.h"

namespace {

using open_file_writes = open_files;

// --- write ----------------------------------------------------------------

TEST_F(open_file_writes, write_reaches_every_replica)
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

TEST_F(open_file_writes, fsync_reaches_every_replica_and_drops_one_that_cannot_sync)
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

TEST_F(open_file_writes, direct_io_opens_take_unaligned_requests)
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

TEST_F(open_file_writes, short_write_on_a_full_replica_disables_it)
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

TEST_F(open_file_writes, equally_short_writes_answer_the_common_count)
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

TEST_F(open_file_writes, file_size_limit_cuts_every_replica_alike)
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

TEST_F(open_file_writes, concurrent_appends_reach_every_replica_in_one_order)
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
TEST_F(open_file_writes, the_end_of_a_handle_that_wrote_leaves_the_first_replicas_time_everywhere)
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
TEST_F(open_file_writes, a_replica_that_cannot_take_the_time_leaves_service)
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

TEST_F(open_file_writes, release_closes_every_descriptor_and_frees_the_handle)
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
