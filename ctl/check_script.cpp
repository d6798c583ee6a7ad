#include "ctl/check_script.h"

#include <algorithm>
#include <array>
#include <cstring>

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
    "      echo                                                     \n"
    "      exit  \n"
    "      ;;\n"
    "esac\n";

static_assert(template_text.size() == 618);
static_assert(template_text.substr(script_message_field - 5, 5) == "echo ");
static_assert(template_text.substr(script_message_field, status_text_width) ==
              std::string_view("                                                    "));
static_assert(template_text[script_message_field + status_text_width] == '\n');
static_assert(template_text.substr(script_exit_field - 5, 7) == "exit  \n");

constexpr std::string_view texts[] = {
    "OK - Vornelix replica enabled                       ",
    "WARNING - Vornelix replica enabled, but inconsistent",
    "CRITICAL - Vornelix replica disabled                ",
    "UNKNOWN - Vornelix replica state not recognised     ",
};
static_assert(texts[0].size() == status_text_width && texts[1].size() == status_text_width &&
              texts[2].size() == status_text_width && texts[3].size() == status_text_width);

constexpr size_t unknown_text = 3;

constexpr std::string_view gone_text = "CRITICAL - Vornelix daemon not answering            ";
static_assert(gone_text.size() == status_text_width);

size_t fill_script(std::string_view text, char exit_digit, off_t offset, size_t size, char* buffer) noexcept
{
    if (offset < 0 || static_cast<size_t>(offset) >= template_text.size())
        return 0;
    // A private copy per read: concurrent reads of different replicas never
    // see each other's fields.
    std::array<char, template_text.size()> script;
    std::copy(template_text.begin(), template_text.end(), script.begin());
    std::copy(text.begin(), text.end(), script.begin() + script_message_field);
    script[script_exit_field] = exit_digit;

    const size_t count = std::min(size, script.size() - static_cast<size_t>(offset));
    memcpy(buffer, script.data() + offset, count);
    return count;
}

}  // namespace

const std::string_view check_script_template = template_text;

std::string_view status_text(char digit) noexcept
{
    if (digit >= '0' && digit <= '2')
        return texts[digit - '0'];
    return texts[unknown_text];
}

char script_exit_digit(char digit) noexcept
{
    return digit >= '0' && digit <= '2' ? digit : '3';
}

size_t fill_check_script(char digit, off_t offset, size_t size, char* buffer) noexcept
{
    return fill_script(status_text(digit), script_exit_digit(digit), offset, size, buffer);
}

size_t fill_daemon_gone_script(off_t offset, size_t size, char* buffer) noexcept
{
    return fill_script(gone_text, '2', offset, size, buffer);
}
