// What makes a file one file: every name of it is the same inode (number,
// data, attributes, locks), its number outlives the kernel's caches, a
// handle reopens it, a removed file lives on through its descriptors, and
// its holes are found where they are. Each step answers 0 or errno; a
// comparison that fails answers EDOM, and offsets are answered as found.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/parity/parity.h"

namespace parity {
namespace {

ino_t number_of(const char* path)
{
    struct stat st;
    return lstat(path, &st) == 0 ? st.st_ino : 0;
}

int same(bool equal)
{
    return equal ? 0 : EDOM;
}

// The kernel's caches of names and inodes dropped, as memory pressure
// does.
int drop_caches()
{
    std::ofstream out("/proc/sys/vm/drop_caches");
    out << "2\n";
    out.flush();
    return out ? 0 : EIO;
}

results hard_links_are_one_file(const where& at)
{
    results r;
    r.push_back(e(link(at("f"), at("h"))));
    r.push_back(same(number_of(at("f")) != 0 && number_of(at("f")) == number_of(at("h"))));
    // Written through one name, read at once through a descriptor of the
    // other opened before.
    const int reader = open(at("f"), O_RDONLY);
    const int writer = open(at("h"), O_WRONLY);
    r.push_back(e(pwrite(writer, "NEW", 3, 0)));
    char seen[4] = {};
    r.push_back(same(pread(reader, seen, 3, 0) == 3 && std::memcmp(seen, "NEW", 3) == 0));
    // A mode changed through one name shows at once through the other.
    r.push_back(e(chmod(at("h"), 0604)));
    struct stat st;
    r.push_back(same(lstat(at("f"), &st) == 0 && (st.st_mode & 07777) == 0604));
    // One lock for both names.
    r.push_back(e(flock(reader, LOCK_EX | LOCK_NB)));
    r.push_back(e(flock(writer, LOCK_EX | LOCK_NB)));
    close(reader);
    close(writer);
    return r;
}

results numbers_outlive_the_caches(const where& at)
{
    const ino_t file = number_of(at("d/f"));
    const ino_t dir = number_of(at("d"));
    const int dropped = drop_caches();
    return {dropped, same(file != 0 && number_of(at("d/f")) == file), same(number_of(at("d")) == dir)};
}

results a_removed_open_file_lives_on(const where& at)
{
    results r;
    const int fd = open(at("d/f"), O_RDWR);
    r.push_back(e(fd));
    r.push_back(e(unlink(at("d/f"))));
    r.push_back(e(rmdir(at("d"))));
    r.push_back(e(pwrite(fd, "after", 5, 0)));
    char seen[6] = {};
    r.push_back(same(pread(fd, seen, 5, 0) == 5 && std::strcmp(seen, "after") == 0));
    struct stat st;
    r.push_back(same(fstat(fd, &st) == 0 && st.st_nlink == 0 && st.st_size == 10));
    r.push_back(e(fchmod(fd, 0600)));
    r.push_back(same(fstat(fd, &st) == 0 && (st.st_mode & 07777) == 0600));
    r.push_back(e(ftruncate(fd, 2)));
    r.push_back(e(close(fd)));
    return r;
}

results holes_are_found(const where& at)
{
    const int fd = open(at("sparse"), O_RDWR | O_CREAT, 0644);
    if (fd < 0)
        return {errno};
    const std::string block(4096, 'x');
    results r;
    r.push_back(e(pwrite(fd, block.data(), block.size(), 0)));
    r.push_back(e(pwrite(fd, block.data(), block.size(), 1 << 20)));
    r.push_back(static_cast<int>(lseek(fd, 0, SEEK_HOLE)));
    r.push_back(static_cast<int>(lseek(fd, 4096, SEEK_DATA)));
    r.push_back(static_cast<int>(lseek(fd, 1 << 20, SEEK_HOLE)));
    r.push_back(e(lseek(fd, (1 << 20) + 4096, SEEK_DATA)));
    close(fd);
    return r;
}

// What a listing says of each entry (its inode number and type) is what a
// look at the entry says, whether the kernel took the attributes with the
// listing or looks each entry up, and after a change in the directory.
results listings_agree_with_lookups(const where& at)
{
    results r;
    r.push_back(e(link(at("d/f"), at("d/h"))));
    for (int pass = 0; pass < 2; ++pass) {
        DIR* dir = opendir(at("d"));
        if (dir == nullptr)
            return {errno};
        int entries = 0;
        bool agree = true;
        while (const struct dirent* entry = readdir(dir)) {
            ++entries;
            struct stat st;
            const std::string name = std::string("d/") + entry->d_name;
            agree = agree && lstat(at(name), &st) == 0 && st.st_ino == entry->d_ino &&
                    (entry->d_type == DT_UNKNOWN || static_cast<mode_t>(DTTOIF(entry->d_type)) == (st.st_mode & S_IFMT));
        }
        closedir(dir);
        r.push_back(entries);
        r.push_back(same(agree));
        r.push_back(e(rename(at("d/g"), at("d/f"))));
    }
    return r;
}

// A listing shows what the directory holds when it is read: a name made
// after opendir shows in the first read, in a read from the start again,
// and a position told is one to come back to.
results a_listing_is_read_when_it_is_read(const where& at)
{
    DIR* dir = opendir(at("d"));
    if (dir == nullptr)
        return {errno};
    results r;
    r.push_back(file(at, "d/new", 0644, 0, 0));
    const auto count = [dir] {
        int entries = 0;
        bool seen = false;
        while (const struct dirent* entry = readdir(dir)) {
            ++entries;
            seen = seen || std::strcmp(entry->d_name, "new") == 0;
        }
        return seen ? entries : -entries;
    };
    r.push_back(count());
    r.push_back(e(unlink(at("d/f"))));
    rewinddir(dir);
    r.push_back(count());
    rewinddir(dir);
    readdir(dir);
    const long position = telldir(dir);
    const struct dirent* next = readdir(dir);
    const std::string expected = next != nullptr ? next->d_name : "";
    readdir(dir);
    seekdir(dir, position);
    next = readdir(dir);
    r.push_back(same(next != nullptr && expected == next->d_name));
    closedir(dir);
    return r;
}

results a_handle_reopens_the_file(const where& at)
{
    struct {
        struct file_handle head;
        unsigned char bytes[MAX_HANDLE_SZ];
    } handle;
    handle.head.handle_bytes = MAX_HANDLE_SZ;
    int mount_id = 0;
    results r;
    // The file held open from before its handle is made (the mount's
    // handles reopen only a file the kernel still holds), and its
    // directory, as an NFS server holds what it exports.
    const int holder = open(at("f"), O_RDONLY);
    r.push_back(e(name_to_handle_at(AT_FDCWD, at("f"), &handle.head, &mount_id, 0)));
    const int directory = open(at("."), O_RDONLY | O_DIRECTORY);
    const int fd = open_by_handle_at(directory, &handle.head, O_RDONLY);
    r.push_back(e(fd));
    char seen[11] = {};
    r.push_back(same(fd >= 0 && pread(fd, seen, 10, 0) == 10 && std::strcmp(seen, "0123456789") == 0));
    if (fd >= 0)
        close(fd);
    close(holder);
    close(directory);
    return r;
}

}  // namespace

std::vector<parity_case> identity_cases()
{
    const script one_file = [](const where& at) { return results{file(at, "f", 0644, 0, 0)}; };
    const script file_in_d = [](const where& at) {
        return results{dir(at, "d", 0755, 0, 0), file(at, "d/f", 0644, 0, 0)};
    };
    return {
        {.name = "hard_links_are_one_file",
         .setup = one_file,
         .actor = root,
         .action = hard_links_are_one_file,
         .expected = {0, 0, 0, 0, 0, 0, 0, EWOULDBLOCK},
         .observed = {"f", "h"}},
        {.name = "inode_numbers_outlive_the_kernels_caches",
         .setup = file_in_d,
         .actor = root,
         .action = numbers_outlive_the_caches,
         .expected = {0, 0, 0},
         .observed = {"d", "d/f"}},
        {.name = "a_removed_open_file_lives_on_and_its_directory_goes",
         .setup = file_in_d,
         .actor = root,
         .action = a_removed_open_file_lives_on,
         .expected = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         .observed = {"d"}},
        {.name = "seek_data_and_seek_hole_find_the_holes",
         .setup = [](const where&) { return results{}; },
         .actor = root,
         .action = holes_are_found,
         .expected = {0, 0, 4096, 1 << 20, (1 << 20) + 4096, ENXIO},
         .observed = {"sparse"}},
        {.name = "listings_agree_with_lookups",
         .setup =
             [](const where& at) {
                 return results{dir(at, "d", 0755, 0, 0), file(at, "d/f", 0644, 0, 0), file(at, "d/g", 0600, 0, 0),
                                dir(at, "d/s", 0755, 0, 0), link_to(at, "d/l", "f", 0, 0)};
             },
         .actor = root,
         .action = listings_agree_with_lookups,
         .expected = {0, 7, 0, 0, 6, 0, ENOENT},
         .observed = {"d/f", "d/h", "d/s", "d/l"}},
        {.name = "a_listing_is_read_when_it_is_read",
         .setup = file_in_d,
         .actor = root,
         .action = a_listing_is_read_when_it_is_read,
         .expected = {0, 4, 0, 3, 0},
         .observed = {"d/new"}},
        {.name = "a_handle_reopens_its_file",
         .setup = one_file,
         .actor = root,
         .action = a_handle_reopens_the_file,
         .expected = {0, 0, 0},
         .observed = {"f"}},
    };
}

}  // namespace parity
