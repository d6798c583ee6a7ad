#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/cli/options.h"
#include "fs/engine/event_log.h"
#include "fs/engine/replica_set.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"

namespace {

struct options_test : ::testing::Test {
    scoped_state own_state;
    start_settings& settings = state().settings;
    void SetUp() override { state().log.quiet = 1; }
};

TEST_F(options_test, mount_option_text_loses_its_own_tokens_and_keeps_the_rest)
{
    std::string text = "allow_other,quiet,ro";
    state().log.quiet = 0;
    EXPECT_FALSE(parse_mount_options(text).stop);
    EXPECT_EQ(text, "allow_other,ro");
    EXPECT_EQ(state().log.quiet, 1);

    text = "fsname=x,ro";
    EXPECT_FALSE(parse_mount_options(text).stop);
    EXPECT_EQ(text, "ro");
    EXPECT_EQ(settings.fsname_option, "fsname=x");

    text = "log=/tmp/some.log";
    EXPECT_FALSE(parse_mount_options(text).stop);
    EXPECT_EQ(text, "");
    EXPECT_EQ(state().log.path, "/tmp/some.log");

    text = "ro,fsname=backup,allow_other,log=/tmp/a.log";
    EXPECT_FALSE(parse_mount_options(text).stop);
    EXPECT_EQ(text, "ro,allow_other");
    EXPECT_EQ(settings.fsname_option, "fsname=backup");
}

TEST_F(options_test, replica_timeout_and_heal_interval_in_seconds_and_no_inline_are_taken_out)
{
    // Both in seconds with up to three decimals; the healing interval may
    // be 0 (no healing), the deadline may not.
    constexpr auto deadline = &replica_work_settings::timeout_ms;
    constexpr auto healing = &replica_work_settings::heal_interval_ms;
    const struct {
        const char* token;
        int64_t ms;  // -1: the start stops
        int64_t replica_work_settings::*setting;
    } cases[] = {
        {"replica_timeout=5", 5000, deadline},   {"replica_timeout=0.5", 500, deadline},
        {"replica_timeout=2.25", 2250, deadline}, {"replica_timeout=0.001", 1, deadline},
        {"replica_timeout=12.", -1, deadline},   {"replica_timeout=.5", -1, deadline},
        {"replica_timeout=0", -1, deadline},     {"replica_timeout=1.2345", -1, deadline},
        {"replica_timeout=-1", -1, deadline},    {"replica_timeout=5s", -1, deadline},
        {"replica_timeout=", -1, deadline},      {"replica_timeout", -1, deadline},
        {"replica_timeout=999999", -1, deadline},
        {"heal_interval=30", 30000, healing},    {"heal_interval=0.2", 200, healing},
        {"heal_interval=0", 0, healing},         {"heal_interval=0.0", -1, healing},
        {"heal_interval=", -1, healing},         {"heal_interval", -1, healing},
        {"heal_interval=-3", -1, healing},       {"heal_interval=1m", -1, healing},
        {"heal_intervals=3", -1, healing},
    };
    for (const auto& c : cases) {
        state().work.timeout_ms = default_replica_timeout_ms;
        state().work.heal_interval_ms = default_heal_interval_ms;
        std::string text = std::string("ro,") + c.token;
        const start_status status = parse_mount_options(text);
        EXPECT_EQ(status.stop, c.ms < 0) << c.token;
        if (c.ms >= 0) {
            EXPECT_EQ(text, "ro") << c.token;
            EXPECT_EQ(state().work.*c.setting, c.ms) << c.token;
        } else {
            EXPECT_EQ(status.exit_status, EINVAL) << c.token;
        }
    }

    std::string text = "ro,no_inline";
    EXPECT_FALSE(parse_mount_options(text).stop);
    EXPECT_EQ(text, "ro");
    EXPECT_FALSE(state().work.inline_allowed);
}

TEST_F(options_test, bare_log_token_and_unresolvable_log_directory_stop_the_start)
{
    std::string text = "ro,log";
    start_status status = parse_mount_options(text);
    EXPECT_TRUE(status.stop);
    EXPECT_EQ(status.exit_status, EINVAL);

    text = "log=";
    EXPECT_TRUE(parse_mount_options(text).stop);

    text = "log=/no/such/dir/x.log";
    status = parse_mount_options(text);
    EXPECT_TRUE(status.stop);
    EXPECT_EQ(status.exit_status, ENOENT);
}

TEST_F(options_test, log_path_keeps_its_name_under_a_canonical_directory)
{
    scratch_dir dir;
    const std::string link = dir / "link";
    ASSERT_EQ(symlink(dir.path().c_str(), link.c_str()), 0);
    EXPECT_EQ(canonicalize_log_path(link + "/../" + dir.path().substr(5) + "/x.log"), dir / "x.log");
    EXPECT_EQ(canonicalize_log_path(link + "/x.log"), dir / "x.log");
    EXPECT_EQ(canonicalize_log_path(dir.path() + "/"), dir.path() + "/");
    EXPECT_EQ(canonicalize_log_path("/x.log"), "/x.log");
    EXPECT_FALSE(canonicalize_log_path(dir / "missing/x.log"));

    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(canonicalize_log_path("bare.log"), dir / "bare.log");
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(options_test, inside_the_mount_point_is_decided_on_whole_components)
{
    EXPECT_TRUE(path_is_within("/mnt/a/x.log", "/mnt/a"));
    EXPECT_TRUE(path_is_within("/mnt/a", "/mnt/a"));
    EXPECT_TRUE(path_is_within("/mnt/a/x.log", "/mnt/a/"));
    EXPECT_FALSE(path_is_within("/mnt/ab/x.log", "/mnt/a"));
    EXPECT_FALSE(path_is_within("/mnt", "/mnt/a"));
    EXPECT_TRUE(path_is_within("/anything", "/"));
}

TEST_F(options_test, mount_argument_and_default_file_system_name)
{
    settings.replica_list = "/a=:/b";
    settings.mount_word = "/mnt";
    build_mount_argument();
    EXPECT_EQ(settings.mount_argument, "-ofsname=/a=:/b");

    settings = start_settings{};
    settings.replica_list = "/a=/b";
    settings.mount_word = ":/mnt";
    build_mount_argument();
    EXPECT_EQ(settings.mount_argument, "-ofsname=/a=/b");

    settings = start_settings{};
    settings.replica_list = "/a";
    settings.mount_word = ":/mnt";
    settings.fsname_option = "fsname=label";
    settings.fuse_options = "";
    build_mount_argument();
    EXPECT_EQ(settings.mount_argument, "-o,fsname=label");

    settings.fuse_options = "allow_other";
    settings.mount_argument.reset();
    build_mount_argument();
    EXPECT_EQ(settings.mount_argument, "-oallow_other,fsname=label");
}

TEST_F(options_test, control_program_is_found_beside_the_daemon)
{
    EXPECT_EQ(derive_ctl_program("/usr/local/bin/vornelix"), "/usr/local/bin/vornctl");
    EXPECT_EQ(derive_ctl_program("vornelix"), "vornctl");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(derive_ctl_program("./vornelix"), std::string(cwd) + "/./vornctl");
    EXPECT_EQ(derive_ctl_program("/opt/vx"), "/opt/vornctl");
    EXPECT_EQ(derive_ctl_program("vx"), "vornctl");
}

TEST_F(options_test, control_program_is_looked_for_under_both_names)
{
    // Started through a link of another name, the real binary's directory
    // is tried too; the same place is not tried twice.
    EXPECT_EQ(ctl_program_candidates("/usr/bin/replfs", "/opt/v/bin/vornelix"),
              (std::vector<std::string>{"/usr/bin/rectl", "/opt/v/bin/vornctl"}));
    EXPECT_EQ(ctl_program_candidates("/opt/v/bin/vornelix", "/opt/v/bin/vornelix"),
              (std::vector<std::string>{"/opt/v/bin/vornctl"}));
    EXPECT_EQ(ctl_program_candidates("vornelix", ""), (std::vector<std::string>{"vornctl"}));

    scratch_dir dir;
    write_file(dir / "plain", "", 0644);
    write_file(dir / "runs", "", 0755);
    mkdir((dir / "directory").c_str(), 0755);
    EXPECT_EQ(find_executable({dir / "missing", dir / "runs"}), dir / "runs");
    errno = 0;
    EXPECT_EQ(find_executable({dir / "missing"}), std::nullopt);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(find_executable({dir / "plain", dir / "directory"}), std::nullopt);
    EXPECT_EQ(errno, EACCES);
    // A bare name is searched on PATH and comes back absolute.
    EXPECT_EQ(find_executable({"sh"}).value_or("?").front(), '/');
}

TEST_F(options_test, positional_words_are_taken_where_the_scanner_leaves_them)
{
    scratch_dir dir;
    const std::string log = dir / "v.log";
    const std::string attached = "-l" + log;
    const std::string long_form = "--log=" + log;
    for (const std::string& form : {attached, long_form}) {
        settings = start_settings{};
        std::vector<std::string> words = {"vornelix", form, "-oro,quiet", "/r0=/r1", "/mnt"};
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        start_status status = scan_command_line(static_cast<int>(words.size()), argv.data());
        EXPECT_FALSE(status.stop) << form;
        EXPECT_EQ(settings.replica_list, "/r0=/r1");
        EXPECT_EQ(settings.mount_word, "/mnt");
        EXPECT_EQ(state().log.path, log);
        EXPECT_EQ(settings.fuse_options, "ro");
    }
}

}  // namespace
