#include "fs/engine/tree_compare.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fs/engine/tree_walk.h"

namespace {

constexpr size_t content_block = 64 * 1024;
constexpr uint64_t progress_every = 256;

struct verify_run {
    const std::vector<std::string>& roots;
    FILE* out;
    FILE* err;
    bool progress;
    uint64_t entries = 0;
    bool progress_shown = false;
    std::vector<long> time_units = {};  // per root: kept_time_unit
    size_t most_differences = 0;  // 0: every difference
    size_t differences = 0;
    bool differs = false;
    bool failed = false;

    // Enough differences reported: the walk ends.
    bool done() const noexcept { return most_differences != 0 && differences >= most_differences; }
};

// One entry of one replica: its attributes, and a descriptor when it is a
// directory or a regular file. name is relative to parent (for the roots:
// the root path, parent AT_FDCWD).
struct entry {
    int side = 0;
    int parent = AT_FDCWD;
    std::string name;
    struct stat st {};
    unique_fd fd;
};

entry make_entry(int side, int parent, const std::string& name)
{
    entry e;
    e.side = side;
    e.parent = parent;
    e.name = name;
    return e;
}

void clear_progress(verify_run& run)
{
    if (run.progress_shown) {
        std::fputs("\r\033[K", run.err);
        run.progress_shown = false;
    }
}

void count_entry(verify_run& run)
{
    ++run.entries;
    if (run.progress && run.entries % progress_every == 0) {
        std::fprintf(run.err, "\r%llu entries compared", static_cast<unsigned long long>(run.entries));
        std::fflush(run.err);
        run.progress_shown = true;
    }
}

void report(verify_run& run, const std::string& path, const std::string& what)
{
    if (run.done())
        return;
    ++run.differences;
    clear_progress(run);
    std::fprintf(run.out, "%s: %s\n", path.c_str(), what.c_str());
    run.differs = true;
}

// "WHAT A in ROOT_A, B in ROOT_B".
void report_values(verify_run& run, const std::string& path, const char* what, const entry& a,
                   const std::string& value_a, const entry& b, const std::string& value_b)
{
    report(run, path,
           std::string(what) + " " + value_a + " in " + run.roots[a.side] + ", " + value_b + " in " +
               run.roots[b.side]);
}

void report_error(verify_run& run, int side, const std::string& path, int error)
{
    clear_progress(run);
    const std::string& root = run.roots[side];
    std::fprintf(run.err, "vornelix: verify: %s%s: %s\n", root.c_str(), path == "/" ? "" : path.c_str(),
                 std::strerror(error));
    run.failed = true;
}

// lstat of the entry and, for a directory or a regular file, a descriptor
// opened without following a link: 0, or an errno value.
int look_at(entry& e)
{
    if (fstatat(e.parent, e.name.c_str(), &e.st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (!S_ISDIR(e.st.st_mode) && !S_ISREG(e.st.st_mode))
        return 0;
    e.fd.reset(open_to_read(e.parent, e.name.c_str(), S_ISDIR(e.st.st_mode) ? O_DIRECTORY : 0));
    if (!e.fd)
        return errno;
    return fstat(e.fd.get(), &e.st) == 0 ? 0 : errno;
}

const char* type_name(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG: return "regular file";
    case S_IFDIR: return "directory";
    case S_IFLNK: return "symbolic link";
    case S_IFCHR: return "character device";
    case S_IFBLK: return "block device";
    case S_IFIFO: return "fifo";
    case S_IFSOCK: return "socket";
    default: return "unknown type";
    }
}

std::string octal_mode(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string time_text(const struct timespec& t)
{
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(t.tv_sec), t.tv_nsec);
    return text;
}

std::string device_text(dev_t device)
{
    return std::to_string(major(device)) + "," + std::to_string(minor(device));
}

void compare_attributes(verify_run& run, const std::string& path, const entry& a, const entry& b)
{
    std::map<std::string, std::string> of_a, of_b;
    if (tree_attributes(a.fd.get(), of_a) == -1)
        return report_error(run, a.side, path, errno);
    if (tree_attributes(b.fd.get(), of_b) == -1)
        return report_error(run, b.side, path, errno);
    for (const auto& [name, value] : of_a) {
        auto other = of_b.find(name);
        if (other == of_b.end())
            report(run, path, "attribute " + name + " missing in " + run.roots[b.side]);
        else if (other->second != value)
            report(run, path,
                   "attribute " + name + " differs between " + run.roots[a.side] + " and " + run.roots[b.side]);
    }
    for (const auto& [name, value] : of_b) {
        if (of_a.find(name) == of_a.end())
            report(run, path, "attribute " + name + " missing in " + run.roots[a.side]);
    }
}

// Fills buffer from offset; the count read (short only at end of file), or
// -1 with errno.
ssize_t read_block(int fd, char* buffer, size_t size, off_t offset)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Where the next data lies at or after offset: offset itself when it is
// data (or the filesystem cannot tell), the end for a hole up to the end.
off_t next_data(int fd, off_t offset, off_t end) noexcept
{
    const off_t data = lseek(fd, offset, SEEK_DATA);
    if (data >= 0)
        return data;
    return errno == ENXIO ? end : offset;
}

void compare_contents(verify_run& run, const std::string& path, const entry& a, const entry& b)
{
    std::vector<char> block_a(content_block), block_b(content_block);
    const off_t end = a.st.st_size;
    for (off_t offset = 0;; offset += static_cast<off_t>(content_block)) {
        // A hole on both sides reads as zeros on both: a sparse file costs
        // what it holds, not its size.
        const off_t data = std::min(next_data(a.fd.get(), offset, end), next_data(b.fd.get(), offset, end));
        if (data >= end)
            return;
        if (data > offset)
            offset = data - data % static_cast<off_t>(content_block);
        const ssize_t n_a = read_block(a.fd.get(), block_a.data(), content_block, offset);
        if (n_a < 0)
            return report_error(run, a.side, path, errno);
        const ssize_t n_b = read_block(b.fd.get(), block_b.data(), content_block, offset);
        if (n_b < 0)
            return report_error(run, b.side, path, errno);
        const ssize_t common = std::min(n_a, n_b);
        const auto mismatch = std::mismatch(block_a.begin(), block_a.begin() + common, block_b.begin());
        if (mismatch.first != block_a.begin() + common || n_a != n_b) {
            const off_t at = offset + (mismatch.first - block_a.begin());
            report(run, path,
                   "content differs from byte " + std::to_string(at) + " between " + run.roots[a.side] +
                       " and " + run.roots[b.side]);
            return;
        }
        if (n_a < static_cast<ssize_t>(content_block))
            return;
    }
}

void compare_entries(verify_run& run, const std::string& path, entry& a, entry& b);

void compare_children(verify_run& run, const std::string& path, const entry& a, const entry& b)
{
    std::vector<std::string> names_a, names_b;
    if (list_tree_names(a.fd.get(), path, names_a) == -1)
        return report_error(run, a.side, path, errno);
    if (list_tree_names(b.fd.get(), path, names_b) == -1)
        return report_error(run, b.side, path, errno);
    size_t i = 0, j = 0;
    while ((i < names_a.size() || j < names_b.size()) && !run.done()) {
        if (j == names_b.size() || (i < names_a.size() && names_a[i] < names_b[j])) {
            count_entry(run);
            report(run, child_path(path, names_a[i++]), "missing in " + run.roots[b.side]);
        } else if (i == names_a.size() || names_b[j] < names_a[i]) {
            count_entry(run);
            report(run, child_path(path, names_b[j++]), "missing in " + run.roots[a.side]);
        } else {
            entry child_a = make_entry(a.side, a.fd.get(), names_a[i++]);
            entry child_b = make_entry(b.side, b.fd.get(), names_b[j++]);
            const std::string child = child_path(path, child_a.name);
            const int error_a = look_at(child_a);
            const int error_b = look_at(child_b);
            if (error_a != 0)
                report_error(run, a.side, child, error_a);
            if (error_b != 0)
                report_error(run, b.side, child, error_b);
            if (error_a == 0 && error_b == 0)
                compare_entries(run, child, child_a, child_b);
        }
    }
}

}  // namespace

long kept_time_unit(int fd) noexcept
{
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0)
        return 0;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4 alike
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case 0x2fc12fc1:  // zfs
    case F2FS_SUPER_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
        return 1;
    case MSDOS_SUPER_MAGIC:
        return 2000000000L;
    default:
        return 0;
    }
}

