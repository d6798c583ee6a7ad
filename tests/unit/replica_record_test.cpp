// Durable replica state over real replica directories: what start-up makes
// of the records, and what leaving and rejoining service write.
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fs/engine/replica_record.h"
#include "fs/engine/replica_service.h"
#include "fs/engine/replicas.h"
#include "tests/support/engine_fixture.h"

namespace {

using enum replica_state;

using reading = record_reading;

TEST(replica_record_decision, start_states_follow_the_highest_generation_and_the_behind_lists)
{
    const reading absent{reading::absent, 0, {}};
    const reading unrecordable{reading::unrecordable, 0, {}};
    auto at = [](uint64_t g, std::vector<std::string> behind = {}) { return reading{reading::present, g, behind}; };
    struct decision_case {
        std::vector<reading> readings;
        bool first_start;
        bool no_records;
        uint64_t generation;
        std::vector<replica_state> states;
    };
    // The replicas are named "a", "b", "c" in behind lists.
    const std::vector<decision_case> cases = {
        {{absent, absent}, true, false, 1, {in_service, in_service}},
        {{absent, unrecordable}, true, false, 1, {in_service, in_service}},
        {{unrecordable, unrecordable}, false, true, 1, {in_service, in_service}},
        {{at(5), at(5)}, false, false, 5, {in_service, in_service}},
        {{at(5), at(3)}, false, false, 5, {in_service, behind}},
        {{at(3), at(5), at(5)}, false, false, 5, {behind, in_service, in_service}},
        {{at(5), absent}, false, false, 5, {in_service, behind}},
        {{unrecordable, at(2), at(1)}, false, false, 2, {in_service, in_service, behind}},
        // 0 is written only to a replica that left while no other could
        // record being ahead: behind, even with nothing higher to show.
        {{at(0), at(4)}, false, false, 4, {behind, in_service}},
        {{at(0), absent}, false, false, 1, {behind, behind}},
        // A replica that cannot hold a record is kept out by the others'.
        {{at(2, {"b"}), unrecordable}, false, false, 2, {in_service, behind}},
        {{at(2, {"c"}), at(2), unrecordable}, false, false, 2, {in_service, in_service, behind}},
        // Only a current replica's list counts, and an unknown name none.
        {{at(3), at(2, {"a"}), unrecordable}, false, false, 3, {in_service, behind, in_service}},
        {{at(3, {"elsewhere"}), unrecordable}, false, false, 3, {in_service, in_service}},
    };
    const std::vector<std::string> names = {"a", "b", "c"};
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const start_decision decision = decide_start_states(cases[i].readings, names);
        EXPECT_EQ(decision.first_start, cases[i].first_start);
        EXPECT_EQ(decision.no_records, cases[i].no_records);
        EXPECT_EQ(decision.generation, cases[i].generation);
        EXPECT_EQ(decision.states, cases[i].states);
    }
    const std::vector<std::string> list = {"/data/a", ":/srv/m"};
    EXPECT_EQ(parse_behind_list(behind_list_text(list)), list);
    EXPECT_TRUE(parse_behind_list("").empty());
}

TEST(replica_record_decision, generation_text_is_plain_decimal)
{
    const std::vector<std::pair<std::string, std::optional<uint64_t>>> cases = {
        {"1", 1},
        {"007", 7},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"", std::nullopt},
        {"1\n", std::nullopt},
        {"-1", std::nullopt},
        {"+1", std::nullopt},
        {"12a", std::nullopt},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(parse_generation(text), value) << text;
}

struct replica_record_test : replica_dirs_test {
    // The generation on a root, "" when there is none.
    std::string generation(int k) const { return attribute(root(k), "trusted.vornelix.generation"); }
    std::string marker(int k) const { return attribute(root(k), "trusted.vornelix.mounted"); }

    static std::string attribute(const std::string& path, const char* name)
    {
        char value[64];
        const ssize_t n = getxattr(path.c_str(), name, value, sizeof value);
        return n < 0 ? "" : std::string(value, n);
    }

    // What a new process over the same replicas starts with.
    void restart()
    {
        release_replica_records();
        for (int k = 0; k < state().replicas.count; ++k)
            set_state(k, replica_state::in_service);
        load_replica_records();
    }

    std::vector<replica_state> states() const
    {
        std::vector<replica_state> all;
        for (int k = 0; k < state().replicas.count; ++k)
            all.push_back(state_of(k));
        return all;
    }

