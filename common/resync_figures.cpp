#include "common/resync_figures.h"

namespace {

// One decimal number, and the single space after it unless it ends the
// text; false for an empty field, another character or more than 64 bits.
bool take_number(std::string_view& text, uint64_t& value, bool last) noexcept
{
    size_t i = 0;
    value = 0;
    for (; i < text.size() && text[i] != ' '; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    if (i == 0 || (last ? i != text.size() : i == text.size()))
        return false;
    text.remove_prefix(last ? i : i + 1);
    return true;
}

}  // namespace

std::string format_resync_figures(const resync_figures& figures)
{
    if (!figures.running)
        return "idle";
    return "busy " + std::to_string(figures.done) + " " + std::to_string(figures.todo) + " " +
           std::to_string(figures.bytes);
}

bool parse_resync_figures(std::string_view reply, resync_figures& figures) noexcept
{
    figures = {};
    if (reply == "idle")
        return true;
    constexpr std::string_view busy = "busy ";
    if (reply.substr(0, busy.size()) != busy)
        return false;
    reply.remove_prefix(busy.size());
    resync_figures read;
    read.running = true;
    if (!take_number(reply, read.done, false) || !take_number(reply, read.todo, false) ||
        !take_number(reply, read.bytes, true))
        return false;
    figures = read;
    return true;
}
