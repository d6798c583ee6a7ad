// The change journal: its records read back for one replica (complete, or
// why not), and the journal kept by the replicas in service while one is
// out: one record per name, across a clean restart, marked unclean after a
// stop without the closed mark, gone once every replica is back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/engine/change_journal.h"
#include "fs/engine/replica_record.h"
#include "fs/engine/replica_service.h"
#include "fs/engine/reserved_name.h"
#include "tests/support/engine_fixture.h"

namespace {

std::string header_and(const std::vector<std::string>& records)
{
    std::string text(journal_header);
    for (const std::string& record : records)
        text += record;
    return text;
}

TEST(journal_format, a_replica_reads_the_names_after_its_last_start)
{
    const std::string a = journal_start_record("/r/a", 4);
    const std::string b = journal_start_record("/r/b", 9);
    const std::string x = journal_name_record("/x");
    const std::string y = journal_name_record("/d/y\nwith a newline");
    struct scan_case {
        const char* name;
        std::string text;
        uint64_t generation;  // what /r/a's record holds
        journal_verdict verdict;
        std::vector<std::string> paths;
    };
    const std::string whole = header_and({a, x, b, y});
    const std::vector<scan_case> cases = {
        {"names after the start", whole, 4, journal_verdict::complete, {"/d/y\nwith a newline", "/x"}},
        {"names before the start do not count", header_and({x, a, y}), 4, journal_verdict::complete,
         {"/d/y\nwith a newline"}},
        {"a later start of the same replica counts", header_and({a, x, journal_start_record("/r/a", 6), y}), 6,
         journal_verdict::complete, {"/d/y\nwith a newline"}},
        {"another replica's start only", header_and({b, x}), 4, journal_verdict::not_covered, {}},
        {"the replica's record moved on", whole, 5, journal_verdict::wrong_generation, {}},
        {"overflowed after the start", header_and({a, x, std::string(journal_overflow_record)}), 4,
         journal_verdict::overflowed, {}},
        {"overflowed before the start", header_and({x, std::string(journal_overflow_record), a, y}), 4,
         journal_verdict::complete, {"/d/y\nwith a newline"}},
        {"unclean after the start", header_and({a, std::string(journal_unclean_record), x}), 4,
         journal_verdict::unclean, {}},
        {"closed cleanly at the end", header_and({a, x, std::string(journal_closed_record)}), 4,
         journal_verdict::complete, {"/x"}},
        {"cut inside a name", whole.substr(0, whole.size() - 3), 4, journal_verdict::truncated, {}},
        {"cut inside a length", header_and({a}) + "N 1", 4, journal_verdict::truncated, {}},
        {"cut inside the header", std::string(journal_header.substr(0, 5)), 4, journal_verdict::truncated, {}},
        {"a length that does not end at the newline", header_and({a}) + "N 1 /xy\n", 4, journal_verdict::malformed, {}},
        {"an unknown record", header_and({a, "Q\n"}), 4, journal_verdict::malformed, {}},
        {"a name that is not a tree path", header_and({a, journal_name_record("x")}), 4, journal_verdict::malformed,
         {}},
        {"another header", "vornelix journal 2\n" + a, 4, journal_verdict::malformed, {}},
        {"empty", "", 4, journal_verdict::truncated, {}},
    };
    for (const scan_case& c : cases) {
        SCOPED_TRACE(c.name);
        const journal_scan scan = scan_journal(c.text, "/r/a", c.generation);
        EXPECT_EQ(scan.verdict, c.verdict);
        EXPECT_EQ(scan.paths, c.paths);
        EXPECT_EQ(std::string(journal_verdict_text(c.verdict)).empty(), c.verdict == journal_verdict::complete);
    }
}

TEST(journal_format, only_a_whole_journal_ending_on_the_closed_mark_is_clean)
{
    const std::string body = header_and({journal_start_record("/r", 1), journal_name_record("/a")});
    const std::string closed(journal_closed_record);
    struct clean_case {
        std::string text;
        bool clean;
    };
    const std::vector<clean_case> cases = {
        {body + closed, true},
        {body, false},
        {body + closed + journal_name_record("/b"), false},
        {body.substr(0, body.size() - 1) + closed, false},
        {header_and({closed}), true},
        {closed, false},
    };
    for (const clean_case& c : cases) {
        uint64_t at = 0;
        EXPECT_EQ(journal_closed_cleanly(c.text, at), c.clean) << c.text;
        if (c.clean) {
            EXPECT_EQ(at, c.text.size() - closed.size()) << c.text;
        }
    }
}

TEST(journal_format, copying_a_directory_covers_what_it_holds)
{
    struct collapse_case {
        std::vector<std::string> given;
        std::vector<std::string> kept;
    };
    const std::vector<collapse_case> cases = {
        {{"/a/b", "/a", "/a/b/c", "/a-b", "/ab"}, {"/a", "/a-b", "/ab"}},
        {{"/x", "/x", "/y/z"}, {"/x", "/y/z"}},
        {{"/x", "/", "/y"}, {"/"}},
        {{"/a-b/c", "/a", "/a-b"}, {"/a", "/a-b"}},
    };
    for (collapse_case c : cases) {
        collapse_paths(c.given);
        EXPECT_EQ(c.given, c.kept);
    }
}

struct change_journal_test : replica_dirs_test {
    std::string journal(int k) const { return in(k, std::string(journal_file_name)); }

