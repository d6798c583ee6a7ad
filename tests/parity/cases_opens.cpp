// Opening: directories, creation with a read-only mode, descriptors that
// outlive their mode, writes that clear set-ID bits, FIFOs and devices.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "tests/parity/parity.h"

namespace parity {
namespace {

// Opens, writes one byte at the end and closes: three answers.
results append_byte(const char* path)
{
    const int fd = open(path, O_WRONLY | O_APPEND);
    const int opened = e(fd);
    const int written = e(write(fd, "x", 1));
    return {opened, written, e(close(fd))};
}

// fstat's size, or errno; sizes show as negative numbers.
int size_through(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? -static_cast<int>(st.st_size) : errno;
}

script alices_file(mode_t mode)
{
    return [=](const where& at) { return results{file(at, "f", mode, alice_id, alice_id)}; };
}

const script alices_dir = [](const where& at) { return results{dir(at, "p", 0755, alice_id, alice_id)}; };

}  // namespace

std::vector<parity_case> open_cases()
{
    return {
        {.name = "opendir_without_read_permission",
         .setup = [](const where& at) { return results{dir(at, "d", 0311, alice_id, alice_id)}; },
         .actor = bob,
         .action = [](const where& at) {
             return results{e(open(at("d"), O_RDONLY | O_DIRECTORY)), e(open(at("d"), O_PATH | O_DIRECTORY))};
         },
         .expected = {EACCES, 0}},
        {.name = "opendir_of_ones_own_directory_without_read_permission",
         .setup = [](const where& at) { return results{dir(at, "d", 0311, alice_id, alice_id)}; },
         .actor = alice,
         .action = [](const where& at) { return results{e(open(at("d"), O_RDONLY | O_DIRECTORY))}; },
         .expected = {EACCES}},
        {.name = "descriptor_for_writing_works_whatever_the_mode",
         .setup = alices_dir,
         .actor = alice,
         .action = [](const where& at) {
             const int fd = open(at("p/f"), O_CREAT | O_WRONLY, 0444);
             return results{e(fd), e(write(fd, "abcdef", 6)), e(ftruncate(fd, 2)), e(fchmod(fd, 0600)),
                            e(ftruncate(fd, 4)), e(close(fd))};
         },
         .expected = {0, 0, 0, 0, 0, 0},
         .observed = {"p/f"}},
        {.name = "exclusive_create_with_a_read_only_mode",
         .setup = alices_dir,
         .actor = alice,
         .action = [](const where& at) {
             const int fd = open(at("p/f"), O_CREAT | O_WRONLY | O_EXCL, 0444);
             return results{e(fd), e(write(fd, "abc", 3)), e(close(fd)),
                            e(open(at("p/f"), O_CREAT | O_WRONLY | O_EXCL, 0444)),
                            e(open(at("p/f"), O_CREAT | O_WRONLY, 0444)), e(open(at("p/f"), O_RDONLY | O_TRUNC))};
         },
         .expected = {0, 0, 0, EEXIST, EACCES, EACCES},
         .observed = {"p/f"}},
        {.name = "exclusive_create_over_a_dangling_link",
         .setup = [](const where& at) { return results{link_to(at, "l", "nowhere", 0, 0)}; },
         .actor = root,
         .action = [](const where& at) { return results{e(open(at("l"), O_CREAT | O_WRONLY | O_EXCL, 0644))}; },
         .expected = {EEXIST},
         .observed = {"l", "nowhere"}},
        {.name = "create_in_another_users_directory",
         .setup = alices_dir,
         .actor = bob,
         .action = [](const where& at) { return results{e(open(at("p/f"), O_CREAT | O_WRONLY, 0644))}; },
         .expected = {EACCES},
         .observed = {"p/f"}},
        {.name = "read_only_descriptor_cannot_truncate",
         .setup = alices_file(0644),
         .actor = alice,
         .action = [](const where& at) {
             const int fd = open(at("f"), O_RDONLY);
             return results{e(fd), e(ftruncate(fd, 1)), e(write(fd, "x", 1))};
         },
         .expected = {0, EINVAL, EBADF},
         .observed = {"f"}},
        {.name = "fallocate_and_fsync_of_a_directory",
         .setup = [](const where& at) {
             return results{dir(at, "p", 0755, alice_id, alice_id), file(at, "p/f", 0644, alice_id, alice_id)};
         },
         .actor = alice,
         .action = [](const where& at) {
             const int fd = open(at("p/f"), O_WRONLY), reader = open(at("p/f"), O_RDONLY);
             const int dir_fd = open(at("p"), O_RDONLY | O_DIRECTORY);
             return results{e(fd),        e(fallocate(fd, 0, 0, 100)), e(fallocate(reader, 0, 0, 200)),
                            e(fsync(fd)), e(dir_fd),                   e(fsync(dir_fd)),
                            e(fdatasync(dir_fd))};
         },
         .expected = {0, 0, EBADF, 0, 0, 0, 0},
         .observed = {"p/f"}},
        {.name = "descriptor_of_a_removed_file_still_works",
         .setup = alices_dir,
         .actor = alice,
         .action = [](const where& at) {
             const int fd = open(at("p/f"), O_CREAT | O_RDWR, 0600);
             return results{e(fd),          e(unlink(at("p/f"))),   e(write(fd, "abcdef", 6)),
                            size_through(fd), e(ftruncate(fd, 2)), size_through(fd),
                            e(pread(fd, std::array<char, 8>().data(), 8, 0)), e(close(fd))};
         },
         .expected = {0, 0, 0, -6, 0, -2, 0, 0},
         .observed = {"p/f"}},
        {.name = "write_by_a_non_owner_clears_set_user_id",
         .setup = alices_file(04777),
         .actor = bob,
         .action = [](const where& at) { return append_byte(at("f")); },
         .expected = {0, 0, 0},
         .observed = {"f"}},
        {.name = "write_by_a_non_owner_clears_set_group_id",
         .setup = alices_file(02777),
         .actor = bob,
         .action = [](const where& at) { return append_byte(at("f")); },
         .expected = {0, 0, 0},
         .observed = {"f"}},
        // Without group execute the bit goes only for a writer outside
        // the file's group; the kernel asks a FUSE daemon to clear it only
        // with group execute, so the daemon must see to this one itself.
        {.name = "write_by_a_non_member_clears_set_group_id_without_group_execute",
         .setup = alices_file(02666),
         .actor = bob,
         .action = [](const where& at) { return append_byte(at("f")); },
         .expected = {0, 0, 0},
         .observed = {"f"}},
        {.name = "write_by_a_member_keeps_set_group_id_without_group_execute",
         .setup = [](const where& at) { return results{file(at, "f", 02666, bob_id, given)}; },
         .actor = alice,
         .action = [](const where& at) { return append_byte(at("f")); },
         .expected = {0, 0, 0},
         .observed = {"f"}},
        {.name = "write_by_the_owner_clears_set_user_id",
         .setup = alices_file(06755),
         .actor = alice,
         .action = [](const where& at) { return append_byte(at("f")); },
         .expected = {0, 0, 0},
         .observed = {"f"}},
        {.name = "write_by_root_keeps_set_user_id",
         .setup = alices_file(06755),
         .actor = root,
         .action = [](const where& at) { return append_byte(at("f")); },
         .expected = {0, 0, 0},
         .observed = {"f"}},
        {.name = "truncate_by_a_non_member_clears_set_group_id_without_group_execute",
         .setup = alices_file(02666),
         .actor = bob,
         .action = [](const where& at) { return results{e(truncate(at("f"), 3))}; },
         .expected = {0},
         .observed = {"f"}},
        {.name = "truncate_by_a_non_owner_clears_set_user_id",
         .setup = alices_file(04777),
         .actor = bob,
         .action = [](const where& at) { return results{e(truncate(at("f"), 3))}; },
         .expected = {0},
         .observed = {"f"}},
        {.name = "fifo_of_another_user",
         .setup = [](const where& at) { return results{fifo(at, "p", 0600, alice_id, alice_id)}; },
         .actor = bob,
         .action = [](const where& at) {
             return results{e(open(at("p"), O_RDONLY | O_NONBLOCK)), e(open(at("p"), O_WRONLY | O_NONBLOCK))};
         },
         .expected = {EACCES, EACCES}},
        {.name = "fifo_of_ones_own",
         .setup = [](const where& at) { return results{fifo(at, "p", 0600, alice_id, alice_id)}; },
         .actor = alice,
         .action = [](const where& at) {
             return results{e(open(at("p"), O_RDONLY | O_NONBLOCK)), e(open(at("p"), O_WRONLY | O_NONBLOCK))};
         },
         .expected = {0, 0}},
        {.name = "device_of_another_user",
         .setup = [](const where& at) { return results{device(at, "null", 0600, 0, 0, makedev(1, 3))}; },
         .actor = bob,
         .action = [](const where& at) { return results{e(open(at("null"), O_RDONLY))}; },
         .expected = {EACCES},
         .observed = {"null"}},
        {.name = "device_open_to_everyone",
         .setup = [](const where& at) { return results{device(at, "null", 0666, 0, 0, makedev(1, 3))}; },
         .actor = alice,
         .action = [](const where& at) { return results{e(open(at("null"), O_WRONLY))}; },
         .expected = {EACCES},
         .observed = {"null"}},
    };
}

}  // namespace parity
