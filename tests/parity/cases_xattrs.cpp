// Extended attributes and access control lists. Every namespace of the
// tree (user., security., trusted., the lists) behaves as on a local file
// system, the kernel deciding who may do what and checking the lists
// itself; the replica records (trusted.vornelix.*) are neither seen nor
// changed through the mount, by anyone. The attributes compared after
// each case carry the lists and the other values too.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/parity/parity.h"
#include "tests/support/acl_value.h"

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

// Every name listed, sorted, joined by commas.
int names_are(const char* path, const std::string& expected)
{
    char names[1024];
    const ssize_t size = llistxattr(path, names, sizeof names);
    if (size < 0)
        return errno;
    std::vector<std::string> found;
    for (ssize_t at = 0; at < size; at += std::strlen(names + at) + 1)
        found.emplace_back(names + at);
    std::sort(found.begin(), found.end());
    std::string joined;
    for (const std::string& name : found)
        joined += (joined.empty() ? "" : ",") + name;
    return joined == expected ? 0 : wrong_value;
}

// An access control list given as getfacl-like text (acl_value.h).
int set_acl(const char* path, const char* name, const char* text)
{
    const std::string value = acl_value(text);
    return e(lsetxattr(path, name, value.data(), value.size(), 0));
}
int set_access_acl(const char* path, const char* text)
{
    return set_acl(path, "system.posix_acl_access", text);
}
int set_default_acl(const char* path, const char* text)
{
    return set_acl(path, "system.posix_acl_default", text);
}

