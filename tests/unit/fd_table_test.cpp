#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

#include "fs/engine/fd_table.h"
#include "fs/engine/replica_set.h"
#include "fs/engine/replicas.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"

namespace {

descriptor_array make_array(std::initializer_list<int32_t> entries)
{
    descriptor_array array(new int32_t[entries.size()]);
    int i = 0;
    for (int32_t e : entries)
        array[i++] = e;
    return array;
}

struct fd_table_test : ::testing::Test {
    scoped_state own_state;
    void SetUp() override { install_replicas({"/a", "/b"}); }
    void TearDown() override
    {
        for (uint64_t slot = 0; slot < state().fd_table.size; ++slot)
            fd_table_remove(slot);
        remove_replicas();
    }
};

TEST_F(fd_table_test, hash_values)
{
    EXPECT_EQ(hash32(0), 0x6b4ed927u);
    EXPECT_EQ(hash32(3), 0x4f6e0e9cu);
    EXPECT_EQ(hash32(7), 0xf3ced760u);
    EXPECT_EQ(hash64(0), 0x77cfa1eef01bca90ull);
    EXPECT_EQ(hash64(3), 0x135fddf6a6bfbbddull);

    ASSERT_EQ(fd_table_allocate(9, 255, 255), 0);
    EXPECT_EQ(fd_hash(3), 156u);
    EXPECT_EQ(fd_hash(7), 96u);
    ASSERT_EQ(fd_table_allocate(10, 511, 511), 0);
    EXPECT_EQ(fd_hash(7), 352u);
    // Past 32 bits the 64-bit hash is the one in use.
    ASSERT_EQ(fd_table_allocate(33, 255, 255), 0);
    EXPECT_EQ(fd_hash(3), 0x135fddf6a6bfbbddull & 255);
}

TEST_F(fd_table_test, sizing_from_the_descriptor_limits)
{
    fd_table_sizing s = size_fd_table(1024, 2048, 2);
    EXPECT_EQ(s.bits, 9u);
    EXPECT_EQ(s.size, 255u);
    EXPECT_EQ(s.mask, 255u);
    s = size_fd_table(RLIM_INFINITY, 2048, 2);
    EXPECT_EQ(s.bits, 10u);
    EXPECT_EQ(s.size, 511u);
    s = size_fd_table(30, 2048, 5);
    EXPECT_EQ(s.bits, 3u);
    EXPECT_EQ(s.size, 3u);
    // Fewer usable descriptors than replicas: a table of no slots.
    s = size_fd_table(10, 2048, 5);
    EXPECT_EQ(s.size, 0u);
    // A limit below six wraps around to a size that cannot be allocated.
    s = size_fd_table(5, 2048, 2);
    EXPECT_EQ(s.bits, 63u);
    EXPECT_EQ(s.size, 0x3fffffffffffffffull);
    EXPECT_NE(fd_table_allocate(s.bits, s.mask, s.size), 0);
}

TEST_F(fd_table_test, zero_slots_refuse_every_open_with_one_log_line_each)
{
    scratch_dir dir;
    install_log(dir / "log");
    ASSERT_EQ(fd_table_allocate(0, 0, 0), 0);
    descriptor_array a = make_array({5, 6});
    EXPECT_EQ(fd_table_insert(a), -4);
    EXPECT_EQ(fd_table_insert(a), -4);
    ASSERT_TRUE(a);  // still the caller's
    const std::string log = read_file(dir / "log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
    EXPECT_NE(log.find("hash allocation failed accessing too many opened files\n"), std::string::npos);
}

TEST_F(fd_table_test, probing_wraps_around_and_an_all_ones_start_begins_at_slot_zero)
{
    ASSERT_EQ(fd_table_allocate(2, 3, 3), 0);
    EXPECT_EQ(find_free_slot(3), 0);  // start equal to the table size
    // Fill slots 1 and 2, then start near the end: the wrap finds slot 0.
    descriptor_array a = make_array({1, 1});
    descriptor_array b = make_array({1, 1});
    const int64_t first = fd_table_insert(a);
    const int64_t second = fd_table_insert(b);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    std::set<int64_t> used = {first, second};
    const int64_t free_slot = find_free_slot(2);
    EXPECT_EQ(used.count(free_slot), 0u);
    descriptor_array c = make_array({1, 1});
    EXPECT_GE(fd_table_insert(c), 0);
    descriptor_array d = make_array({1, 1});
    EXPECT_EQ(fd_table_insert(d), -4);
    // Released slots are given again; handles outside the table name nothing.
    EXPECT_TRUE(fd_table_remove(first));
    EXPECT_EQ(fd_table_get(first), nullptr);
    EXPECT_EQ(fd_table_insert(d), first);
    EXPECT_EQ(fd_table_get(3), nullptr);
    EXPECT_FALSE(fd_table_remove(99));
}

TEST_F(fd_table_test, key_is_the_first_usable_entry_of_a_replica_in_service)
{
    ASSERT_EQ(fd_table_allocate(9, 255, 255), 0);
    descriptor_array zero = make_array({0, 7});
    EXPECT_EQ(fd_table_insert(zero), static_cast<int64_t>(fd_hash(0)));

    descriptor_array negative_first = make_array({-1, 7});
    EXPECT_EQ(fd_table_insert(negative_first), 96);  // key 7

    set_state(0, replica_state::disabled, 99);
    descriptor_array disabled_first = make_array({3, 7});
    // Slot 96 is taken by now: probing moves to the next free one.
    EXPECT_EQ(fd_table_insert(disabled_first), 97);

    descriptor_array no_key = make_array({3, -1});
    EXPECT_EQ(fd_table_insert(no_key), -1);
}

TEST_F(fd_table_test, a_write_is_taken_once_and_a_reused_slot_starts_clean)
{
    ASSERT_EQ(fd_table_allocate(9, 255, 255), 0);
    descriptor_array first = make_array({7, 8});
    const int64_t slot = fd_table_insert(first);
    ASSERT_GE(slot, 0);
    EXPECT_FALSE(fd_table_take_write(slot));
    fd_table_note_write(slot);
    fd_table_note_write(slot);
    EXPECT_TRUE(fd_table_take_write(slot));
    EXPECT_FALSE(fd_table_take_write(slot));

    // Written and closed without being taken: the next file in the slot
    // has not written anything.
    fd_table_note_write(slot);
    EXPECT_NE(fd_table_remove(slot), nullptr);
    descriptor_array second = make_array({7, 8});
    ASSERT_EQ(fd_table_insert(second), slot);
    EXPECT_FALSE(fd_table_take_write(slot));

    fd_table_note_write(state().fd_table.size);
    EXPECT_FALSE(fd_table_take_write(state().fd_table.size));
}

TEST_F(fd_table_test, concurrent_inserts_never_share_a_slot)
{
    ASSERT_EQ(fd_table_allocate(9, 255, 255), 0);
    std::vector<std::vector<int64_t>> got(4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &got] {
            for (int i = 0; i < 60; ++i) {
                descriptor_array a = make_array({5, 5});
                got[t].push_back(fd_table_insert(a));
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    std::set<int64_t> slots;
    for (const auto& list : got)
        for (int64_t s : list) {
            EXPECT_GE(s, 0);
            slots.insert(s);
        }
    EXPECT_EQ(slots.size(), 240u);
}

// Files still open when the filesystem ends: every descriptor closed,
// every array freed (a sanitizer build reports any left), no slot left.
TEST_F(fd_table_test, release_all_closes_what_is_still_open)
{
    ASSERT_EQ(fd_table_allocate(9, 255, 255), 0);
    std::vector<int> opened;
    for (int i = 0; i < 4; ++i)
        opened.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    descriptor_array a = make_array({opened[0], opened[1]});
    descriptor_array b = make_array({-1, opened[2]});
    ASSERT_GE(fd_table_insert(a), 0);
    ASSERT_GE(fd_table_insert(b), 0);
    fd_table_release_all(2);
    for (int fd : {opened[0], opened[1], opened[2]})
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << fd;
    EXPECT_NE(fcntl(opened[3], F_GETFD), -1) << "not in the table: stays open";
    close(opened[3]);
    EXPECT_EQ(state().fd_table.size, 0u);
    EXPECT_EQ(fd_table_get(0), nullptr);
}

}  // namespace
