// The supplementary groups that count are those of the calling process,
// as the kernel uses them: a group given with setgroups counts, one only
// listed in the group database does not.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "tests/parity/parity.h"

namespace parity {
namespace {

int look(const char* path)
{
    struct stat st;
    return e(lstat(path, &st));
}

}  // namespace

std::vector<parity_case> group_cases()
{
    const script private_dir = [](const where& at) {
        return results{dir(at, "d", 0770, 0, given), file(at, "d/f", 0644, 0, 0)};
    };
    return {
        {.name = "group_given_with_setgroups_grants_reading",
         .setup = [](const where& at) { return results{file(at, "f", 0640, 0, given)}; },
         .actor = alice,
         .action = [](const where& at) { return results{e(open(at("f"), O_RDONLY)), e(open(at("f"), O_WRONLY))}; },
         .expected = {0, EACCES}},
        {.name = "group_only_in_the_database_grants_nothing",
         .setup = [](const where& at) { return results{file(at, "f", 0660, 0, listed)}; },
         .actor = alice,
         .action = [](const where& at) { return results{e(open(at("f"), O_RDONLY)), e(open(at("f"), O_WRONLY))}; },
         .expected = {EACCES, EACCES}},
        {.name = "group_only_in_the_database_opens_no_directory",
         .setup = [](const where& at) { return results{dir(at, "d", 0770, 0, listed), file(at, "d/f", 0644, 0, 0)}; },
         .actor = bob,
         .action = [](const where& at) { return results{look(at("d/f")), e(mkdir(at("d/x"), 0755))}; },
         .expected = {EACCES, EACCES},
         .observed = {"d/x"}},
        {.name = "group_given_with_setgroups_searches_and_writes_a_directory",
         .setup = private_dir,
         .actor = alice,
         .action = [](const where& at) { return results{look(at("d/f")), e(mkdir(at("d/x"), 0750))}; },
         .expected = {0, 0},
         .observed = {"d/x"}},
        {.name = "user_without_the_given_group_stays_out",
         .setup = private_dir,
         .actor = bob,
         .action = [](const where& at) { return results{look(at("d/f")), e(mkdir(at("d/x"), 0750))}; },
         .expected = {EACCES, EACCES},
         .observed = {"d/x"}},
        {.name = "group_class_refuses_though_others_may",
         .setup = [](const where& at) { return results{file(at, "f", 0606, 0, given)}; },
         .actor = alice,
         .action = [](const where& at) { return results{e(open(at("f"), O_RDONLY))}; },
         .expected = {EACCES}},
        {.name = "others_class_applies_outside_the_group",
         .setup = [](const where& at) { return results{file(at, "f", 0606, 0, given)}; },
         .actor = bob,
         .action = [](const where& at) { return results{e(open(at("f"), O_RDWR))}; },
         .expected = {0}},
        {.name = "owner_class_refuses_though_the_group_may",
         .setup = [](const where& at) { return results{file(at, "f", 0066, alice_id, given)}; },
         .actor = alice,
         .action = [](const where& at) { return results{e(open(at("f"), O_RDONLY))}; },
         .expected = {EACCES}},
    };
}

}  // namespace parity