int can_open(const char* path, int flags)
{
    const int fd = open(path, flags);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

int write_one_byte(const char* path)
{
    const int fd = open(path, O_WRONLY);
    if (fd < 0)
        return errno;
    const int rc = e(write(fd, "x", 1));
    close(fd);
    return rc;
}

// A file capability (cap_net_bind_service=ep), as setcap stores it.
const std::string capability("\x01\x00\x00\x02\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 20);

int set_capability(const char* path)
{
    return e(lsetxattr(path, "security.capability", capability.data(), capability.size(), 0));
}

script file_with_capability(mode_t mode)
{
    return [=](const where& at) { return results{file(at, "f", mode, 0, 0), set_capability(at("f"))}; };
}

// A file alice owns, group alice, readable by bob through a list only.
script file_with_access_acl(mode_t mode, const char* list)
{
    return [=](const where& at) {
        return results{file(at, "f", mode, alice_id, alice_id), set_access_acl(at("f"), list)};
    };
}

// Directories with a default list ("d") and without ("plain"), alice's.
script directories_with_and_without_default_acl()
{
    return [](const where& at) {
        return results{dir(at, "d", 0775, alice_id, alice_id),
                       set_default_acl(at("d"), "u::rwx,u:1002:rx,g::rwx,m::rwx,o::-"),
                       dir(at, "plain", 0777, alice_id, alice_id)};
    };
}

const char* const records_reserved =
    "the replica records are the daemon's own: no one, root included, changes them through the mount";

script file_with_attribute(mode_t mode)
{
    return [=](const where& at) {
        return results{file(at, "f", mode, alice_id, alice_id), set(at("f"), "user.a", "1")};
    };
}

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
         .observed = {"f"}},
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
         .observed = {"f"}},
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
        {.name = "access_acl_grants_another_user_what_the_mode_denies",
         .setup = file_with_access_acl(0600, "u::rw,u:1002:r,g::-,m::r,o::-"),
         .actor = bob,
         .action = [](const where& at) {
             return results{can_open(at("f"), O_RDONLY), can_open(at("f"), O_WRONLY), names_are(at("f"), "system.posix_acl_access")};
         },
         .expected = {0, EACCES, 0},
         .observed = {"f"}},
        {.name = "access_acl_denies_a_named_user_what_group_and_other_allow",
         .setup = [](const where& at) {
             return results{file(at, "f", 0644, alice_id, alice_id), set_access_acl(at("f"), "u::rw,u:1002:-,g::r,m::r,o::r"),
                            dir(at, "d", 0755, alice_id, alice_id), file(at, "d/x", 0644, alice_id, alice_id),
                            set_access_acl(at("d"), "u::rwx,u:1002:-,g::rx,m::rx,o::rx")};
         },
         .actor = bob,
         .action = [](const where& at) {
             return results{can_open(at("f"), O_RDONLY), can_open(at("d/x"), O_RDONLY), can_open(at("d"), O_RDONLY)};
         },
         .expected = {EACCES, EACCES, EACCES},
         .observed = {"f", "d", "d/x"}},
        {.name = "default_acl_is_inherited_and_the_umask_counts_only_without_one",
         .setup = directories_with_and_without_default_acl(),
         .actor = alice,
         .action = [](const where& at) {
             umask(027);
             return results{create(at("d/f"), 0666),   e(mkdir(at("d/s"), 0777)),  e(mknod(at("d/p"), S_IFIFO | 0666, 0)),
                            create(at("d/s/g"), 0640), create(at("plain/f"), 0666), e(mkdir(at("plain/s"), 0777))};
         },
         .expected = {0, 0, 0, 0, 0, 0},
         .observed = {"d", "d/f", "d/s", "d/p", "d/s/g", "plain/f", "plain/s"}},
        {.name = "set_id_creates_keep_the_mask_an_inherited_list_narrowed",
         .setup = [](const where& at) {
             return results{dir(at, "d", 0775, alice_id, alice_id),
                            set_default_acl(at("d"), "u::rwx,u:1002:rwx,g::rwx,m::rx,o::-")};
         },
         .actor = root,
         .action = [](const where& at) {
             umask(0);
             return results{create(at("d/f"), 02775), e(mkdir(at("d/s"), 02775)),
                            e(mknod(at("d/p"), S_IFIFO | 04775, 0))};
         },
         .expected = {0, 0, 0},
         .observed = {"d/f", "d/s", "d/p"}},
        {.name = "default_acl_set_and_removed_through_the_mount_between_creates",
         .setup = directories_with_and_without_default_acl(),
         .actor = alice,
         .action = [](const where& at) {
             umask(077);
             return results{create(at("plain/before"), 0666),
                            set_default_acl(at("plain"), "u::rwx,g::rx,o::r"),
                            create(at("plain/during"), 0666),
                            e(lremovexattr(at("plain"), "system.posix_acl_default")),
                            create(at("plain/after"), 0666)};
         },
         .expected = {0, 0, 0, 0, 0},
         .observed = {"plain", "plain/before", "plain/during", "plain/after"}},
        {.name = "chmod_after_an_acl_moves_its_mask",
         .setup = file_with_access_acl(0640, "u::rw,u:1002:rw,g::r,m::rw,o::-"),
         .actor = alice,
         .action = [](const where& at) { return results{e(chmod(at("f"), 0604))}; },
         .expected = {0},
         .observed = {"f"}},
        {.name = "chmod_after_an_acl_is_what_the_kernel_checks_next",
         .setup = [](const where& at) {
             return results{file(at, "f", 0640, alice_id, alice_id), set_access_acl(at("f"), "u::rw,u:1002:rw,g::r,m::rw,o::-"),
                            e(chmod(at("f"), 0600))};
         },
         .actor = bob,
         .action = [](const where& at) { return results{can_open(at("f"), O_RDONLY)}; },
         .expected = {EACCES},
         .observed = {"f"}},
        {.name = "setting_an_acl_changes_the_mode_the_kernel_shows",
         .setup = [](const where& at) { return results{file(at, "f", 0600, alice_id, alice_id), e(chmod(at("f"), 0600))}; },
         .actor = alice,
         .action = [](const where& at) {
             struct stat before;
             return results{e(stat(at("f"), &before)), set_access_acl(at("f"), "u::rw,u:1002:r,g::r,m::rw,o::r")};
         },
         .expected = {0, 0},
         .observed = {"f"}},
        {.name = "file_capability_dropped_by_a_write_from_another_user",
         .setup = file_with_capability(0666),
         .actor = bob,
         .action = [](const where& at) {
             return results{value_is(at("f"), "security.capability", capability), write_one_byte(at("f")),
                            value_is(at("f"), "security.capability", capability)};
         },
         .expected = {0, 0, ENODATA},
         .observed = {"f"}},
        {.name = "access_acl_set_by_an_owner_outside_the_group_drops_set_group_id",
         .setup = [](const where& at) {
             return results{file(at, "f", 02775, alice_id, listed), dir(at, "d", 02775, alice_id, listed),
                            file(at, "mine", 02775, alice_id, alice_id)};
         },
         .actor = alice,
         .action = [](const where& at) {
             return results{set_access_acl(at("f"), "u::rwx,u:1002:r,g::rx,m::rx,o::rx"),
                            set_access_acl(at("d"), "u::rwx,u:1002:r,g::rx,m::rx,o::rx"),
                            set_access_acl(at("mine"), "u::rwx,u:1002:r,g::rx,m::rx,o::rx")};
         },
         .expected = {0, 0, 0},
         .observed = {"f", "d", "mine"}},
        {.name = "file_capability_set_after_writes_is_dropped_by_the_next",
         .setup = [](const where& at) {
             return results{file(at, "f", 0666, 0, 0), write_one_byte(at("f")), write_one_byte(at("f")),
                            set_capability(at("f"))};
         },
         .actor = bob,
         .action = [](const where& at) {
             return results{write_one_byte(at("f")), value_is(at("f"), "security.capability", capability)};
         },
         .expected = {0, ENODATA},
         .observed = {"f"}},
        {.name = "file_capability_dropped_by_a_write_from_root_too",
         .setup = file_with_capability(0644),
         .actor = root,
         .action = [](const where& at) {
             return results{names_are(at("f"), "security.capability"), write_one_byte(at("f")),
                            value_is(at("f"), "security.capability", capability), names_are(at("f"), "")};
         },
         .expected = {0, 0, ENODATA, 0},
         .observed = {"f"}},
        {.name = "trusted_attributes_listed_to_root_only",
         .setup = [](const where& at) {
             return results{file(at, "f", 0644, alice_id, alice_id), set(at("f"), "trusted.a", "1"), set(at("f"), "user.b", "2")};
         },
         .actor = root,
         .action = [](const where& at) { return results{names_are(at("f"), "trusted.a,user.b"), value_is(at("f"), "trusted.a", "1")}; },
         .expected = {0, 0},
         .observed = {"f"}},
        {.name = "trusted_attributes_unlisted_to_a_user",
         .setup = [](const where& at) {
             return results{file(at, "f", 0644, alice_id, alice_id), set(at("f"), "trusted.a", "1"), set(at("f"), "user.b", "2")};
         },
         .actor = alice,
         .action = [](const where& at) { return results{names_are(at("f"), "user.b"), value_is(at("f"), "trusted.a", "1")}; },
         .expected = {0, ENODATA},
         .observed = {"f"}},
        {.name = "replica_records_invisible_at_the_root_and_below",
         .setup = [](const where& at) { return results{dir(at, "d", 0755, 0, 0)}; },
         .actor = root,
         .action = [](const where& at) {
             return results{names_are(at(".."), ""),
                            value_is(at(".."), "trusted.vornelix.generation", ""),
                            value_is(at(".."), "trusted.vornelix.mounted", ""),
                            names_are(at("d"), ""),
                            set(at("d"), "trusted.vornelix.x", "1"),
                            e(lremovexattr(at("d"), "trusted.vornelix.x")),
                            set(at(".."), "trusted.vornelix.generation", "9"),
                            e(lremovexattr(at(".."), "trusted.vornelix.generation"))};
         },
         .expected = {0, ENODATA, ENODATA, 0, 0, 0, 0, 0},
         .observed = {"d"},
         .mount_differs = records_reserved,
         .on_mount = {0, ENODATA, ENODATA, 0, EPERM, EPERM, EPERM, EPERM}},
    };
}

}  // namespace parity
