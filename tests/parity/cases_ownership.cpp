// Owners and groups: who may give a file which owner or group, what
// chown does to a link, and the set-group-ID bit on files and directories.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tests/parity/parity.h"

namespace parity {
namespace {

constexpr uid_t keep = static_cast<uid_t>(-1);

script alices_file(mode_t mode, gid_t gid = alice_id)
{
    return [=](const where& at) { return results{file(at, "f", mode, alice_id, gid)}; };
}

const script links = [](const where& at) {
    return results{file(at, "f", 0644, alice_id, alice_id), link_to(at, "l", "f", alice_id, alice_id),
                   link_to(at, "dangling", "nowhere", alice_id, alice_id)};
};

const script setgid_dir = [](const where& at) { return results{dir(at, "sg", 02777, 0, given)}; };

}  // namespace

std::vector<parity_case> ownership_cases()
{
    return {
        {.name = "owner_gives_a_group_of_his_without_write_permission",
         .setup = alices_file(0444),
         .actor = alice,
         .action = [](const where& at) { return results{e(chown(at("f"), keep, given))}; },
         .expected = {0},
         .observed = {"f"}},
        {.name = "owner_may_not_give_a_group_only_the_database_lists",
         .setup = alices_file(0644),
         .actor = alice,
         .action = [](const where& at) { return results{e(chown(at("f"), keep, listed))}; },
         .expected = {EPERM},
         .observed = {"f"}},
        {.name = "owner_may_not_give_the_file_away",
         .setup = alices_file(0644),
         .actor = alice,
         .action = [](const where& at) {
             return results{e(chown(at("f"), bob_id, keep)), e(chown(at("f"), keep, bob_id))};
         },
         .expected = {EPERM, EPERM},
         .observed = {"f"}},
        {.name = "non_owner_chown_to_the_current_ids_is_refused",
         .setup = alices_file(0666),
         .actor = bob,
         .action = [](const where& at) {
             return results{e(chown(at("f"), alice_id, alice_id)), e(chown(at("f"), keep, alice_id))};
         },
         .expected = {EPERM, EPERM},
         .observed = {"f"}},
        {.name = "chown_minus_one_by_a_non_owner",
         .setup = alices_file(0644),
         .actor = bob,
         .action = [](const where& at) { return results{e(chown(at("f"), keep, keep))}; },
         .expected = {0},
         .observed = {"f"}},
        {.name = "chown_minus_one_by_the_owner_of_a_set_user_id_file",
         .setup = alices_file(04755),
         .actor = alice,
         .action = [](const where& at) { return results{e(chown(at("f"), keep, keep))}; },
         .expected = {0},
         .observed = {"f"}},
        {.name = "root_gives_a_file_away",
         .setup = alices_file(0644),
         .actor = root,
         .action = [](const where& at) { return results{e(chown(at("f"), bob_id, given))}; },
         .expected = {0},
         .observed = {"f"}},
        {.name = "root_chown_acts_on_the_link_itself",
         .setup = links,
         .actor = root,
         .action = [](const where& at) {
             return results{e(lchown(at("l"), bob_id, bob_id)), e(lchown(at("dangling"), bob_id, given))};
         },
         .expected = {0, 0},
         .observed = {"f", "l", "dangling"}},
        {.name = "owner_chgrp_of_his_links",
         .setup = links,
         .actor = alice,
         .action = [](const where& at) {
             return results{e(lchown(at("l"), keep, given)), e(lchown(at("dangling"), keep, given))};
         },
         .expected = {0, 0},
         .observed = {"f", "l", "dangling"}},
        {.name = "non_owner_chown_of_a_link",
         .setup = links,
         .actor = bob,
         .action = [](const where& at) {
             return results{e(lchown(at("l"), keep, bob_id)), e(lchown(at("dangling"), bob_id, keep))};
         },
         .expected = {EPERM, EPERM},
         .observed = {"f", "l", "dangling"}},
        {.name = "chmod_set_group_id_outside_the_files_group_clears_it",
         .setup = [](const where& at) {
             return results{file(at, "f", 0644, alice_id, listed), dir(at, "d", 0755, alice_id, listed)};
         },
         .actor = alice,
         .action = [](const where& at) { return results{e(chmod(at("f"), 02755)), e(chmod(at("d"), 02755))}; },
         .expected = {0, 0},
         .observed = {"f", "d"}},
        {.name = "chmod_set_group_id_inside_the_files_group_keeps_it",
         .setup = alices_file(0644, given),
         .actor = alice,
         .action = [](const where& at) { return results{e(chmod(at("f"), 02755))}; },
         .expected = {0},
         .observed = {"f"}},
        {.name = "root_chmod_set_group_id_keeps_it",
         .setup = alices_file(0644, listed),
         .actor = root,
         .action = [](const where& at) { return results{e(chmod(at("f"), 06755))}; },
         .expected = {0},
         .observed = {"f"}},
        {.name = "owner_chmod_without_write_permission",
         .setup = alices_file(0444),
         .actor = alice,
         .action = [](const where& at) { return results{e(chmod(at("f"), 0640))}; },
         .expected = {0},
         .observed = {"f"}},
        {.name = "non_owner_chmod_is_refused",
         .setup = alices_file(0666),
         .actor = bob,
         .action = [](const where& at) { return results{e(chmod(at("f"), 0777))}; },
         .expected = {EPERM},
         .observed = {"f"}},
        {.name = "set_group_id_directory_gives_its_group_to_a_member",
         .setup = setgid_dir,
         .actor = alice,
         .action = [](const where& at) {
             return results{create(at("sg/f"), 02755), e(mkdir(at("sg/s"), 0750)), e(mkfifo(at("sg/p"), 0640)),
                            e(symlink("f", at("sg/l")))};
         },
         .expected = {0, 0, 0, 0},
         .observed = {"sg/f", "sg/s", "sg/p", "sg/l"}},
        {.name = "set_group_id_directory_gives_its_group_to_a_non_member",
         .setup = setgid_dir,
         .actor = bob,
         .action = [](const where& at) {
             return results{create(at("sg/f"), 02755), e(mkdir(at("sg/s"), 0700)),
                            e(mkdir(at("sg/s/deeper"), 0700))};
         },
         .expected = {0, 0, 0},
         .observed = {"sg/f", "sg/s", "sg/s/deeper"}},
        {.name = "set_group_id_directory_gives_its_group_to_root",
         .setup = setgid_dir,
         .actor = root,
         .action = [](const where& at) { return results{create(at("sg/f"), 0640), e(mkdir(at("sg/s"), 0700))}; },
         .expected = {0, 0},
         .observed = {"sg/f", "sg/s"}},
    };
}

}  // namespace parity
