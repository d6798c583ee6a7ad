// Changes of names: rename, hard links, sticky directories, directories
// without write or search permission, and access().
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tests/parity/parity.h"

namespace parity {
namespace {

int create(const char* path)
{
    const int fd = open(path, O_WRONLY | O_CREAT, 0644);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

int look(const char* path)
{
    struct stat st;
    return e(lstat(path, &st));
}

const script two_parents = [](const where& at) {
    return results{dir(at, "p", 0755, alice_id, alice_id), dir(at, "p/d", 0555, alice_id, alice_id),
                   dir(at, "p/q", 0755, alice_id, alice_id), file(at, "p/f", 0444, alice_id, alice_id)};
};

script shared_dir_with(mode_t mode)
{
    return [=](const where& at) {
        return results{dir(at, "p", 0777, 0, 0), file(at, "p/f", mode, alice_id, alice_id)};
    };
}

script sticky_dir_of(uid_t owner)
{
    return [=](const where& at) {
        return results{dir(at, "t", 01777, owner, owner), file(at, "t/f", 0666, alice_id, alice_id),
                       dir(at, "t/d", 0777, alice_id, alice_id), file(at, "t/b", 0666, bob_id, bob_id)};
    };
}

script closed_dir(mode_t mode)
{
    return [=](const where& at) {
        return results{dir(at, "d", mode, alice_id, alice_id), file(at, "d/f", 0644, alice_id, alice_id),
                       dir(at, "d/s", 0755, alice_id, alice_id)};
    };
}

// Every way of changing a name in d, then a lookup.
results change_names_in_d(const where& at)
{
    return {e(mkdir(at("d/x"), 0755)), e(mknod(at("d/p"), S_IFIFO | 0644, 0)), e(symlink("f", at("d/l"))),
            e(unlink(at("d/f"))),      e(rmdir(at("d/s"))),                    create(at("d/n")),
            e(link(at("d/f"), at("d/h"))), e(rename(at("d/f"), at("d/g"))),    look(at("d/f"))};
}

const std::vector<std::string> names_in_d = {"d/f", "d/s", "d/x", "d/p", "d/l", "d/n", "d/h", "d/g"};

results access_all(const char* path)
{
    return {e(access(path, F_OK)), e(access(path, R_OK)), e(access(path, W_OK)), e(access(path, X_OK))};
}

}  // namespace

std::vector<parity_case> namespace_cases()
{
    return {
        // Requests reach names through directories they used before: a
        // directory moved, removed or made again under an old name must
        // never be reached at a name it no longer has.
        {.name = "names_follow_directories_moved_removed_and_made_again",
         .setup = [](const where& at) {
             return results{dir(at, "p", 0755, alice_id, alice_id), dir(at, "p/a", 0755, alice_id, alice_id),
                            file(at, "p/a/f", 0644, alice_id, alice_id), dir(at, "p/c", 0755, alice_id, alice_id),
                            file(at, "p/c/g", 0644, alice_id, alice_id)};
         },
         .actor = alice,
         .action = [](const where& at) {
             return results{look(at("p/a/f")), e(rename(at("p/a"), at("p/b"))), look(at("p/a/f")),
                            look(at("p/b/f")), e(mkdir(at("p/a"), 0700)), create(at("p/a/h")),
                            look(at("p/a/f")), e(rename(at("p/c"), at("p/a/c"))), look(at("p/c/g")),
                            look(at("p/a/c/g")), e(unlink(at("p/b/f"))), e(rmdir(at("p/b"))),
                            e(mkdir(at("p/b"), 0750)), look(at("p/b/f")), create(at("p/b/i")),
                            e(rename(at("p/a"), at("p/b"))), look(at("p/a/h")), look(at("p/b/c/g"))};
         },
         .expected = {0, 0, ENOENT, 0, 0, 0, ENOENT, 0, ENOENT, 0, 0, 0, 0, ENOENT, 0, ENOTEMPTY, 0, ENOENT},
         .observed = {"p/a", "p/a/h", "p/a/c", "p/a/c/g", "p/b", "p/b/i", "p/b/f"}},
        {.name = "directory_renamed_within_its_parent_needs_no_write_on_itself",
         .setup = two_parents,
         .actor = alice,
         .action = [](const where& at) { return results{e(rename(at("p/d"), at("p/e")))}; },
         .expected = {0},
         .observed = {"p/d", "p/e"}},
        {.name = "directory_moved_to_another_parent_needs_write_on_itself",
         .setup = two_parents,
         .actor = alice,
         .action = [](const where& at) { return results{e(rename(at("p/d"), at("p/q/d")))}; },
         .expected = {EACCES},
         .observed = {"p/d", "p/q/d"}},
        {.name = "file_moved_to_another_parent_needs_no_write_on_itself",
         .setup = two_parents,
         .actor = alice,
         .action = [](const where& at) { return results{e(rename(at("p/f"), at("p/q/f")))}; },
         .expected = {0},
         .observed = {"p/f", "p/q/f"}},
        {.name = "rename_out_of_a_directory_without_write",
         .setup = two_parents,
         .actor = alice,
         .action = [](const where& at) {
             return results{e(chmod(at("p"), 0555)), e(rename(at("p/f"), at("p/g"))),
                            e(rename(at("p/q"), at("p/r")))};
         },
         .expected = {0, EACCES, EACCES},
         .observed = {"p/f", "p/g", "p/q", "p/r"}},
        // With fs.protected_hardlinks = 1 (the kernel's answers depend on
        // it) a user may link only to files he owns or may read and write.
        {.name = "hard_link_to_another_users_private_file",
         .setup = shared_dir_with(0600),
         .actor = bob,
         .action = [](const where& at) { return results{e(link(at("p/f"), at("p/h")))}; },
         .expected = {EPERM},
         .observed = {"p/f", "p/h"}},
        {.name = "hard_link_to_another_users_file_others_may_only_read",
         .setup = shared_dir_with(0644),
         .actor = bob,
         .action = [](const where& at) { return results{e(link(at("p/f"), at("p/h")))}; },
         .expected = {EPERM},
         .observed = {"p/f", "p/h"}},
        {.name = "hard_link_to_another_users_file_others_may_write",
         .setup = shared_dir_with(0666),
         .actor = bob,
         .action = [](const where& at) { return results{e(link(at("p/f"), at("p/h")))}; },
         .expected = {0},
         .observed = {"p/f", "p/h"}},
        {.name = "hard_link_to_ones_own_private_file",
         .setup = shared_dir_with(0600),
         .actor = alice,
         .action = [](const where& at) { return results{e(link(at("p/f"), at("p/h")))}; },
         .expected = {0},
         .observed = {"p/f", "p/h"}},
        {.name = "hard_link_by_root_to_a_private_file",
         .setup = shared_dir_with(0600),
         .actor = root,
         .action = [](const where& at) { return results{e(link(at("p/f"), at("p/h")))}; },
         .expected = {0},
         .observed = {"p/f", "p/h"}},
        {.name = "sticky_directory_keeps_others_from_removing_or_renaming",
         .setup = sticky_dir_of(0),
         .actor = bob,
         .action = [](const where& at) {
             return results{e(unlink(at("t/f"))), e(rename(at("t/f"), at("t/g"))), e(rmdir(at("t/d"))),
                            e(rename(at("t/b"), at("t/f")))};
         },
         .expected = {EPERM, EPERM, EPERM, EPERM},
         .observed = {"t/f", "t/g", "t/d", "t/b"}},
        {.name = "sticky_directory_lets_the_owner_of_the_file",
         .setup = sticky_dir_of(0),
         .actor = alice,
         .action = [](const where& at) {
             return results{e(rename(at("t/f"), at("t/g"))), e(unlink(at("t/g"))), e(rmdir(at("t/d")))};
         },
         .expected = {0, 0, 0},
         .observed = {"t/f", "t/g", "t/d"}},
        {.name = "sticky_directory_lets_the_owner_of_the_directory",
         .setup = sticky_dir_of(bob_id),
         .actor = bob,
         .action = [](const where& at) {
             return results{e(rename(at("t/f"), at("t/g"))), e(unlink(at("t/g"))), e(rmdir(at("t/d")))};
         },
         .expected = {0, 0, 0},
         .observed = {"t/f", "t/g", "t/d"}},
        {.name = "sticky_directory_lets_root",
         .setup = sticky_dir_of(bob_id),
         .actor = root,
         .action = [](const where& at) { return results{e(unlink(at("t/f"))), e(rmdir(at("t/d")))}; },
         .expected = {0, 0},
         .observed = {"t/f", "t/d"}},
        {.name = "directory_without_write_permission",
         .setup = closed_dir(0555),
         .actor = alice,
         .action = change_names_in_d,
         .expected = {EACCES, EACCES, EACCES, EACCES, EACCES, EACCES, EACCES, EACCES, 0},
         .observed = names_in_d},
        {.name = "directory_without_search_permission",
         .setup = closed_dir(0666),
         .actor = alice,
         .action = change_names_in_d,
         .expected = {EACCES, EACCES, EACCES, EACCES, EACCES, EACCES, EACCES, EACCES, EACCES},
         .observed = names_in_d},
        {.name = "root_ignores_the_modes_of_a_directory",
         .setup = closed_dir(0),
         .actor = root,
         .action = change_names_in_d,
         .expected = {0, 0, 0, 0, 0, 0, ENOENT, ENOENT, ENOENT},
         .observed = names_in_d},
        {.name = "access_for_another_user",
         .setup = [](const where& at) { return results{file(at, "f", 0640, alice_id, alice_id)}; },
         .actor = bob,
         .action = [](const where& at) { return access_all(at("f")); },
         .expected = {0, EACCES, EACCES, EACCES}},
        {.name = "access_for_the_owner",
         .setup = [](const where& at) { return results{file(at, "f", 0640, alice_id, alice_id)}; },
         .actor = alice,
         .action = [](const where& at) { return access_all(at("f")); },
         .expected = {0, 0, 0, EACCES}},
        {.name = "access_through_a_group_given_with_setgroups",
         .setup = [](const where& at) { return results{file(at, "f", 0650, 0, given)}; },
         .actor = alice,
         .action = [](const where& at) { return access_all(at("f")); },
         .expected = {0, 0, EACCES, 0}},
        {.name = "access_through_a_group_only_the_database_lists",
         .setup = [](const where& at) { return results{file(at, "f", 0670, 0, listed)}; },
         .actor = alice,
         .action = [](const where& at) { return access_all(at("f")); },
         .expected = {0, EACCES, EACCES, EACCES}},
        {.name = "access_for_root",
         .setup = [](const where& at) {
             return results{file(at, "nobody_runs", 0644, alice_id, alice_id),
                            file(at, "others_run", 0001, alice_id, alice_id), dir(at, "d", 0, alice_id, alice_id)};
         },
         .actor = root,
         .action = [](const where& at) {
             results r = access_all(at("nobody_runs"));
             for (int v : access_all(at("others_run")))
                 r.push_back(v);
             r.push_back(e(access(at("d"), R_OK | W_OK | X_OK)));
             return r;
         },
         .expected = {0, 0, 0, EACCES, 0, 0, 0, 0, 0}},
    };
}

}  // namespace parity
