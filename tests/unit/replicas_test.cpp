#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <set>
#include <thread>

#include "fs/engine/event_log.h"
#include "fs/engine/replicas.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"

namespace {

// The replicas a request visits, in order, when every try fails; the first
// replica in service is what a request that succeeds at once reads from.
std::vector<int> visit_order()
{
    read_turns turns;
    std::vector<int> order;
    for (int attempt = 0; attempt < replica_count; ++attempt)
        order.push_back(choose_replica(turns, attempt));
    return order;
}

int first_in_service()
{
    read_turns turns;
    for (int attempt = 0; attempt < replica_count; ++attempt) {
        const int r = choose_replica(turns, attempt);
        if (replica_in_service(r))
            return r;
    }
    return -1;
}

struct replicas_test : ::testing::Test {
    void TearDown() override { remove_replicas(); }
};

TEST_F(replicas_test, rotation_table_rows_are_the_list_rotated_left)
{
    const rotation_table table = make_rotation_table({0, 1, 3});
    EXPECT_EQ(table.entries, (std::vector<int>{0, 1, 3, 1, 3, 0, 3, 0, 1}));
    EXPECT_TRUE(make_rotation_table({}).entries.empty());
}

TEST_F(replicas_test, one_replica_is_always_tried_first)
{
    install_replicas({"/a"});
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(visit_order(), std::vector<int>{0});
}

TEST_F(replicas_test, two_replicas_alternate_starting_with_the_second)
{
    install_replicas({"/a", "/b"});
    std::vector<int> firsts;
    for (int i = 0; i < 5; ++i)
        firsts.push_back(first_in_service());
    EXPECT_EQ(firsts, (std::vector<int>{1, 0, 1, 0, 1}));
}

TEST_F(replicas_test, high_priority_replicas_rotate_and_low_priority_ones_come_last)
{
    install_replicas({".", "/a", ":/b", "/c"});
    EXPECT_EQ(visit_order(), (std::vector<int>{1, 3, 0, 2}));
    EXPECT_EQ(visit_order(), (std::vector<int>{3, 0, 1, 2}));
    EXPECT_EQ(visit_order(), (std::vector<int>{0, 1, 3, 2}));

    install_replicas({".", "/a", ":/b", "/c"});
    std::vector<int> firsts;
    for (int i = 0; i < 5; ++i)
        firsts.push_back(first_in_service());
    EXPECT_EQ(firsts, (std::vector<int>{1, 3, 0, 1, 3}));

    // With replica 1 out of service its turns fall to the next in line.
    install_replicas({".", "/a", ":/b", "/c"});
    set_state(1, replica_state::disabled, 12345);
    firsts.clear();
    for (int i = 0; i < 5; ++i)
        firsts.push_back(first_in_service());
    EXPECT_EQ(firsts, (std::vector<int>{3, 3, 0, 3, 3}));
}

TEST_F(replicas_test, low_turn_advances_only_for_requests_that_reach_it)
{
    install_replicas({"/h", ":/l0", ":/l1"});
    // Served by the high-priority replica: the low turn stays.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(first_in_service(), 0);
    // The high-priority replica out of service: the requests move on to
    // the low-priority ones, whose turn now advances once per request.
    set_state(0, replica_state::behind);
    EXPECT_EQ(first_in_service(), 2);
    EXPECT_EQ(first_in_service(), 1);
    EXPECT_EQ(first_in_service(), 2);

    install_replicas({":/a", ":/b", ":/c"});
    EXPECT_EQ(visit_order(), (std::vector<int>{1, 2, 0}));
    EXPECT_EQ(visit_order(), (std::vector<int>{2, 0, 1}));
    EXPECT_EQ(visit_order(), (std::vector<int>{0, 1, 2}));
}

TEST_F(replicas_test, priority_order_stays_put_while_the_turns_move_on)
{
    struct row {
        std::vector<std::string> roots;
        std::vector<int> order;
    };
    const row rows[] = {
        {{"/a", "/b"}, {0, 1}},
        {{".", "/a", ":/b", "/c"}, {0, 1, 3, 2}},
        {{":/a", "/b", ":/c"}, {1, 0, 2}},
    };
    for (const row& r : rows) {
        install_replicas(r.roots);
        for (int request = 0; request < 3; ++request) {
            (void)visit_order();
            std::vector<int> order;
            for (int attempt = 0; attempt < replica_count; ++attempt)
                order.push_back(choose_replica_by_priority(attempt));
            EXPECT_EQ(order, r.order) << r.roots[0] << " request " << request;
        }
        EXPECT_EQ(choose_replica_by_priority(-1), -1);
        EXPECT_EQ(choose_replica_by_priority(replica_count), -1);
    }
}

TEST_F(replicas_test, attempts_out_of_range_name_no_replica)
{
    install_replicas({"/a", ":/b"});
    read_turns turns;
    EXPECT_EQ(choose_replica(turns, -1), -1);
    EXPECT_EQ(choose_replica(turns, 2), -1);
    // A request that starts past its high-priority tries still gets a row.
    read_turns late;
    EXPECT_EQ(choose_replica(late, 1), 1);
}

TEST_F(replicas_test, concurrent_requests_each_visit_every_replica_once)
{
    install_replicas({"/a", "/b", ":/c", "/d", ":/e"});
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                const std::vector<int> order = visit_order();
                std::set<int> seen(order.begin(), order.end());
                if (seen.size() != 5 || *seen.begin() != 0 || *seen.rbegin() != 4)
                    ++bad;
                // High-priority replicas always come before low-priority ones.
                if (replica_table[order[0]].low_priority || !replica_table[order[4]].low_priority)
                    ++bad;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST_F(replicas_test, replica_paths)
{
    std::string out;
    ASSERT_TRUE(replica_path("/", ".", out));
    EXPECT_EQ(out, ".");
    ASSERT_TRUE(replica_path("/a", ".", out));
    EXPECT_EQ(out, "a");
    ASSERT_TRUE(replica_path("/x/y", ".", out));
    EXPECT_EQ(out, "x/y");
    ASSERT_TRUE(replica_path("/a", "/r", out));
    EXPECT_EQ(out, "/r/a");
    ASSERT_TRUE(replica_path("/x/y", "/data/a", out));
    EXPECT_EQ(out, "/data/a/x/y");
    ASSERT_TRUE(replica_path("/", "/data/a", out));
    EXPECT_EQ(out, "/data/a/");
}

TEST_F(replicas_test, state_changes_write_their_line_before_the_store)
{
    scratch_dir dir;
    install_replicas({"/data/a", "/data/b"});
    install_log(dir / "log");
    const time_t before = time(nullptr);
    disable_replica(1, false);
    EXPECT_EQ(state_of(1), replica_state::disabled);
    EXPECT_GE(status_of(1).disabled_at, before);
    EXPECT_LE(status_of(1).disabled_at, time(nullptr));
    disable_replica(0, true);
    trust_replica(0, true);
    EXPECT_EQ(state_of(0), replica_state::in_service);
    trust_replica(1, false);
    EXPECT_EQ(state_of(1), replica_state::in_service);

    const std::string text = read_file(dir / "log");
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
        lines.push_back(text.substr(begin + 17, end - begin - 17));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "disabling replica failed accessing /data/b",
                         "disabling replica /data/a Forced by administrator",
                         "trusting replica /data/a Forced by administrator",
                         "trusting replica failed accessing /data/b",
                     }));
}