    std::string text(int k) const
    {
        std::string read;
        const int fd = open(journal(k).c_str(), O_RDONLY);
        if (fd < 0)
            return "(none)";
        char buffer[1 << 16];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
            read.append(buffer, static_cast<size_t>(n));
        close(fd);
        return read;
    }

    journal_scan scan_for(int source, int k)
    {
        return journal_for(source, replica_identity(k), 1);
    }

    void restart()
    {
        release_replica_records();
        for (int k = 0; k < state().replicas.count; ++k)
            set_state(k, replica_state::in_service);
        load_replica_records();
    }

    void TearDown() override
    {
        release_replica_records();
        replica_dirs_test::TearDown();
    }
};

TEST_F(change_journal_test, replicas_in_service_note_each_name_once_while_one_is_out)
{
    use_replicas(3);
    load_replica_records();
    journal_note("/before");
    // The files are there from the start, empty: a departure never adds a
    // name to a root while changes run there.
    EXPECT_EQ(text(0), "");
    struct stat root_before;
    ASSERT_EQ(stat(root(0).c_str(), &root_before), 0);

    disable_replica(1, false);
    journal_note("/a");
    journal_note("/a");
    journal_note("/d/b");
    EXPECT_FALSE(journal_file_noted(1, 2));
    journal_note_file(1, 2, "/written");
    EXPECT_TRUE(journal_file_noted(1, 2));
    EXPECT_FALSE(journal_file_noted(1, 3));
    for (const int source : {0, 2}) {
        const journal_scan scan = scan_for(source, 1);
        EXPECT_EQ(scan.verdict, journal_verdict::complete) << source;
        EXPECT_EQ(scan.paths, (std::vector<std::string>{"/a", "/d/b", "/written"})) << source;
    }
    EXPECT_EQ(text(0), text(2));
    EXPECT_EQ(text(0).find(journal_name_record("/a")), text(0).rfind(journal_name_record("/a")));
    EXPECT_EQ(text(1), "");
    // The root keeps the times the changes gave it.
    struct stat root_after;
    ASSERT_EQ(stat(root(0).c_str(), &root_after), 0);
    EXPECT_EQ(root_after.st_mtim.tv_nsec, root_before.st_mtim.tv_nsec);
    EXPECT_EQ(root_after.st_mtim.tv_sec, root_before.st_mtim.tv_sec);

    // Closed cleanly, the journal goes on after a restart.
    restart();
    ASSERT_EQ(state_of(1), replica_state::behind);
    journal_note("/after");
    EXPECT_EQ(scan_for(0, 1).paths, (std::vector<std::string>{"/a", "/after", "/d/b", "/written"}));

    // Back in service, nobody is out: every file is empty, no journal.
    trust_replica(1, true);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(text(k), "") << k;
    EXPECT_NE(scan_for(0, 1).verdict, journal_verdict::complete);
}

TEST_F(change_journal_test, a_stop_without_the_closed_mark_leaves_the_journal_unclean)
{
    use_replicas(2);
    load_replica_records();
    disable_replica(1, false);
    journal_note("/a");
    release_replica_records();
    // What a crash leaves: everything but the mark.
    const std::string closed = text(0);
    ASSERT_EQ(truncate(journal(0).c_str(), static_cast<off_t>(closed.size() - journal_closed_record.size())), 0);
    set_state(1, replica_state::in_service);
    load_replica_records();
    journal_note("/b");
    EXPECT_EQ(scan_for(0, 1).verdict, journal_verdict::unclean);
    EXPECT_NE(events().find("change journal not closed cleanly"), std::string::npos) << events();
    EXPECT_EQ(text(0).find(journal_name_record("/b")), std::string::npos);
}

TEST_F(change_journal_test, the_memory_of_noted_names_is_bounded)
{
    use_replicas(2);
    load_replica_records();
    disable_replica(1, false);
    for (size_t i = 0; i + 1 < journal_remembered_most; ++i)
        journal_note("/n" + std::to_string(i));
    journal_note("/n0");        // still remembered: not written again
    journal_note("/one more");  // the memory is full
    journal_note("/two more");  // it starts over
    journal_note("/n0");        // written again
    const std::string written = text(0);
    const std::string first = journal_name_record("/n0");
    const size_t once = written.find(first);
    ASSERT_NE(once, std::string::npos);
    const size_t again = written.find(first, once + 1);
    ASSERT_NE(again, std::string::npos);
    EXPECT_GT(again, written.find(journal_name_record("/two more")));
    EXPECT_EQ(scan_for(0, 1).paths.size(), journal_remembered_most + 1);
}

}  // namespace
