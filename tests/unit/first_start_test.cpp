// The first start's decision, the emptiness of a new replica, and the
// mount table lookup that refuses a second mount on one mount point.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fs/engine/first_start.h"
#include "fs/engine/replica_lock.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"

namespace {

using enum replica_state;

TEST(first_start, plan_follows_what_the_replicas_hold)
{
    struct plan_case {
        const char* name;
        std::vector<bool> empty;
        int source;
        int comparison;  // what the tree comparison answers
        bool refused;
        std::vector<replica_state> states;
        std::vector<int> fill;
        int comparisons;  // how often the trees are compared
    };
    const std::vector<plan_case> cases = {
        {"all empty", {true, true}, -1, 0, false, {in_service, in_service}, {}, 0},
        {"one full, one empty", {false, true}, -1, 0, false, {in_service, behind}, {1}, 0},
        {"empty first", {true, false, true}, -1, 0, false, {behind, in_service, behind}, {0, 2}, 0},
        {"two the same", {false, false}, -1, 0, false, {in_service, in_service}, {}, 1},
        {"two the same, one empty", {false, false, true}, -1, 0, false, {in_service, in_service, behind}, {2}, 1},
        {"two different", {false, false}, -1, 1, true, {}, {}, 1},
        {"not comparable", {false, false, true}, -1, 2, true, {}, {}, 1},
        {"source named", {false, false, true}, 1, 1, false, {behind, in_service, behind}, {0, 2}, 0},
    };
    for (const plan_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<first_start_replica> replicas;
        for (size_t k = 0; k < c.empty.size(); ++k)
            replicas.push_back({"/r" + std::to_string(k), c.empty[k]});
        int comparisons = 0;
        const first_start_plan plan =
            plan_first_start(replicas, c.source, [&](const std::vector<std::string>& roots, std::string& out) {
                ++comparisons;
                EXPECT_GE(roots.size(), 2u);
                out = "/f: size 1 in /r0, 2 in /r1\n";
                return c.comparison;
            });
        EXPECT_EQ(plan.refused, c.refused) << plan.message;
        EXPECT_EQ(comparisons, c.comparisons);
        if (c.refused) {
            EXPECT_NE(plan.message.find("/r0 and /r1"), std::string::npos) << plan.message;
            if (c.comparison == 1) {
                EXPECT_NE(plan.message.find("source=PATH"), std::string::npos) << plan.message;
                EXPECT_NE(plan.message.find("/f: size 1"), std::string::npos) << plan.message;
            }
            continue;
        }
        EXPECT_EQ(plan.states, c.states);
        EXPECT_EQ(plan.fill, c.fill);
    }
}

TEST(first_start, a_new_filesystem_counts_as_empty_and_the_trees_are_compared)
{
    scratch_dir dir;
    const std::string a = dir / "a", b = dir / "b";
    mkdir(a.c_str(), 0755);
    mkdir(b.c_str(), 0755);
    int error = -1;
    EXPECT_TRUE(root_is_empty(-1, a, error));
    EXPECT_EQ(error, 0);
    mkdir((a + "/lost+found").c_str(), 0700);
    EXPECT_TRUE(root_is_empty(-1, a, error));
    write_file(a + "/lost+found/#12", "");
    EXPECT_FALSE(root_is_empty(-1, a, error));
    EXPECT_FALSE(root_is_empty(-1, dir / "missing", error));
    EXPECT_EQ(error, ENOENT);

    write_file(a + "/f", "one");
    write_file(b + "/f", "two");
    std::string differences;
    EXPECT_EQ(compare_first_start_trees({a, b}, differences), 1);
    EXPECT_NE(differences.find("/f: content differs from byte 0"), std::string::npos) << differences;
    EXPECT_NE(differences.find("/lost+found: missing in " + b), std::string::npos) << differences;
}

TEST(replica_lock, a_vornelix_mount_point_is_found_in_the_mount_table)
{
    const std::string table =
        "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
        "40 22 0:35 / /srv/m rw,nosuid,nodev,relatime shared:1 - fuse.vornelix /a=/b rw,user_id=0\n"
        "41 22 0:36 / /srv/with\\040space rw - fuse.vornelix x rw\n"
        "42 22 0:37 / /srv/other rw - fuse.sshfs host: rw\n";
    struct lookup_case {
        std::string path;
        bool found;
    };
    const std::vector<lookup_case> cases = {
        {"/srv/m", true},        {"/srv/with space", true}, {"/srv/other", false},
        {"/srv", false},         {"/srv/m/sub", false},     {"/proc", false},
    };
    for (const lookup_case& c : cases)
        EXPECT_EQ(vornelix_mount_at(table, c.path), c.found) << c.path;

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::vector<std::pair<std::string, std::string>> paths = {
        {"/srv//m/", "/srv/m"}, {"/srv/./x/../m", "/srv/m"}, {"/..", "/"}, {"/", "/"},
        {"m", std::string(cwd) == "/" ? "/m" : std::string(cwd) + "/m"},
    };
    for (const auto& [word, path] : paths)
        EXPECT_EQ(lexical_absolute(word), path) << word;
}

}  // namespace
