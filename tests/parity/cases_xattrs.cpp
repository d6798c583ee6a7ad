// Extended attributes. user.* behaves as on any local file system; the
// mount refuses every other namespace with EOPNOTSUPP, which differs from
// tmpfs only where the kernel would let the call reach tmpfs (root).
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

#include "tests/parity/parity.h"

namespace parity {
namespace {

// Answers for a value that was read but is not the one expected.
constexpr int wrong_value = 1000;

int set(const char* path, const char* name, const char* value, int flags = 0)
{
    return e(lsetxattr(path, name, value, std::strlen(value), flags));
}

int value_is(const char* path, const char* name, const std::string& expected)
{
    char value[256];
    const ssize_t size = lgetxattr(path, name, value, sizeof value);
    if (size < 0)
        return errno;
    return std::string(value, size) == expected ? 0 : wrong_value;
}

// The user.* names listed, in the order given, joined by commas.
int user_names_are(const char* path, const std::string& expected)
{
    char names[1024];
    const ssize_t size = llistxattr(path, names, sizeof names);
    if (size < 0)
        return errno;
    std::string found;
    for (ssize_t at = 0; at < size; at += std::strlen(names + at) + 1)
        if (std::strncmp(names + at, "user.", 5) == 0)
            found += (found.empty() ? "" : ",") + std::string(names + at);
    return found == expected ? 0 : wrong_value;
}

script file_with_attribute(mode_t mode)
{
    return [=](const where& at) {
        return results{file(at, "f", mode, alice_id, alice_id), set(at("f"), "user.a", "1")};
    };
}

const char* const refused_namespaces = "the mount serves the user.* namespace only";

}  // namespace

std::vector<parity_case> xattr_cases()
{
    return {
        {.name = "owner_sets_reads_lists_and_removes_user_attributes",
         .setup = [](const where& at) { return results{file(at, "f", 0444, alice_id, alice_id)}; },
         .actor = alice,
         .action = [](const where& at) {
             return results{
                 set(at("f"), "user.a", "1"),       set(at("f"), "user.a", "2", XATTR_CREATE),
                 set(at("f"), "user.b", "22", XATTR_REPLACE), set(at("f"), "user.a", "3", XATTR_REPLACE),
                 value_is(at("f"), "user.a", "3"),  user_names_are(at("f"), ""),
                 e(lremovexattr(at("f"), "user.a")), value_is(at("f"), "user.a", ""),
                 e(lremovexattr(at("f"), "user.a"))};
         },
         .expected = {EACCES, EACCES, EACCES, EACCES, ENODATA, 0, EACCES, ENODATA, EACCES},
         .observed = {"f"}},
        {.name = "owner_with_write_permission_keeps_user_attributes",
         .setup = [](const where& at) { return results{file(at, "f", 0644, alice_id, alice_id)}; },
         .actor = alice,
         .action = [](const where& at) {
             return results{set(at("f"), "user.a", "1"), set(at("f"), "user.a", "2", XATTR_CREATE),
                            set(at("f"), "user.b", "22", XATTR_REPLACE), set(at("f"), "user.b", "22"),
                            value_is(at("f"), "user.b", "22"), e(lremovexattr(at("f"), "user.a")),
                            user_names_are(at("f"), "user.b")};
         },
         .expected = {0, EEXIST, ENODATA, 0, 0, 0, 0},
         .observed = {"f"}},
        {.name = "non_owner_without_write_permission_reads_only",
         .setup = file_with_attribute(0644),
         .actor = bob,
         .action = [](const where& at) {
             return results{value_is(at("f"), "user.a", "1"), user_names_are(at("f"), "user.a"),
                            set(at("f"), "user.b", "2"), e(lremovexattr(at("f"), "user.a"))};
         },
         .expected = {0, 0, EACCES, EACCES},
         .observed = {"f"}},
        {.name = "non_owner_with_write_permission_changes_user_attributes",
         .setup = file_with_attribute(0666),
         .actor = bob,
         .action = [](const where& at) {
             return results{set(at("f"), "user.b", "2"), e(lremovexattr(at("f"), "user.a")),
                            user_names_are(at("f"), "user.b")};
         },
         .expected = {0, 0, 0},
         .observed = {"f"}},
        {.name = "non_owner_without_read_permission",
         .setup = file_with_attribute(0600),
         .actor = bob,
         .action = [](const where& at) {
             return results{value_is(at("f"), "user.a", "1"), user_names_are(at("f"), "user.a")};
         },
         .expected = {EACCES, 0}},
        {.name = "user_attributes_on_links_and_fifos",
         .setup = [](const where& at) {
             return results{file(at, "f", 0644, 0, 0), link_to(at, "l", "f", 0, 0), fifo(at, "p", 0666, 0, 0)};
         },
         .actor = root,
         .action = [](const where& at) {
             return results{set(at("l"), "user.a", "1"), value_is(at("l"), "user.a", "1"),
                            set(at("p"), "user.a", "1"), value_is(at("f"), "user.a", "1")};
         },
         .expected = {EPERM, ENODATA, EPERM, ENODATA},
         .observed = {"f", "l", "p"}},
        {.name = "trusted_attributes_for_root",
         .setup = [](const where& at) { return results{file(at, "f", 0644, alice_id, alice_id)}; },
         .actor = root,
         .action = [](const where& at) {
             return results{set(at("f"), "trusted.a", "1"), value_is(at("f"), "trusted.a", "1"),
                            e(lremovexattr(at("f"), "trusted.a"))};
         },
         .expected = {0, 0, 0},
         .observed = {"f"},
         .mount_differs = refused_namespaces,
         .on_mount = {EOPNOTSUPP, EOPNOTSUPP, EOPNOTSUPP}},
        {.name = "trusted_attributes_for_a_user",
         .setup = [](const where& at) { return results{file(at, "f", 0644, alice_id, alice_id)}; },
         .actor = alice,
         .action = [](const where& at) {
             return results{set(at("f"), "trusted.a", "1"), value_is(at("f"), "trusted.a", "1")};
         },
         .expected = {EPERM, ENODATA},
         .observed = {"f"}},
        {.name = "security_attributes_for_root",
         .setup = [](const where& at) { return results{file(at, "f", 0644, alice_id, alice_id)}; },
         .actor = root,
         .action = [](const where& at) {
             return results{set(at("f"), "security.a", "1"), value_is(at("f"), "security.a", "1")};
         },
         .expected = {0, 0},
         .observed = {"f"},
         .mount_differs = refused_namespaces,
         .on_mount = {EOPNOTSUPP, EOPNOTSUPP}},
        {.name = "security_attributes_for_the_owner",
         .setup = [](const where& at) { return results{file(at, "f", 0644, alice_id, alice_id)}; },
         .actor = alice,
         .action = [](const where& at) { return results{set(at("f"), "security.a", "1")}; },
         .expected = {EPERM},
         .observed = {"f"}},
        {.name = "unknown_namespace",
         .setup = [](const where& at) { return results{file(at, "f", 0644, alice_id, alice_id)}; },
         .actor = root,
         .action = [](const where& at) { return results{set(at("f"), "other.a", "1")}; },
         .expected = {EOPNOTSUPP},
         .observed = {"f"}},
    };
}

}  // namespace parity