TEST(replica_status_packing, state_and_time_round_trip_in_one_word)
{
    using enum replica_state;
    struct packing_case {
        replica_status stored;
        replica_status read;
    };
    const packing_case cases[] = {
        {{in_service, 0}, {in_service, 0}},
        {{behind, 0}, {behind, 0}},
        // Times that the old single number read as "in service" and "behind".
        {{disabled, 0}, {disabled, 0}},
        {{disabled, 1}, {disabled, 1}},
        {{disabled, 2}, {disabled, 2}},
        {{disabled, 1'700'000'000}, {disabled, 1'700'000'000}},
        {{disabled, INT64_MAX >> 2}, {disabled, INT64_MAX >> 2}},
        {{disabled, -1}, {disabled, -1}},  // time() failing
        // Only a disabled replica keeps a time.
        {{in_service, 77}, {in_service, 0}},
        {{behind, 77}, {behind, 0}},
    };
    for (const packing_case& c : cases) {
        SCOPED_TRACE(testing::Message() << static_cast<int>(c.stored.state) << ' ' << c.stored.disabled_at);
        EXPECT_EQ(unpack_status(pack_status(c.stored)), c.read);
    }
    EXPECT_NE(pack_status({disabled, 0}), pack_status({in_service, 0}));
    EXPECT_NE(pack_status({disabled, 0}), pack_status({behind, 0}));
    EXPECT_NE(pack_status({disabled, 1}), pack_status({behind, 0}));
}

