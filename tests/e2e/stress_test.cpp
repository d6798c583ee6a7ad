// Several processes churn the same few names through one mount (the
// stress_churn program); afterwards no replica may have been disabled, the
// replicas must hold identical trees and the daemon must still serve.
//
// The short run is part of the test suite; `make stress` runs the same
// cases longer, setting VORNELIX_STRESS_PROCS and VORNELIX_STRESS_OPS
// (and VORNELIX_STRESS_SEED to vary the operations chosen).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/mount_harness.h"
#include "tests/support/replica_compare.h"

namespace {

struct churn_case {
    const char* name;
    int replicas;
    uid_t uid;  // 0: the workers keep root's identity
    long ops;   // per process
    // An -o token: no_inline sends every call through the replicas' workers,
    // which a mount over local replicas otherwise mostly leaves idle.
    const char* option;
};

// The daemon takes several times longer over an ordinary user's requests,
// so that case does fewer operations in about the same time.
const churn_case cases[] = {
    {"two_replicas_as_root", 2, 0, 2000, nullptr},
    {"three_replicas_as_root", 3, 0, 2000, nullptr},
    {"two_replicas_as_user", 2, 1001, 1000, nullptr},
    {"two_replicas_through_the_workers", 2, 0, 2000, "no_inline"},
};

// ThreadSanitizer slows the daemon down several times over.
#ifdef __SANITIZE_THREAD__
constexpr long slowdown = 4;
#else
constexpr long slowdown = 1;
#endif

void PrintTo(const churn_case& c, std::ostream* out)
{
    *out << c.name;
}

long setting(const char* name, long fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && std::atol(value) > 0 ? std::atol(value) : fallback;
}

// The log lines that hold `word`, with the total count, at most `shown`.
std::string lines_with(const std::string& log, const std::string& word, int shown = 20)
{
    std::string kept;
    int count = 0;
    for (size_t start = 0; start < log.size();) {
        size_t end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end + 1;
        if (log.substr(start, end - start).find(word) != std::string::npos && ++count <= shown)
            kept += log.substr(start, end - start);
        start = end;
    }
    return count == 0 ? "" : std::to_string(count) + " lines with \"" + word + "\":\n" + kept;
}

// Whether a path below the churn's directory is one the churn can make:
// its names have components a..e only.
bool churn_name(const std::string& path)
{
    for (size_t at = 0; at < path.size(); at += 2) {
        if (path[at] < 'a' || path[at] > 'e' || (at + 1 < path.size() && path[at + 1] != '/'))
            return false;
    }
    return !path.empty();
}

// Paths in a replica that neither the test nor the churn made (a file kept
// under a hidden name while it is open, say), each after a space.
std::string foreign_paths(const std::string& root)
{
    std::string found;
    for (const auto& [path, entry] : list_tree(root)) {
        const bool churned = path.compare(0, 5, "work/") == 0 && churn_name(path.substr(5));
        if (path != "." && path != "work" && !churned)
            found += " " + path;
    }
    return found;
}

// The contents of every file in dir.
std::string files_in(const std::string& dir)
{
    std::string text;
    for (const auto& [path, entry] : list_tree(dir))
        if (path != ".")
            text += path + ":\n" + read_file(dir + "/" + path);
    return text;
}

// Runs a shell command in dir with the mask 022; its wait status.
int sh_in(const std::string& dir, const std::string& command)
{
    return std::system(("cd '" + dir + "' && umask 022 && " + command).c_str());
}

// The comparison that the stress test relies on reports each kind of
// difference, and nothing when there is none.
TEST(replica_comparison, names_each_kind_of_difference)
{
    struct change {
        const char* what;
        const char* command;  // run in replica 1
        const char* expected;
    };
    const change changes[] = {
        {"none", "true", ""},
        {"contents", "printf hellp > f",
         "f: contents of replica 0 and replica 1 differ from byte 4"},
        {"size", "echo >> f",
         "f: replica 0 file 0644 0:0 size 5 linked with [h], replica 1 file 0644 0:0 size 6"},
        {"mode", "chmod 600 d/g", "d/g: replica 0 file 0644 0:0 size 1, replica 1 file 0600"},
        {"owner", "chown 1001 d/g", "replica 1 file 0644 1001:0 size 1"},
        {"type", "rm d/g && mkdir d/g", "replica 1 directory 0755 0:0"},
        {"link target", "ln -sfn d l",
         "l: replica 0 symlink 0777 0:0 size 1 -> f, replica 1 symlink 0777 0:0 size 1 -> d"},
        {"hard links", "rm h && cp f h",
         "h: replica 0 file 0644 0:0 size 5 linked with [f], replica 1 file 0644 0:0 size 5\n"},
        {"missing", "rm d/g", "d/g: only in replica 0 (file 0644 0:0 size 1)"},
        {"extra", "mkdir d/x", "d/x: only in replica 1 (directory 0755 0:0)"},
        {"modification time", "touch -m -d @1.5 d/g",
         "d/g: modified at 100.000000000 in replica 0, 1.500000000 in replica 1"},
        {"a link's own time", "touch -h -m -d @2 l",
         "l: modified at 100.000000000 in replica 0, 2.000000000 in replica 1"},
        {"a directory's time", "touch -m -d @3 d",
         "d: modified at 100.000000000 in replica 0, 3.000000000 in replica 1"},
        {"access time only", "touch -a -d @4 f", ""},
    };
    scratch_dir dir;
    const std::vector<std::string> roots = {dir / "r0", dir / "r1"};
    for (const change& c : changes) {
        // Replica 1 a copy of replica 0, times and all.
        ASSERT_EQ(sh_in(dir.path(), "rm -rf r0 r1 && mkdir r0 && cd r0 && printf hello > f && "
                                    "ln f h && ln -s f l && mkdir d && printf x > d/g && "
                                    "find . -exec touch -h -d @100 {} + && cd .. && cp -a r0 r1"),
                  0);
        ASSERT_EQ(sh_in(roots[1], c.command), 0) << c.what;
        const std::string differences = replica_differences(roots);
        if (*c.expected == '\0')
            EXPECT_EQ(differences, "") << c.what;
        else
            EXPECT_NE(differences.find(c.expected), std::string::npos)
                << c.what << ": " << differences;
    }
}

class churn : public ::testing::TestWithParam<churn_case> {};

TEST_P(churn, leaves_identical_replicas_and_a_serving_daemon)
{
    const churn_case& c = GetParam();
    const long procs = setting("VORNELIX_STRESS_PROCS", 4);
    const long ops = setting("VORNELIX_STRESS_OPS", c.ops / slowdown);
    const long seed = setting("VORNELIX_STRESS_SEED", 12);

    // A ThreadSanitizer build of the daemon reports into files here (its
    // standard error is /dev/null once it runs in the background).
    scratch_dir reports;
    mount_options options;
    options.replicas = c.replicas;
    if (c.option != nullptr)
        options.mount_tokens.push_back(c.option);
    // libfuse 2.9 itself leaks a path buffer now and then when renames and
    // removals race with open files; leaks that pass through libfuse are
    // not counted here (the daemon's own are caught by the other tests).
    scratch_dir suppressions;
    write_file(suppressions / "lsan.supp", "leak:libfuse.so\n");
    options.environment = {"TSAN_OPTIONS=log_path=" + (reports / "tsan"),
                           "LSAN_OPTIONS=print_suppressions=0:suppressions=" +
                               (suppressions / "lsan.supp")};
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string work = m.at("work");
    ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
    ASSERT_EQ(chown(work.c_str(), c.uid, c.uid), 0);

    std::vector<std::string> args;
    if (c.uid != 0)
        args = {"-u", std::to_string(c.uid), "-g", std::to_string(c.uid)};
    // The hang guard ends the workers before the test runner would end us.
    const long hang_seconds = 240 + procs * ops / 100;
    args.insert(args.end(), {"-t", std::to_string(hang_seconds), work, std::to_string(seed),
                             std::to_string(ops), std::to_string(procs)});
    const auto started = std::chrono::steady_clock::now();
    const command_result churned = run_vornelix(args, std::string(TEST_HELPERS_DIR) + "/stress_churn",
                                                static_cast<int>((hang_seconds + 60) * 1000));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string log = m.log_text();
    const long log_lines = std::count(log.begin(), log.end(), '\n') - c.replicas;
    const std::string summary = churned.out.substr(0, churned.out.find('\n'));
    std::printf("%s, seed %ld: %s; %.1f s; %ld log lines besides the priority lines\n", c.name,
                seed, summary.c_str(), seconds, log_lines);

    EXPECT_EQ(churned.status, 0) << churned.out << churned.err << lines_with(log, "failed");
    EXPECT_EQ(lines_with(log, "disabling replica"), "") << lines_with(log, "failed", 40);

    // The daemon still serves.
    struct stat st;
    EXPECT_TRUE(m.mounted());
    EXPECT_TRUE(m.daemon_pid() > 0 && kill(m.daemon_pid(), 0) == 0);
    EXPECT_EQ(stat(work.c_str(), &st), 0) << m.daemon_stderr();

    std::vector<std::string> roots;
    for (int r = 0; r < c.replicas; ++r)
        roots.push_back(m.replica(r));
    // The last closes reach the daemon after the workers have gone.
    EXPECT_TRUE(eventually([&] { return foreign_paths(roots[0]).empty(); }, 10000))
        << "left in replica 0:" << foreign_paths(roots[0]);

    // Once the daemon has ended, no request is still on its way through
    // the replicas (one of a worker killed by the hang guard could be).
    EXPECT_EQ(m.unmount(), 0) << m.daemon_stderr();
    EXPECT_EQ(replica_differences(roots), "") << lines_with(log, "failed");
    EXPECT_EQ(files_in(reports.path()), "");
}

INSTANTIATE_TEST_SUITE_P(stress, churn, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<churn_case>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
