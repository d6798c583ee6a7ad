#include "tests/support/acl_value.h"

#include <linux/posix_acl.h>
#include <linux/posix_acl_xattr.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr struct {
    char letter;
    uint16_t tag;
    bool named;
} tags[] = {{'u', ACL_USER_OBJ, false}, {'u', ACL_USER, true},  {'g', ACL_GROUP_OBJ, false},
            {'g', ACL_GROUP, true},     {'m', ACL_MASK, false}, {'o', ACL_OTHER, false}};

void put(std::string& out, uint32_t value, size_t bytes)
{
    for (size_t i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

uint32_t get(std::string_view in, size_t at, size_t bytes)
{
    uint32_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
        value |= static_cast<uint32_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
    return value;
}

}  // namespace

std::string acl_value(std::string_view text)
{
    std::string out;
    put(out, POSIX_ACL_XATTR_VERSION, 4);
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view entry = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const size_t first = entry.find(':'), second = entry.rfind(':');
        if (entry.empty() || first != 1 || second == first)
            return "";
        const std::string id(entry.substr(first + 1, second - first - 1));
        uint16_t tag = 0;
        for (const auto& t : tags)
            if (t.letter == entry[0] && t.named == !id.empty())
                tag = t.tag;
        uint16_t perm = 0;
        for (const char c : entry.substr(second + 1))
            perm |= c == 'r' ? ACL_READ : c == 'w' ? ACL_WRITE : c == 'x' ? ACL_EXECUTE : 0;
        if (tag == 0)
            return "";
        put(out, tag, 2);
        put(out, perm, 2);
        put(out, id.empty() ? static_cast<uint32_t>(ACL_UNDEFINED_ID) : std::strtoul(id.c_str(), nullptr, 10), 4);
    }
    return out;
}

std::string acl_text(std::string_view value)
{
    if (value.size() < 4 || (value.size() - 4) % 8 != 0 || get(value, 0, 4) != POSIX_ACL_XATTR_VERSION)
        return "?";
    std::string text;
    for (size_t at = 4; at < value.size(); at += 8) {
        const uint32_t tag = get(value, at, 2), perm = get(value, at + 2, 2), id = get(value, at + 4, 4);
        char letter = '?';
        bool named = false;
        for (const auto& t : tags)
            if (t.tag == tag) {
                letter = t.letter;
                named = t.named;
            }
        text += (text.empty() ? "" : ",") + std::string(1, letter) + ":" + (named ? std::to_string(id) : "") + ":" +
                ((perm & ACL_READ) ? "r" : "") + ((perm & ACL_WRITE) ? "w" : "") + ((perm & ACL_EXECUTE) ? "x" : "");
        if ((perm & 7) == 0)
            text += "-";
    }
    return text;
}