bool same_time_at_kept_precision(const struct timespec& a, const struct timespec& b, long unit_a,
                                 long unit_b) noexcept
{
    // Where a filesystem's precision is not known (network and FUSE
    // filesystems pass on another's), every time it stores shows it: a
    // value that is a whole number of micro- or milliseconds or seconds
    // is taken at that precision.
    auto unit = [](long known, long nanoseconds) noexcept {
        if (known != 0)
            return known;
        long step = 1;
        for (long coarser : {1000L, 1000000L, 1000000000L})
            if (nanoseconds % coarser == 0)
                step = coarser;
        return step;
    };
    const long long step = std::max(unit(unit_a, a.tv_nsec), unit(unit_b, b.tv_nsec));
    const long long at_a = static_cast<long long>(a.tv_sec) * 1000000000LL + a.tv_nsec;
    const long long at_b = static_cast<long long>(b.tv_sec) * 1000000000LL + b.tv_nsec;
    return at_a / step == at_b / step;
}

namespace {

void compare_entries(verify_run& run, const std::string& path, entry& a, entry& b)
{
    count_entry(run);
    const struct stat& sa = a.st;
    const struct stat& sb = b.st;
    if ((sa.st_mode & S_IFMT) != (sb.st_mode & S_IFMT))
        return report_values(run, path, "type", a, type_name(sa.st_mode), b, type_name(sb.st_mode));
    if ((sa.st_mode & 07777) != (sb.st_mode & 07777))
        report_values(run, path, "mode", a, octal_mode(sa.st_mode), b, octal_mode(sb.st_mode));
    if (sa.st_uid != sb.st_uid)
        report_values(run, path, "owner", a, std::to_string(sa.st_uid), b, std::to_string(sb.st_uid));
    if (sa.st_gid != sb.st_gid)
        report_values(run, path, "group", a, std::to_string(sa.st_gid), b, std::to_string(sb.st_gid));
    // A directory's size says how its filesystem stores it, not what it holds.
    if (!S_ISDIR(sa.st_mode) && sa.st_size != sb.st_size)
        report_values(run, path, "size", a, std::to_string(sa.st_size), b, std::to_string(sb.st_size));
    if ((S_ISCHR(sa.st_mode) || S_ISBLK(sa.st_mode)) && sa.st_rdev != sb.st_rdev)
        report_values(run, path, "device", a, device_text(sa.st_rdev), b, device_text(sb.st_rdev));
    if (!same_time_at_kept_precision(sa.st_mtim, sb.st_mtim, run.time_units[a.side], run.time_units[b.side]))
        report_values(run, path, "mtime", a, time_text(sa.st_mtim), b, time_text(sb.st_mtim));

    if (S_ISLNK(sa.st_mode)) {
        std::string target_a, target_b;
        if (read_link(a.parent, a.name.c_str(), static_cast<size_t>(sa.st_size), target_a) == -1)
            return report_error(run, a.side, path, errno);
        if (read_link(b.parent, b.name.c_str(), static_cast<size_t>(sb.st_size), target_b) == -1)
            return report_error(run, b.side, path, errno);
        if (target_a != target_b)
            report_values(run, path, "link target", a, "'" + target_a + "'", b, "'" + target_b + "'");
        return;
    }
    if (S_ISREG(sa.st_mode)) {
        if (sa.st_size == sb.st_size)
            compare_contents(run, path, a, b);
        compare_attributes(run, path, a, b);
        return;
    }
    if (S_ISDIR(sa.st_mode)) {
        compare_attributes(run, path, a, b);
        compare_children(run, path, a, b);
    }
}

// Opens a root for the walk: 0, or an errno value.
int open_root(verify_run& run, int side, entry& e)
{
    e = make_entry(side, AT_FDCWD, run.roots[side]);
    const int error = look_at(e);
    if (error != 0)
        return error;
    return S_ISDIR(e.st.st_mode) ? 0 : ENOTDIR;
}

void run_walk(verify_run& run)
{
    std::vector<entry> roots(run.roots.size());
    bool opened = true;
    for (size_t side = 0; side < run.roots.size(); ++side) {
        if (int error = open_root(run, static_cast<int>(side), roots[side]); error != 0) {
            report_error(run, static_cast<int>(side), "/", error);
            opened = false;
        }
    }
    if (!opened)
        return;
    for (const entry& root : roots)
        run.time_units.push_back(kept_time_unit(root.fd.get()));
    for (size_t side = 1; side < roots.size() && !run.done(); ++side)
        compare_entries(run, "/", roots[0], roots[side]);
}

}  // namespace

int verify_replicas(const std::vector<std::string>& roots, FILE* out, FILE* err, bool progress,
                    size_t most_differences) noexcept
{
    verify_run run{roots, out, err, progress};
    run.most_differences = most_differences;
    try {
        run_walk(run);
    } catch (const std::exception&) {
        clear_progress(run);
        std::fprintf(err, "vornelix: verify: %s\n", std::strerror(ENOMEM));
        run.failed = true;
    }
    if (run.progress && run.entries > 0) {
        clear_progress(run);
        std::fprintf(err, "%llu entries compared\n", static_cast<unsigned long long>(run.entries));
    }
    std::fflush(out);
    if (run.failed)
        return verify_failed;
    return run.differs ? verify_different : verify_identical;
}
