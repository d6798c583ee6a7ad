#include "ctl/check_script.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/mount_harness.h"

namespace {

std::string filled(char digit)
{
    std::string text(700, '#');
    text.resize(fill_check_script(digit, 0, text.size(), text.data()));
    return text;
}

std::string filled_gone()
{
    std::string text(700, '#');
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
    EXPECT_EQ(check_script_template.size(), 618u);
    const auto lines = lines_of(std::string(check_script_template));
    ASSERT_EQ(lines.size(), 42u);
    EXPECT_EQ(lines[0], "#!/bin/sh");
    EXPECT_EQ(lines[20], "case \"$1\" in");
    EXPECT_EQ(lines[38], "      echo " + std::string(52, ' '));
    EXPECT_EQ(lines[39], "      exit  ");
    EXPECT_EQ(lines[41], "esac");
}

// Per state: the two fields filled in, everything else the template, and
// what the script says and exits with when a monitor runs it (with any
// argument but the options). A digit vornelix never sends is the Nagios
// UNKNOWN state, not a stray exit status.
TEST(check_script, states_table)
{
    struct {
        const char* state;
        std::string text;
        const char* message;  // the whole message, or its start for UNKNOWN
        char exit_digit;
        const char* argument;
    } rows[] = {
        {"0", filled('0'), "OK - Vornelix replica enabled", '0', ""},
        {"1", filled('1'), "WARNING - Vornelix replica enabled, but inconsistent", '1', ""},
        {"2", filled('2'), "CRITICAL - Vornelix replica disabled", '2', "anything"},
        {"7", filled('7'), "UNKNOWN - ", '3', ""},
        {"x", filled('x'), "UNKNOWN - ", '3', ""},
        {"daemon gone", filled_gone(), "CRITICAL - Vornelix daemon not answering", '2', ""},
    };
    scratch_dir dir;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.state);
        const std::string& text = row.text;
        ASSERT_EQ(text.size(), 618u);
        const auto lines = lines_of(text);
        ASSERT_EQ(lines.size(), 42u);
        const bool unknown = row.exit_digit == '3';
        std::string message = row.message;
        if (unknown) {
            EXPECT_EQ(lines[38].substr(0, 11 + message.size()), "      echo " + message);
            EXPECT_EQ(lines[38].size(), 11u + 52u);
        } else {
            message.resize(52, ' ');
            EXPECT_EQ(lines[38], "      echo " + message);
        }
        EXPECT_EQ(lines[39], std::string("      exit ") + row.exit_digit);
        if (row.state[1] == '\0' && !unknown) {  // a state digit: status_text says the same
            EXPECT_EQ(status_text(row.state[0]), message);
        }
        for (size_t i = 0; i < text.size(); ++i) {
            if ((i < script_message_field || i >= script_message_field + 52) && i != script_exit_field) {
                ASSERT_EQ(text[i], check_script_template[i]) << "at " << i;
            }
        }
        const run_result r = run_script(dir, text, row.argument);
        if (unknown)
            EXPECT_EQ(r.out.substr(0, message.size()), message);
        else
            EXPECT_EQ(r.out, std::string(row.message) + "\n");
        EXPECT_EQ(r.status, row.exit_digit - '0');
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
    char buffer[700];
    EXPECT_EQ(fill_check_script('0', 600, 100, buffer), 18u);
    EXPECT_EQ(std::string(buffer, 18), filled('0').substr(600));
    EXPECT_EQ(fill_check_script('0', 618, 100, buffer), 0u);
    EXPECT_EQ(fill_check_script('0', 5000, 100, buffer), 0u);
    EXPECT_EQ(fill_check_script('0', 10, 0, buffer), 0u);

    for (size_t step : {1, 7, 64, 617, 618, 4096}) {
        std::string pieces;
        for (off_t offset = 0;; offset += static_cast<off_t>(step)) {
            const size_t n = fill_check_script('2', offset, step, buffer);
            if (n == 0)
                break;
            pieces.append(buffer, n);
        }
        EXPECT_EQ(pieces, filled('2')) << "step " << step;
    }
}

}  // namespace
