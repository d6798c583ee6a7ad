#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "fs/engine/write_order.h"
#include "tests/support/mount_harness.h"

namespace {

struct open_file {
    int fd;
    explicit open_file(const std::string& path) : fd(open(path.c_str(), O_RDWR | O_CREAT, 0644)) {}
    ~open_file()
    {
        if (fd >= 0)
            close(fd);
    }
};

stripe_set stripes_of(int fd)
{
    stripe_set set;
    EXPECT_EQ(add_file_stripe(set, fd), 0);
    return set;
}

// Whether a second writer of a set gets through, within the time given,
// while the first one holds its set. The second always gets through once
// the first lets go.
bool second_writer_gets_through(const stripe_set& first, const stripe_set& second, int within_ms)
{
    std::atomic<bool> through{false};
    std::thread other;
    bool early = false;
    {
        write_order_hold hold(first);
        other = std::thread([&] {
            write_order_hold inner(second);
            through = true;
        });
        early = eventually([&] { return through.load(); }, within_ms);
    }
    other.join();
    EXPECT_TRUE(through);
    return early;
}

TEST(write_order, one_file_is_one_stripe_whatever_the_name_or_descriptor)
{
    scratch_dir scratch;
    open_file a(scratch / "file");
    ASSERT_EQ(link((scratch / "file").c_str(), (scratch / "hard_link").c_str()), 0);
    open_file b(scratch / "hard_link");
    ASSERT_GE(a.fd, 0);
    ASSERT_GE(b.fd, 0);
    EXPECT_EQ(stripes_of(a.fd).stripes, stripes_of(b.fd).stripes);
    EXPECT_EQ(stripes_of(a.fd).stripes.count(), 1u);
}

TEST(write_order, writers_of_one_file_wait_for_each_other)
{
    scratch_dir scratch;
    open_file a(scratch / "file");
    open_file b(scratch / "file");
    ASSERT_GE(a.fd, 0);
    EXPECT_FALSE(second_writer_gets_through(stripes_of(a.fd), stripes_of(b.fd), 100));

    // A write that holds the stripes of several replicas shuts out a writer
    // that shares only one of them.
    open_file other(scratch / "other_replica");
    stripe_set both = stripes_of(a.fd);
    ASSERT_EQ(add_file_stripe(both, other.fd), 0);
    EXPECT_FALSE(second_writer_gets_through(both, stripes_of(b.fd), 100));
}

TEST(write_order, writers_of_different_stripes_do_not_wait)
{
    scratch_dir scratch;
    // Files until two land on different stripes.
    open_file first(scratch / "f0");
    stripe_set a = stripes_of(first.fd);
    for (int i = 1; i < 1000; ++i) {
        open_file next(scratch / ("f" + std::to_string(i)));
        const stripe_set b = stripes_of(next.fd);
        if (b.stripes != a.stripes) {
            EXPECT_TRUE(second_writer_gets_through(a, b, 10000));
            return;
        }
    }
    ADD_FAILURE() << "every file landed on one stripe";
}

TEST(write_order, unreadable_descriptor_adds_nothing)
{
    stripe_set set;
    errno = 0;
    EXPECT_EQ(add_file_stripe(set, -1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(set.stripes.none());
}

}  // namespace
