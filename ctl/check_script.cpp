#include "ctl/check_script.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace {

constexpr std::string_view template_text =
    "#!/bin/sh\n"
    "\n"
    "print_version() {\n"
    "   echo 'This is the Vornelix Nagios check plugin version 1.1.1.'\n"
    "}\n"
    "\n"
    "print_usage() {\n"
    "   echo 'Usage: check_vornelix.sh'\n"
    "}\n"
    "\n"
    "print_help() {\n"
    "   print_version\n"
    "   echo ''\n"
    "   print_usage\n"
    "   echo ''\n"
    "   echo 'This plugin checks the status of Vornelix replicas.'\n"
    "   echo ''\n"
    "   exit 0\n"
    "}\n"
    "\n"
    "case \"$1\" in\n"
    "   --help)\n"
    "      print_help\n"
    "      exit 0\n"
    "      ;;\n"
    "   -h)\n"
    "      print_help\n"
    "      exit 0\n"
    "      ;;\n"
    "   --version)\n"
    "      print_version\n"
    "      exit 0\n"
    "      ;;\n"
    "   -V)\n"
    "      print_version\n"
    "      exit 0\n"
    "      ;;\n"
    "   *)\n"
    "      echo "
    "                                                                                "
    "                                                                                "
    "                    \n"
    "      exit  \n"
    "      ;;\n"
    "esac\n";

static_assert(template_text.size() == 746);
static_assert(template_text.substr(script_message_field - 5, 5) == "echo ");
static_assert(template_text.substr(script_message_field, status_text_width).find_first_not_of(' ') ==
              std::string_view::npos);
static_assert(template_text[script_message_field + status_text_width] == '\n');
static_assert(template_text.substr(script_exit_field - 5, 7) == "exit  \n");

constexpr std::string_view texts[] = {
    "OK - Vornelix replica enabled",
    "WARNING - Vornelix replica enabled, but inconsistent",
    "CRITICAL - Vornelix replica disabled",
    "UNKNOWN - Vornelix replica state not recognised",
};

constexpr size_t unknown_text = 3;

constexpr std::string_view gone_text = "CRITICAL - Vornelix daemon not answering";

// The longest message: a resync with every figure at its widest, and the
// quotes around it.
constexpr size_t widest_number = 20;
static_assert(std::string_view("WARNING - Vornelix replica resyncing:  of  entries | done= todo= bytes=B").size() +
                  5 * widest_number + 2 <=
              status_text_width);

// The message goes in single quotes: perfdata's '|' would be a pipe to
// the shell. The spaces after the closing quote are no part of it.
size_t fill_script(std::string_view text, char exit_digit, off_t offset, size_t size, char* buffer) noexcept
{
    if (offset < 0 || static_cast<size_t>(offset) >= template_text.size())
        return 0;
    // A private copy per read: concurrent reads of different replicas never
    // see each other's fields.
    std::array<char, template_text.size()> script;
    std::copy(template_text.begin(), template_text.end(), script.begin());
    text = text.substr(0, status_text_width - 2);
    script[script_message_field] = '\'';
    std::copy(text.begin(), text.end(), script.begin() + script_message_field + 1);
    script[script_message_field + 1 + text.size()] = '\'';
    script[script_exit_field] = exit_digit;

    const size_t count = std::min(size, script.size() - static_cast<size_t>(offset));
    memcpy(buffer, script.data() + offset, count);
    return count;
}

}  // namespace

const std::string_view check_script_template = template_text;

namespace {

std::string_view state_message(char digit) noexcept
{
    return digit >= '0' && digit <= '2' ? texts[digit - '0'] : texts[unknown_text];
}

}  // namespace

std::string check_message(char digit, const resync_figures& figures)
{
    if (digit == '1' && figures.running) {
        std::string message = "WARNING - Vornelix replica resyncing: " + std::to_string(figures.done);
        if (figures.todo != 0)
            message += " of " + std::to_string(figures.todo);
        message += " entries";
        message += " | done=" + std::to_string(figures.done);
        if (figures.todo != 0)
            message += " todo=" + std::to_string(figures.todo);
        return message + " bytes=" + std::to_string(figures.bytes) + "B";
    }
    return std::string(state_message(digit));
}

std::string progress_text(const resync_figures& figures)
{
    if (!figures.running)
        return "idle\n";
    std::string text = "resyncing: " + std::to_string(figures.done);
    if (figures.todo != 0)
        text += " of " + std::to_string(figures.todo);
    return text + " entries copied, " + std::to_string(figures.bytes) + " bytes\n";
}

char script_exit_digit(char digit) noexcept
{
    return digit >= '0' && digit <= '2' ? digit : '3';
}

size_t fill_check_script(char digit, const resync_figures& figures, off_t offset, size_t size,
                         char* buffer) noexcept
{
    try {
        return fill_script(check_message(digit, figures), script_exit_digit(digit), offset, size, buffer);
    } catch (...) {
        // Without memory for the figures, the state alone.
        return fill_script(state_message(digit), script_exit_digit(digit), offset, size, buffer);
    }
}

size_t fill_daemon_gone_script(off_t offset, size_t size, char* buffer) noexcept
{
    return fill_script(gone_text, '2', offset, size, buffer);
}
