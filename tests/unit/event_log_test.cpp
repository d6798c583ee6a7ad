#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <thread>

#include "fs/engine/event_log.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"

namespace {

struct tm fixed_time()
{
    struct tm t {};
    t.tm_year = 2008 - 1900;
    t.tm_mon = 4;
    t.tm_mday = 14;
    t.tm_hour = 16;
    t.tm_min = 2;
    return t;
}

TEST(event_log, line_formats_by_code)
{
    const struct tm t = fixed_time();
    EXPECT_EQ(format_log_line("mkdir", "/data/b", EACCES, t),
              "2008/05/14 16:02 mkdir failed accessing /data/b Permission denied");
    EXPECT_EQ(format_log_line("disabling replica", "/data/b", 0, t),
              "2008/05/14 16:02 disabling replica failed accessing /data/b");
    EXPECT_EQ(format_log_line("disabling replica", "/data/b", -7, t),
              "2008/05/14 16:02 disabling replica /data/b Forced by administrator");
    EXPECT_EQ(format_log_line("hash allocation", "too many opened files", 0, t),
              "2008/05/14 16:02 hash allocation failed accessing too many opened files");
    EXPECT_EQ(format_log_line("open", "/r", -4, t), "2008/05/14 16:02 open failed accessing /r Too many opened files");
    // Events that are no failures never say "failed accessing".
    EXPECT_EQ(format_event_line("resync from /data/a started", "/data/b", t),
              "2008/05/14 16:02 resync from /data/a started /data/b");
    EXPECT_EQ(format_event_line("resync copied 3 entries, 0 bytes so far", ".", t),
              "2008/05/14 16:02 resync copied 3 entries, 0 bytes so far .");
}

TEST(event_log, error_messages_on_standard_error)
{
    scoped_state own_state;
    testing::internal::CaptureStderr();
    print_error(-3, nullptr);
    print_error(ENOENT, "/x");
    print_error(-1, "replica info allocation");
    state().log.quiet = 1;
    print_error(-2, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\n/x: No such file or directory\nreplica info allocation: Low memory\n");
}

TEST(event_log, nothing_is_written_without_a_log)
{
    scoped_state own_state;
    scratch_dir dir;
    install_log("");
    write_log("mkdir", "/r", 0);
    write_event("resync from /a started", "/r");
    state().log.path = dir / "never";  // set but never opened
    write_log("mkdir", "/r", 0);
    write_event("resync from /a started", "/r");
    struct stat st;
    EXPECT_NE(stat((dir / "never").c_str(), &st), 0);
}

// Failures (even threads) and events (odd threads) share one log.
TEST(event_log, concurrent_lines_never_interleave)
{
    scoped_state own_state;
    scratch_dir dir;
    install_log(dir / "log");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                if (t % 2)
                    write_event("word" + std::to_string(t), std::string(100, 'a' + t));
                else
                    write_log("word" + std::to_string(t), std::string(100, 'a' + t), 0);
            }
        });
    for (std::thread& t : threads)
        t.join();
    close_log();
    write_log("after close", "/x", 0);
    write_event("after close", "/x");
    const std::string text = read_file(dir / "log");
    size_t begin = 0, lines = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1, ++lines) {
        const std::string line = text.substr(begin + 17, end - begin - 17);
        const char c = line[4];
        const std::string separator = (c - '0') % 2 ? " " : " failed accessing ";
        EXPECT_EQ(line, "word" + std::string(1, c) + separator + std::string(100, 'a' + (c - '0')));
    }
    EXPECT_EQ(lines, 800u);
}

}  // namespace