    // Replica 0 holds generation 1 (not a first start), replica 1 is /proc,
    // which keeps no extended attributes: it stands for a filesystem that
    // cannot hold a record, and nothing here writes to it. Loaded; answers
    // replica 0's root.
    std::string use_a_replica_without_records()
    {
        use_replicas(1);
        const std::string stored = root(0);
        install_replicas({stored, "/proc"});
        install_log(dir / "log");
        setxattr(stored.c_str(), "trusted.vornelix.generation", "1", 1, 0);
        load_replica_records();
        return stored;
    }

    void TearDown() override
    {
        release_replica_records();
        replica_dirs_test::TearDown();
    }
};

TEST_F(replica_record_test, a_replica_that_left_service_starts_untrusted_until_it_is_trusted)
{
    use_replicas(3);
    load_replica_records();
    EXPECT_EQ(generation(0) + generation(1) + generation(2), "111");
    EXPECT_EQ(states(), (std::vector<replica_state>{in_service, in_service, in_service}));

    disable_replica(1, false);
    EXPECT_EQ(generation(0) + generation(1) + generation(2), "212");
    // Leaving again, or a replica already out leaving, records nothing.
    disable_replica(1, true);
    EXPECT_EQ(generation(0) + generation(1) + generation(2), "212");

    restart();
    EXPECT_EQ(states(), (std::vector<replica_state>{in_service, behind, in_service}));
    EXPECT_NE(events().find("replica behind the others (generation 1 of 2), starting untrusted " +
                            root(1) + "\n"),
              std::string::npos)
        << events();
    disable_replica(1, true);
    EXPECT_EQ(generation(0) + generation(1) + generation(2), "212");

    trust_replica(1, true);
    EXPECT_EQ(generation(1), "2");
    restart();
    EXPECT_EQ(states(), (std::vector<replica_state>{in_service, in_service, in_service}));
}

TEST_F(replica_record_test, trusting_a_replaced_replica_records_on_the_new_directory)
{
    use_replicas(2);
    load_replica_records();
    disable_replica(1, true);
    ASSERT_EQ(rename(root(1).c_str(), (root(1) + ".old").c_str()), 0);
    ASSERT_EQ(mkdir(root(1).c_str(), 0755), 0);
    trust_replica(1, true);
    EXPECT_EQ(generation(1), "2");
    EXPECT_EQ(attribute(root(1) + ".old", "trusted.vornelix.generation"), "1");
}

TEST_F(replica_record_test, the_last_replica_in_service_leaving_records_nothing)
{
    use_replicas(2);
    load_replica_records();
    disable_replica(0, false);
    disable_replica(1, false);
    EXPECT_EQ(generation(0) + generation(1), "12");
    restart();
    EXPECT_EQ(states(), (std::vector<replica_state>{behind, in_service}));
}

TEST_F(replica_record_test, concurrent_departures_each_record_a_generation)
{
    use_replicas(3);
    load_replica_records();
    std::thread one([] { disable_replica(1, false); });
    std::thread two([] { disable_replica(2, false); });
    one.join();
    two.join();
    EXPECT_EQ(generation(0), "3");
    const std::string others = generation(1) + generation(2);
    EXPECT_TRUE(others == "12" || others == "21") << others;
    restart();
    EXPECT_EQ(states(), (std::vector<replica_state>{in_service, behind, behind}));
}

TEST_F(replica_record_test, requests_that_give_up_on_a_replica_together_log_one_departure)
{
    use_replicas(3);
    load_replica_records();
    std::vector<std::thread> requests;
    for (int i = 0; i < 4; ++i)
        requests.emplace_back([] { disable_replica(1, false); });
    for (std::thread& request : requests)
        request.join();
    const std::string line = "disabling replica failed accessing " + root(1) + "\n";
    const std::string log = events();
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;
    EXPECT_EQ(generation(0) + generation(1) + generation(2), "212");
}

TEST_F(replica_record_test, a_replica_added_later_starts_untrusted)
{
    use_replicas(2);
    setxattr(root(0).c_str(), "trusted.vornelix.generation", "4", 1, 0);
    load_replica_records();
    EXPECT_EQ(states(), (std::vector<replica_state>{in_service, behind}));
    EXPECT_EQ(generation(1), "");
    EXPECT_NE(events().find("replica without generation record while others hold one, starting untrusted " +
                            root(1) + "\n"),
              std::string::npos)
        << events();
}

