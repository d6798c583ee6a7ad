// Times: who may set them to now, who may set them to given values, and
// a side left out stays as it was; and what the kernel stamps itself: a
// new object, the directories whose entries change, a write or a
// truncation, and nothing else. Every case starts from objects whose
// times are both `early`.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "tests/parity/parity.h"

namespace parity {
namespace {

constexpr struct timespec now = {0, UTIME_NOW}, omit = {0, UTIME_OMIT};

script stamped_file(mode_t mode)
{
    return [=](const where& at) { return results{file(at, "f", mode, alice_id, alice_id), stamp(at, "f")}; };
}

int set_times(const char* path, struct timespec atime, struct timespec mtime)
{
    const struct timespec times[2] = {atime, mtime};
    return e(utimensat(AT_FDCWD, path, times, 0));
}

// Directories p and q open to everyone, a file p/f of alice's and an
// empty directory q/d, all stamped early.
results stamped_tree(const where& at)
{
    return {dir(at, "p", 0777, 0, 0),        dir(at, "q", 0777, 0, 0), file(at, "p/f", 0644, alice_id, alice_id),
            dir(at, "q/d", 0755, 0, 0),      stamp(at, "p/f"),         stamp(at, "q/d"),
            stamp(at, "p"),                  stamp(at, "q")};
}

parity_case stamps_case(const std::string& name, const script& action, const results& expected,
                        const std::vector<std::string>& observed)
{
    return {.name = name,
            .setup = stamped_tree,
            .actor = alice,
            .action = action,
            .expected = expected,
            .observed = observed,
            .times = true};
}

parity_case times_case(const std::string& name, mode_t mode, const identity& actor, const script& action,
                       const results& expected)
{
    return {.name = name,
            .setup = stamped_file(mode),
            .actor = actor,
            .action = action,
            .expected = expected,
            .observed = {"f"},
            .times = true};
}

}  // namespace

std::vector<parity_case> time_cases()
{
    return {
        times_case("now_by_a_non_owner_with_write_permission", 0666, bob,
                   [](const where& at) { return results{e(utimensat(AT_FDCWD, at("f"), nullptr, 0))}; }, {0}),
        times_case("now_as_a_pair_by_a_non_owner_with_write_permission", 0666, bob,
                   [](const where& at) { return results{set_times(at("f"), now, now)}; }, {0}),
        times_case("now_by_a_non_owner_without_write_permission", 0644, bob,
                   [](const where& at) {
                       return results{e(utimensat(AT_FDCWD, at("f"), nullptr, 0)), set_times(at("f"), now, now)};
                   },
                   {EACCES, EACCES}),
        times_case("given_times_by_a_non_owner_with_write_permission", 0666, bob,
                   [](const where& at) { return results{set_times(at("f"), later, later)}; }, {EPERM}),
        times_case("now_and_omit_by_a_non_owner_with_write_permission", 0666, bob,
                   [](const where& at) { return results{set_times(at("f"), now, omit)}; }, {EPERM}),
        times_case("both_omitted_by_a_non_owner", 0644, bob,
                   [](const where& at) { return results{set_times(at("f"), omit, omit)}; }, {0}),
        times_case("given_times_with_nanoseconds_by_the_owner_without_write", 0444, alice,
                   [](const where& at) { return results{set_times(at("f"), later, later)}; }, {0}),
        times_case("modification_time_only_like_touch_m", 0644, alice,
                   [](const where& at) { return results{set_times(at("f"), omit, now)}; }, {0}),
        times_case("access_time_only_like_touch_a", 0644, alice,
                   [](const where& at) { return results{set_times(at("f"), now, omit)}; }, {0}),
        times_case("given_access_time_only", 0644, alice,
                   [](const where& at) { return results{set_times(at("f"), later, omit)}; }, {0}),
        times_case("given_modification_time_through_a_descriptor", 0644, alice,
                   [](const where& at) {
                       const int fd = open(at("f"), O_WRONLY);
                       const struct timespec times[2] = {omit, later};
                       return results{e(fd), e(futimens(fd, times)), e(close(fd))};
                   },
                   {0, 0, 0}),
        times_case("given_times_by_root", 0600, root,
                   [](const where& at) { return results{set_times(at("f"), later, early)}; }, {0}),
        times_case("write_changes_the_modification_time", 0644, alice,
                   [](const where& at) {
                       const int fd = open(at("f"), O_WRONLY);
                       return results{e(fd), e(write(fd, "abc", 3)), e(close(fd))};
                   },
                   {0, 0, 0}),
        stamps_case("create_stamps_the_new_file_and_its_directory_only",
                    [](const where& at) {
                        const int fd = open(at("p/n"), O_CREAT | O_WRONLY, 0644);
                        return results{e(fd), e(close(fd))};
                    },
                    {0, 0}, {"p", "p/n", "p/f", "q"}),
        stamps_case("mkdir_symlink_and_fifo_stamp_themselves_and_their_directory",
                    [](const where& at) {
                        return results{e(mkdir(at("q/m"), 0755)), e(symlink("f", at("q/l"))),
                                       e(mkfifo(at("q/p"), 0644))};
                    },
                    {0, 0, 0}, {"p", "q", "q/m", "q/l", "q/p", "q/d"}),
        stamps_case("rename_stamps_both_directories_and_not_what_it_moves",
                    [](const where& at) { return results{e(rename(at("p/f"), at("q/g")))}; }, {0},
                    {"p", "q", "q/g"}),
        stamps_case("rename_within_a_directory_stamps_it_once",
                    [](const where& at) { return results{e(rename(at("p/f"), at("p/g")))}; }, {0},
                    {"p", "p/g", "q"}),
        stamps_case("link_stamps_the_new_names_directory_only",
                    [](const where& at) { return results{e(link(at("p/f"), at("q/h")))}; }, {0},
                    {"p", "q", "p/f"}),
        stamps_case("unlink_and_rmdir_stamp_their_directory",
                    [](const where& at) { return results{e(unlink(at("p/f"))), e(rmdir(at("q/d")))}; },
                    {0, 0}, {"p", "q"}),
        stamps_case("write_then_close_stamps_the_modification_time_only",
                    [](const where& at) {
                        const int fd = open(at("p/f"), O_WRONLY | O_APPEND);
                        return results{e(fd), e(write(fd, "abc", 3)), e(write(fd, "def", 3)), e(close(fd))};
                    },
                    {0, 0, 0, 0}, {"p", "p/f"}),
        stamps_case("truncations_stamp_the_modification_time_only",
                    [](const where& at) {
                        const int fd = open(at("p/f"), O_WRONLY);
                        return results{e(truncate(at("p/f"), 4)), stamp(at, "p/f"), e(fd), e(ftruncate(fd, 2)),
                                       e(close(fd))};
                    },
                    {0, 0, 0, 0, 0}, {"p", "p/f"}),
        {.name = "times_of_a_link_itself",
         .setup = [](const where& at) {
             return results{file(at, "f", 0644, alice_id, alice_id), stamp(at, "f"),
                            link_to(at, "l", "f", alice_id, alice_id), stamp(at, "l")};
         },
         .actor = alice,
         .action = [](const where& at) {
             const struct timespec times[2] = {later, later};
             return results{e(utimensat(AT_FDCWD, at("l"), times, AT_SYMLINK_NOFOLLOW))};
         },
         .expected = {0},
         .observed = {"f", "l"},
         .times = true},
    };
}

}  // namespace parity
