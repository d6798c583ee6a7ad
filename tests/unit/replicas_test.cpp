#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <mutex>
#include <sys/stat.h>
#include <thread>

#include "fs/engine/event_log.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replica_service.h"
#include "fs/engine/replicas.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"

namespace {

struct replicas_test : ::testing::Test {
    scoped_state own_state;
    void TearDown() override { remove_replicas(); }
};

// The replicas one request tries, in order, until one in service answers
// (all of them when none is in service).
std::vector<int> tried()
{
    read_turns turns;
    std::vector<int> order;
    for (int attempt = 0; attempt < state().replicas.count; ++attempt) {
        const int r = choose_replica(turns, attempt);
        order.push_back(r);
        if (replica_in_service(r))
            break;
    }
    return order;
}

// Read-replica rotation: each row installs its replicas (a leading ':' marks
// low priority) and sends requests in turn; before each request the given
// replicas are put out of service. Every request checks what it tried, that
// the fixed priority order does not move with the turns, that attempts out
// of range name no replica, and that choosing leaves the states alone.
TEST_F(replicas_test, rotation_table)
{
    struct request {
        std::set<int> out;  // replicas out of service for this request
        std::vector<int> tried;
    };
    struct row {
        const char* what;
        std::vector<std::string> roots;
        std::vector<int> priority;
        std::vector<request> requests;
    };
    const std::set<int> none;
    const std::set<int> all = {0, 1, 2, 3, 4};
    const row rows[] = {
        {"one replica is always tried first", {"/a"}, {0},
         {{all, {0}}, {all, {0}}, {all, {0}}, {all, {0}}, {all, {0}}}},
        {"two replicas alternate starting with the second", {"/a", "/b"}, {0, 1},
         {{none, {1}}, {none, {0}}, {none, {1}}, {none, {0}}, {none, {1}}}},
        {"high priority replicas rotate, low priority ones come last",
         {".", "/a", ":/b", "/c"}, {0, 1, 3, 2},
         {{all, {1, 3, 0, 2}}, {all, {3, 0, 1, 2}}, {all, {0, 1, 3, 2}}}},
        {"the first in service answers", {".", "/a", ":/b", "/c"}, {0, 1, 3, 2},
         {{none, {1}}, {none, {3}}, {none, {0}}, {none, {1}}, {none, {3}}}},
        {"the turns of a replica out of service fall to the next in line",
         {".", "/a", ":/b", "/c"}, {0, 1, 3, 2},
         {{{1}, {1, 3}}, {{1}, {3}}, {{1}, {0}}, {{1}, {1, 3}}, {{1}, {3}}}},
        // Served by the high-priority replica the low turn stays; once that
        // is out of service the low turn advances once per request.
        {"the low turn advances only for requests that reach it", {"/h", ":/l0", ":/l1"}, {0, 1, 2},
         {{none, {0}}, {none, {0}}, {none, {0}}, {{0}, {0, 2}}, {{0}, {0, 1}}, {{0}, {0, 2}}}},
        {"only low priority replicas rotate among themselves", {":/a", ":/b", ":/c"}, {0, 1, 2},
         {{all, {1, 2, 0}}, {all, {2, 0, 1}}, {all, {0, 1, 2}}}},
        {"low priority replicas around a high one", {":/a", "/b", ":/c"}, {1, 0, 2},
         {{all, {1, 2, 0}}, {all, {1, 0, 2}}, {all, {1, 2, 0}}}},
        {"an untrusted replica stays out of service", {"/a", "/b"}, {0, 1},
         {{{0}, {1}}, {{0}, {0, 1}}, {{0}, {1}}, {{0}, {0, 1}}}},
    };
    for (const row& r : rows) {
        install_replicas(r.roots);
        const int n = state().replicas.count;
        int number = 0;
        for (const request& q : r.requests) {
            const std::string where = std::string(r.what) + ", request " + std::to_string(number++);
            for (int k = 0; k < n; ++k)
                store_state_word(k, q.out.count(k) ? 1 : 0);
            EXPECT_EQ(tried(), q.tried) << where;
            std::vector<int> priority;
            for (int attempt = 0; attempt < n; ++attempt)
                priority.push_back(choose_replica_by_priority(attempt));
            EXPECT_EQ(priority, r.priority) << where;
            for (int k = 0; k < n; ++k) {
                EXPECT_EQ(replica_in_service(k), q.out.count(k) == 0) << where << ": replica " << k;
                EXPECT_EQ(state_word(k), q.out.count(k) ? 1 : 0) << where << ": replica " << k;
            }
        }
        read_turns turns;
        EXPECT_EQ(choose_replica(turns, -1), -1) << r.what;
        EXPECT_EQ(choose_replica(turns, n), -1) << r.what;
        EXPECT_EQ(choose_replica_by_priority(-1), -1) << r.what;
        EXPECT_EQ(choose_replica_by_priority(n), -1) << r.what;
    }
}

TEST_F(replicas_test, rotation_table_rows_are_the_list_rotated_left)
{
    const rotation_table table = make_rotation_table({0, 1, 3});
    EXPECT_EQ(table.entries, (std::vector<int>{0, 1, 3, 1, 3, 0, 3, 0, 1}));
    EXPECT_TRUE(make_rotation_table({}).entries.empty());
}

// A request that starts past its high-priority tries still gets a row.
TEST_F(replicas_test, a_request_starting_at_the_low_priority_tries_gets_a_row)
{
    install_replicas({"/a", ":/b"});
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
                read_turns turns;
                std::vector<int> order;
                for (int attempt = 0; attempt < state().replicas.count; ++attempt)
                    order.push_back(choose_replica(turns, attempt));
                std::set<int> seen(order.begin(), order.end());
                if (seen.size() != 5 || *seen.begin() != 0 || *seen.rbegin() != 4)
                    ++bad;
                // High-priority replicas always come before low-priority ones.
                if (replica_at(order[0]).low_priority || !replica_at(order[4]).low_priority)
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
    EXPECT_GE(state_word(1), before);
    EXPECT_LE(state_word(1), time(nullptr));
    disable_replica(0, true);
    trust_replica(0, true);
    EXPECT_EQ(state_word(0), 0);
    trust_replica(1, false);
    EXPECT_EQ(state_word(1), 0);

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

// Why a replica left decides whether it comes back by itself: only one
// that stopped answering does. Rows run in order on replica 1: the first
// reason a replica leaves for is kept while it stays out (requests that
// gave up on it together), the administrator's "2" overrides it, and
// coming back forgets it.
TEST_F(replicas_test, departure_reasons_table)
{
    scratch_dir dir;
    install_replicas({"/data/a", "/data/b"});
    install_log(dir / "log");
    enum action { fail, force, trust };
    const struct {
        action what;
        int error;  // of a failure
        departure kept;
        bool heals;
    } rows[] = {
        {fail, ETIMEDOUT, departure::unreachable, true},  // the deadline
        {fail, ENOSPC, departure::unreachable, true},     // already out: the first reason stays
        {force, 0, departure::administrator, false},
        {fail, ENOTCONN, departure::administrator, false},
        {trust, 0, departure::unknown, false},
        {fail, ENOSPC, departure::failed, false},
        {trust, 0, departure::unknown, false},
        {fail, ENOTCONN, departure::unreachable, true},   // a FUSE client that ended
        {trust, 0, departure::unknown, false},
        {fail, 0, departure::failed, false},              // a short write
        {trust, 0, departure::unknown, false},
        {fail, EHOSTUNREACH, departure::unreachable, true},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        const auto& row = rows[i];
        if (row.what == trust)
            trust_replica(1, true);
        else
            disable_replica(1, row.what == force, row.error);
        EXPECT_EQ(replica_at(1).left_for.load(), row.kept);
        EXPECT_EQ(heals_by_itself(replica_at(1).left_for.load()), row.heals);
        EXPECT_EQ(state_of(1), row.what == trust ? replica_state::in_service : replica_state::disabled);
    }

    // Every errno by what it says of the replica's filesystem.
    const struct {
        int error;
        bool heals;
    } errors[] = {
        {ETIMEDOUT, true},  {ENOTCONN, true}, {EHOSTDOWN, true}, {EHOSTUNREACH, true}, {ENETDOWN, true},
        {ENETUNREACH, true}, {ENOSPC, false}, {EIO, false},      {EROFS, false},       {EDQUOT, false},
        {EACCES, false},    {ESTALE, false},  {ENOENT, false},   {0, false},
    };
    for (const auto& row : errors)
        EXPECT_EQ(heals_by_itself(departure_for_error(row.error)), row.heals) << strerror(row.error);
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
    for (int i = 0; i < 4; ++i) {
        read_turns turns;
        int first = -1;
        for (int attempt = 0; attempt < state().replicas.count && first < 0; ++attempt)
            if (const int r = choose_replica(turns, attempt); replica_in_service(r))
                first = r;
        EXPECT_EQ(first, 2);
    }
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

}  // namespace

namespace {

struct kept_places_test : replica_dirs_test {};

std::set<std::string> kept_on(int k)
{
    std::set<std::string> names;
    const std::lock_guard<std::mutex> held(replica_at(k).places.lock);
    for (const auto& entry : replica_at(k).places.kept)
        names.insert(entry.first);
    return names;
}

}  // namespace

// Requests keep the directories they reach names in; what moves or removes
// a directory forgets it and everything beneath it on every replica, and
// nothing else (names that merely begin alike stay).
TEST_F(kept_places_test, forgetting_takes_a_directory_and_what_lies_beneath)
{
    const std::vector<std::string> directories = {"a", "a/b", "a/b/c", "a/b c", "ab", "z"};
    const struct {
        const char* forgotten;
        std::set<std::string> left;
    } rows[] = {
        {"/a/b", {"a", "a/b c", "ab", "z"}},
        {"/a", {"ab", "z"}},
        {"/a/b c", {"a", "a/b", "a/b/c", "ab", "z"}},
        {"/a/b/c/x", {"a", "a/b", "a/b/c", "a/b c", "ab", "z"}},
        {"/", {}},
    };
    use_replicas(2);
    for (int k = 0; k < 2; ++k)
        for (const std::string& d : directories)
            ASSERT_EQ(mkdir(in(k, d).c_str(), 0755), 0) << d;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.forgotten);
        for (int k = 0; k < 2; ++k)
            for (const std::string& d : directories) {
                replica_place place;
                ASSERT_EQ(request_place(k, "/" + d + "/x", place), 0);
                replica_place again;
                ASSERT_EQ(request_place(k, "/" + d + "/y", again), 0);
                EXPECT_EQ(again.dir, place.dir) << "a second request walks again";
            }
        forget_directory_places(row.forgotten);
        EXPECT_EQ(kept_on(0), row.left);
        EXPECT_EQ(kept_on(1), row.left);
    }
}

// A replica out of service keeps nothing, leaving forgets what it had, and
// a place forgotten while a request holds it stays usable to that request.
TEST_F(kept_places_test, only_replicas_in_service_keep_places)
{
    use_replicas(2);
    for (int k = 0; k < 2; ++k)
        ASSERT_EQ(mkdir(in(k, "d").c_str(), 0755), 0);
    replica_place held;
    ASSERT_EQ(request_place(0, "/d/f", held), 0);
    disable_replica(0, true);
    EXPECT_TRUE(kept_on(0).empty());
    EXPECT_EQ(mkdirat(held.dir, "still", 0755), 0) << "the held descriptor was closed";
    replica_place walked;
    ASSERT_EQ(request_place(0, "/d/f", walked), 0);
    EXPECT_TRUE(kept_on(0).empty());
    ASSERT_EQ(request_place(1, "/d/f", walked), 0);
    EXPECT_EQ(kept_on(1), std::set<std::string>{"d"});
}