TEST_F(replicas_test, a_disabled_replica_stays_out_of_service_whatever_its_time)
{
    install_replicas({"/a", "/b", "/c"});
    set_state(0, replica_state::disabled, 0);
    set_state(1, replica_state::disabled, 1);
    EXPECT_FALSE(replica_in_service(0));
    EXPECT_FALSE(replica_in_service(1));
    EXPECT_EQ(state_of(0), replica_state::disabled);
    EXPECT_EQ(state_of(1), replica_state::disabled);
    EXPECT_EQ(status_of(1).disabled_at, 1);
    EXPECT_TRUE(replica_in_service(2));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(first_in_service(), 2);
}

TEST_F(replicas_test, compare_and_set_moves_only_a_replica_behind)
{
    using enum replica_state;
    install_replicas({"/a", "/b", "/c", "/d"});
    set_state(0, behind);
    set_state(1, in_service);
    set_state(2, disabled, 5);
    set_state(3, disabled, 0);
    const replica_status given_up{disabled, 9};
    EXPECT_TRUE(compare_and_set(0, behind, given_up));
    EXPECT_FALSE(compare_and_set(1, behind, given_up));
    EXPECT_FALSE(compare_and_set(2, behind, given_up));
    EXPECT_FALSE(compare_and_set(3, behind, given_up));
    EXPECT_EQ(status_of(0), given_up);
    EXPECT_EQ(status_of(1), (replica_status{in_service, 0}));
    EXPECT_EQ(status_of(2), (replica_status{disabled, 5}));
    EXPECT_EQ(status_of(3), (replica_status{disabled, 0}));
    // Once moved, the same swap finds nothing behind.
    EXPECT_FALSE(compare_and_set(0, behind, {disabled, 10}));
    EXPECT_EQ(status_of(0), given_up);
}

TEST_F(replicas_test, exchange_status_answers_the_state_and_time_it_replaced)
{
    using enum replica_state;
    install_replicas({"/a"});
    set_state(0, disabled, 1234);
    EXPECT_EQ(exchange_status(0, {behind}), (replica_status{disabled, 1234}));
    EXPECT_EQ(status_of(0), (replica_status{behind, 0}));
    EXPECT_EQ(exchange_status(0, {in_service}), (replica_status{behind, 0}));
    EXPECT_TRUE(replica_in_service(0));
}

TEST_F(replicas_test, untrusted_state_keeps_a_replica_out_of_service)
{
    install_replicas({"/a", "/b"});
    set_state(0, replica_state::behind);
    EXPECT_FALSE(replica_in_service(0));
    EXPECT_TRUE(replica_in_service(1));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(first_in_service(), 1);
    EXPECT_EQ(state_of(0), replica_state::behind);
}

}  // namespace