// Empty replicas trusted at a first start take the first one's root
// owner, mode and times: the mount's root would otherwise change when the
// first leaves service, and a resync from the journal never copies it.
TEST_F(replica_record_test, a_first_start_over_empty_replicas_gives_every_root_the_first_ones_attributes)
{
    use_replicas(3);
    ASSERT_EQ(chmod(root(0).c_str(), 0750), 0);
    ASSERT_EQ(chown(root(0).c_str(), 1001, 1002), 0);
    ASSERT_EQ(chmod(root(1).c_str(), 01777), 0);
    ASSERT_EQ(chmod(root(2).c_str(), 0700), 0);
    const struct timespec when[2] = {{1000000000, 5}, {1000000000, 7}};
    ASSERT_EQ(utimensat(AT_FDCWD, root(0).c_str(), when, 0), 0);
    load_replica_records();
    EXPECT_EQ(states(), (std::vector<replica_state>{in_service, in_service, in_service}));
    for (int k = 0; k < 3; ++k) {
        struct stat st;
        ASSERT_EQ(stat(root(k).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0750u) << k;
        EXPECT_EQ(st.st_uid, 1001u) << k;
        EXPECT_EQ(st.st_gid, 1002u) << k;
        EXPECT_EQ(st.st_mtim.tv_sec, 1000000000) << k;
        EXPECT_EQ(st.st_mtim.tv_nsec, 7) << k;
    }
}

TEST_F(replica_record_test, an_unreadable_record_is_logged_and_the_replica_kept_as_before)
{
    use_replicas(2);
    setxattr(root(0).c_str(), "trusted.vornelix.generation", "3", 1, 0);
    setxattr(root(1).c_str(), "trusted.vornelix.generation", "x", 1, 0);
    load_replica_records();
    EXPECT_EQ(states(), (std::vector<replica_state>{in_service, in_service}));
    EXPECT_NE(events().find("replica generation record failed accessing " + root(1) + " Invalid argument\n"),
              std::string::npos)
        << events();
    disable_replica(0, false);
    trust_replica(0, true);
    EXPECT_EQ(generation(0) + generation(1), "4x");
}

TEST_F(replica_record_test, a_filesystem_without_records_is_logged_once_and_never_written)
{
    use_a_replica_without_records();
    EXPECT_EQ(states(), (std::vector<replica_state>{in_service, in_service}));
    EXPECT_EQ(events(), "replica generation record failed accessing /proc Operation not supported\n");

    // With no survivor able to record being ahead, the one leaving is
    // written behind instead.
    disable_replica(0, false);
    EXPECT_EQ(generation(0), "0");
    restart();
    EXPECT_EQ(states(), (std::vector<replica_state>{behind, in_service}));
}

TEST_F(replica_record_test, the_survivors_remember_a_replica_that_cannot_hold_a_record)
{
    const std::string stored = use_a_replica_without_records();
    disable_replica(1, false);
    EXPECT_EQ(generation(0), "2");
    EXPECT_EQ(parse_behind_list(attribute(stored, "trusted.vornelix.behind")), std::vector<std::string>{"/proc"});
    restart();
    EXPECT_EQ(states(), (std::vector<replica_state>{in_service, behind}));
    EXPECT_NE(events().find("replica named behind by the others, starting untrusted /proc\n"),
              std::string::npos)
        << events();
    // Back in service: forgotten by the list, and trusted at the next start.
    trust_replica(1, true);
    EXPECT_EQ(attribute(stored, "trusted.vornelix.behind"), "");
    restart();
    EXPECT_EQ(states(), (std::vector<replica_state>{in_service, in_service}));
}

TEST_F(replica_record_test, a_stop_without_unmounting_is_logged_at_the_next_start)
{
    use_replicas(2);
    load_replica_records();
    mark_replicas_mounted();
    // The marker names the holder, for a second mount's refusal.
    EXPECT_NE(marker(0).find("by pid " + std::to_string(getpid()) + " on "), std::string::npos) << marker(0);
    EXPECT_EQ(marker(1), marker(0));
    // A replica disabled meanwhile is unmarked all the same.
    disable_replica(1, false);
    release_replica_records();
    EXPECT_EQ(marker(0) + marker(1), "");
    load_replica_records();
    EXPECT_EQ(events().find("previous mount ended"), std::string::npos) << events();

    release_replica_records();
    // What a crash leaves behind.
    setxattr(root(1).c_str(), "trusted.vornelix.mounted", "1", 1, 0);
    load_replica_records();
    EXPECT_NE(events().find("previous mount ended without unmounting, compare the replicas with vornelix "
                            "--verify " + root(1) + "\n"),
              std::string::npos)
        << events();
}

TEST_F(replica_record_test, the_mount_point_replica_records_through_its_kept_directory)
{
    use_replicas(2);
    const std::string under_mount = root(0);
    install_replicas({".", root(1)});
    state().mount.directory = open(under_mount.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    load_replica_records();
    disable_replica(1, false);
    EXPECT_EQ(attribute(under_mount, "trusted.vornelix.generation"), "2");
    close(state().mount.directory);
    state().mount.directory = -1;  // closed: the tear-down must not reach it
}

}  // namespace
