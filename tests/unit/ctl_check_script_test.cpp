#include "ctl/check_script.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/mount_harness.h"

namespace {

std::string filled(char digit, const resync_figures& figures = {})
{
    std::string text(900, '#');
    text.resize(fill_check_script(digit, figures, 0, text.size(), text.data()));
    return text;
}

std::string filled_gone()
{
    std::string text(900, '#');
    text.resize(fill_daemon_gone_script(0, text.size(), text.data()));
    return text;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "text does not end with a newline";
    return lines;
}

struct run_result {
    std::string out;
    int status = -1;
};

run_result run_script(const scratch_dir& dir, const std::string& text, const std::string& argument)
{
    write_file(dir / "check.sh", text, 0755);
    const std::string command = "sh " + (dir / "check.sh") + " " + argument;
    run_result result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(check_script, template_shape)
{
    EXPECT_EQ(check_script_template.size(), 746u);
    const auto lines = lines_of(std::string(check_script_template));
    ASSERT_EQ(lines.size(), 42u);
    EXPECT_EQ(lines[0], "#!/bin/sh");
    EXPECT_EQ(lines[20], "case \"$1\" in");
    EXPECT_EQ(lines[38], "      echo " + std::string(status_text_width, ' '));
    EXPECT_EQ(lines[39], "      exit  ");
    EXPECT_EQ(lines[41], "esac");
}

// Per state: the two fields filled in, everything else the template, and
// what the script says and exits with when a monitor runs it (with any
// argument but the options): one line "SERVICE STATUS: text", perfdata
// after a '|' only while a resync runs, and the plugins' exit status. A
// digit vornelix never sends is the UNKNOWN state, not a stray exit status;
// figures count only for a replica that reads 1.
TEST(check_script, states_table)
{
    const resync_figures counted{true, 1234, 5678, 99000};
    const resync_figures uncounted{true, 42, 0, 7};
    const resync_figures widest{true, UINT64_MAX, UINT64_MAX, UINT64_MAX};
    const std::string max = std::to_string(UINT64_MAX);
    struct {
        const char* state;
        char digit;  // 'g': vornelix did not answer
        resync_figures figures;
        std::string message;
        char exit_digit;
        const char* argument;
    } rows[] = {
        {"0", '0', {}, "OK - Vornelix replica enabled", '0', ""},
        {"0 with figures", '0', counted, "OK - Vornelix replica enabled", '0', ""},
        {"1", '1', {}, "WARNING - Vornelix replica enabled, but inconsistent", '1', ""},
        {"1 counted", '1', counted,
         "WARNING - Vornelix replica resyncing: 1234 of 5678 entries | done=1234 todo=5678 bytes=99000B", '1', ""},
        {"1 uncounted", '1', uncounted,
         "WARNING - Vornelix replica resyncing: 42 entries | done=42 bytes=7B", '1', "anything"},
        {"1 widest", '1', widest,
         "WARNING - Vornelix replica resyncing: " + max + " of " + max + " entries | done=" + max + " todo=" + max +
             " bytes=" + max + "B",
         '1', ""},
        {"2", '2', {}, "CRITICAL - Vornelix replica disabled", '2', "anything"},
        {"2 with figures", '2', uncounted, "CRITICAL - Vornelix replica disabled", '2', ""},
        {"7", '7', {}, "UNKNOWN - Vornelix replica state not recognised", '3', ""},
        {"x", 'x', counted, "UNKNOWN - Vornelix replica state not recognised", '3', ""},
        {"daemon gone", 'g', {}, "CRITICAL - Vornelix daemon not answering", '2', ""},
    };
    scratch_dir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        const std::string text = row.digit == 'g' ? filled_gone() : filled(row.digit, row.figures);
        ASSERT_EQ(text.size(), check_script_template.size());
        const auto lines = lines_of(text);
        ASSERT_EQ(lines.size(), 42u);
        std::string field = "'" + row.message + "'";
        ASSERT_LE(field.size(), status_text_width);
        field.resize(status_text_width, ' ');
        EXPECT_EQ(lines[38], "      echo " + field);
        EXPECT_EQ(lines[39], std::string("      exit ") + row.exit_digit);
        if (row.digit != 'g') {
            EXPECT_EQ(check_message(row.digit, row.figures), row.message);
        }
        for (size_t i = 0; i < text.size(); ++i) {
            if ((i < script_message_field || i >= script_message_field + status_text_width) &&
                i != script_exit_field) {
                ASSERT_EQ(text[i], check_script_template[i]) << "at " << i;
            }
        }
        const run_result r = run_script(dir, text, row.argument);
        EXPECT_EQ(r.out, row.message + "\n");
        EXPECT_EQ(r.status, row.exit_digit - '0');
    }
}

// What the progress file reads, and the channel's figures it is made of,
// which travel as text and come back the same.
TEST(check_script, progress_text_and_the_figures_on_the_channel)
{
    const struct {
        resync_figures figures;
        const char* reply;
        const char* text;
    } rows[] = {
        {{}, "idle", "idle\n"},
        {{true, 0, 0, 0}, "busy 0 0 0", "resyncing: 0 entries copied, 0 bytes\n"},
        {{true, 1234, 5678, 99000}, "busy 1234 5678 99000", "resyncing: 1234 of 5678 entries copied, 99000 bytes\n"},
        {{true, 42, 0, 7}, "busy 42 0 7", "resyncing: 42 entries copied, 7 bytes\n"},
        {{true, UINT64_MAX, 1, 2}, "busy 18446744073709551615 1 2",
         "resyncing: 18446744073709551615 of 1 entries copied, 2 bytes\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reply);
        EXPECT_EQ(format_resync_figures(row.figures), row.reply);
        resync_figures parsed{true, 9, 9, 9};
        EXPECT_TRUE(parse_resync_figures(row.reply, parsed));
        EXPECT_EQ(parsed, row.figures);
        EXPECT_EQ(progress_text(parsed), row.text);
    }
    // What an older vornelix or a damaged reply brings reads as idle.
    for (const char* reply : {"ERR", "", "busy", "busy 1 2", "busy 1 2 3 ", "busy 1  2 3", "busy 1 2 x",
                              "busy 18446744073709551616 0 0", "busy -1 0 0", "idle\n"}) {
        resync_figures parsed{true, 9, 9, 9};
        EXPECT_FALSE(parse_resync_figures(reply, parsed)) << reply;
        EXPECT_EQ(parsed, resync_figures{}) << reply;
        EXPECT_EQ(progress_text(parsed), "idle\n") << reply;
    }
}

// The options answer the same whatever the state.
TEST(check_script, version_and_help_options)
{
    scratch_dir dir;
    const std::string version = "This is the Vornelix Nagios check plugin version 1.1.1.\n";
    const std::string help = version + "\nUsage: check_vornelix.sh\n\nThis plugin checks the status of Vornelix replicas.\n\n";
    for (const std::string& text : {filled('0'), filled('2'), filled_gone()}) {
        for (const auto& [option, out] : std::vector<std::pair<std::string, std::string>>{
                 {"-V", version}, {"--version", version}, {"-h", help}, {"--help", help}}) {
            const run_result r = run_script(dir, text, option);
            EXPECT_EQ(r.out, out) << option;
            EXPECT_EQ(r.status, 0) << option;
        }
    }
}

TEST(check_script, reads_at_any_offset_and_size)
{
    char buffer[900];
    const resync_figures figures{true, 1, 2, 3};
    EXPECT_EQ(fill_check_script('0', {}, 700, 100, buffer), 46u);
    EXPECT_EQ(std::string(buffer, 46), filled('0').substr(700));
    EXPECT_EQ(fill_check_script('0', {}, 746, 100, buffer), 0u);
    EXPECT_EQ(fill_check_script('0', {}, 5000, 100, buffer), 0u);
    EXPECT_EQ(fill_check_script('0', {}, 10, 0, buffer), 0u);

    for (size_t step : {1, 7, 64, 745, 746, 4096}) {
        std::string pieces;
        for (off_t offset = 0;; offset += static_cast<off_t>(step)) {
            const size_t n = fill_check_script('1', figures, offset, step, buffer);
            if (n == 0)
                break;
            pieces.append(buffer, n);
        }
        EXPECT_EQ(pieces, filled('1', figures)) << "step " << step;
    }
}

}  // namespace
