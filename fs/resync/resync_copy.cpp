#include "fs/resync/resync_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "fs/engine/errors.h"
#include "fs/engine/tree_walk.h"

namespace {

constexpr size_t chunk_size = 1 << 20;

using file_id = std::pair<dev_t, ino_t>;

file_id id_of(const struct stat& st) noexcept
{
    return {st.st_dev, st.st_ino};
}

// A source entry that is gone, or whose directory is gone, was removed
// or renamed while it was copied.
bool vanished(int error) noexcept
{
    return error == ENOENT || error == ENOTDIR;
}

// Records where the copy failed; -1 with errno = error.
int fail(copy_context& context, const std::string& path, bool on_target, int error) noexcept
{
    try {
        context.failure.path = path;
    } catch (...) {
    }
    context.failure.on_target = on_target;
    errno = error;
    return -1;
}

// fstat of a tree path beneath a root (the entry itself). 0 or -1.
int stat_beneath(int root, std::string_view path, struct stat& st) noexcept
{
    unique_fd fd(open_beneath(root, path, O_PATH | O_NOFOLLOW));
    return fd ? fstat(fd.get(), &st) : -1;
}

// The names of the directory at the tree path (list_tree_names; path is
// empty for one removed whole), sorted. 0 or -1.
int list_names(int dir, std::string_view path, std::vector<std::string>& names) noexcept
{
    // Opened again: dir may be an O_PATH root, and a descriptor of our own
    // lists the source without changing its access time.
    unique_fd listed(open_to_read(dir, ".", O_DIRECTORY));
    return listed ? list_tree_names(listed.get(), path, names) : -1;
}

// Removes a target entry and everything below it; a missing entry is
// already removed. 0 or -1.
int remove_entry(int dir, const char* name) noexcept
{
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == -1)
        return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode))
        return unlinkat(dir, name, 0) == -1 && errno != ENOENT ? -1 : 0;
    unique_fd inner(openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<std::string> names;
    if (!inner || list_names(inner.get(), {}, names) == -1)
        return -1;
    for (const std::string& child : names)
        if (remove_entry(inner.get(), child.c_str()) == -1)
            return -1;
    return unlinkat(dir, name, AT_REMOVEDIR) == -1 && errno != ENOENT ? -1 : 0;
}

int write_all(int fd, const char* data, size_t size, off_t offset) noexcept
{
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, offset);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return -1;
        }
        data += n;
        size -= static_cast<size_t>(n);
        offset += n;
    }
    return 0;
}

ssize_t read_some(int fd, char* data, size_t size, off_t offset) noexcept
{
    for (;;) {
        const ssize_t n = pread(fd, data, size, offset);
        if (n != -1 || errno != EINTR)
            return n;
    }
}

// Whether the copy was asked to stop (errno ECANCELED). Asked between
// entries and between chunks, so a large file is no longer step.
bool stopping(copy_context& context) noexcept
{
    if (!context.stop || !context.stop())
        return false;
    errno = ECANCELED;
    return true;
}

// Copies the source's contents into the target from offset 0 to the
// source's end and cuts the target there. With compare, a chunk the
// target already holds is not written again. 0, or -1 with errno and
// on_target telling which side failed.
int copy_contents(copy_context& context, int source, int target, bool compare,
                  bool& on_target) noexcept
{
    on_target = false;
    off_t offset = 0;
    if (!compare) {
        // The kernel copies without a round trip through this process
        // where both sides allow it; any refusal falls back to reading
        // and writing, which also says which side failed.
        for (;;) {
            if (stopping(context))
                return -1;
            const ssize_t n = copy_file_range(source, &offset, target, nullptr, chunk_size, 0);
            if (n == 0)
                return 0;  // the end of the source; a new target is that long
            if (n < 0)
                break;
            context.bytes += static_cast<uint64_t>(n);
        }
        if (lseek(target, offset, SEEK_SET) == -1) {
            on_target = true;
            return -1;
        }
    }
    try {
        context.buffer.resize(2 * chunk_size);
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
    char* const from = context.buffer.data();
    char* const held = from + chunk_size;
    for (;;) {
        if (stopping(context))
            return -1;
        const ssize_t n = read_some(source, from, chunk_size, offset);
        if (n == -1)
            return -1;
        if (n == 0)
            break;
        bool same = false;
        if (compare) {
            const ssize_t m = read_some(target, held, static_cast<size_t>(n), offset);
            if (m == -1) {
                on_target = true;
                return -1;
            }
            same = m == n && memcmp(from, held, static_cast<size_t>(n)) == 0;
        }
        if (!same) {
            if (write_all(target, from, static_cast<size_t>(n), offset) == -1) {
                on_target = true;
                return -1;
            }
            context.bytes += static_cast<uint64_t>(n);
        }
        offset += n;
    }
    if (ftruncate(target, offset) == -1) {
        on_target = true;
        return -1;
    }
    return 0;
}

// The tree's extended attributes (tree_walk.h) of the target made those
// of the source (the replica records are left alone). A target just made
// (fresh) holds no values to compare, but may have been given access
// control lists by a default one of its directory, which go if the source
// has none. 0, or -1 with on_target telling which side failed.
int sync_attributes(int source, int target, bool fresh, bool& on_target) noexcept
{
    on_target = false;
    std::vector<std::string> names;
    if (tree_attribute_names(source, names) == -1)
        return -1;
    std::string value, current;
    for (const std::string& name : names) {
        on_target = false;
        if (attribute_value(source, name.c_str(), value) == -1) {
            if (errno == ENODATA)
                continue;  // removed meanwhile: that change is registered
            return -1;
        }
        on_target = true;
        const bool held = !fresh && attribute_value(target, name.c_str(), current) == 0;
        if (!(held && current == value) && fsetxattr(target, name.c_str(), value.data(), value.size(), 0) == -1)
            return -1;
    }
    on_target = true;
    std::vector<std::string> kept;
    if (tree_attribute_names(target, kept) == -1)
        return -1;
    for (const std::string& name : kept)
        if (!std::binary_search(names.begin(), names.end(), name) &&
            fremovexattr(target, name.c_str()) == -1 && errno != ENODATA)
            return -1;
    return 0;
}

// The owner of a target reached through a descriptor, before its other
// attributes: a change of owner drops set-id bits and a file capability
// (security.capability). t is the target as it was found, null for a new
// one. Whether the owner changed, or -1.
int set_owner(int target, const struct stat& s, const struct stat* t) noexcept
{
    if (t != nullptr && t->st_uid == s.st_uid && t->st_gid == s.st_gid)
        return 0;
    return fchown(target, s.st_uid, s.st_gid) == -1 ? -1 : 1;
}

// Mode and times of a target whose owner and extended attributes were
// set: a mode set after an access control list leaves the list's mask as
// the source's. 0 or -1.
int set_attributes(int target, const struct stat& s, const struct stat* t, bool owner_changed) noexcept
{
    if ((owner_changed || (t->st_mode & 07777) != (s.st_mode & 07777)) && fchmod(target, s.st_mode & 07777) == -1)
        return -1;
    const struct timespec times[2] = {s.st_atim, s.st_mtim};
    return futimens(target, times);
}

// The owner, the extended attributes, then mode and times, in that order.
// fresh as for sync_attributes. 0, or -1 with on_target.
int sync_metadata(int source, int target, const struct stat& s, const struct stat* t, bool fresh,
                  bool& on_target) noexcept
{
    on_target = true;
    const int owner_changed = set_owner(target, s, t);
    if (owner_changed == -1 || sync_attributes(source, target, fresh, on_target) == -1)
        return -1;
    on_target = true;
    return set_attributes(target, s, t, owner_changed == 1);
}

// The same for an entry that cannot be opened (links, FIFOs, devices,
// sockets); a symbolic link has no mode of its own.
int set_attributes_at(int dir, const char* name, const struct stat& s) noexcept
{
    if (fchownat(dir, name, s.st_uid, s.st_gid, AT_SYMLINK_NOFOLLOW) == -1)
        return -1;
    if (!S_ISLNK(s.st_mode) && fchmodat(dir, name, s.st_mode & 07777, 0) == -1)
        return -1;
    const struct timespec times[2] = {s.st_atim, s.st_mtim};
    return utimensat(dir, name, times, AT_SYMLINK_NOFOLLOW);
}

int sync_entry(copy_context& context, int source_dir, int target_dir, const char* name,
               const std::string& path, bool fresh);

// Removes from target the names held there that the source (sorted
// names) lacks. 0, or -1 after recording the failure.
int remove_stale_names(copy_context& context, int target, const std::string& path,
                       const std::vector<std::string>& names, const std::vector<std::string>& held)
{
    for (const std::string& name : held)
        if (!std::binary_search(names.begin(), names.end(), name) &&
            remove_entry(target, name.c_str()) == -1)
            return fail(context, child_path(path, name), true, errno);
    return 0;
}

// Source and target directories, both open: the target's names made the
// source's. fresh: the target was just made, it holds nothing.
int sync_children(copy_context& context, int source, int target, const std::string& path,
                  bool fresh)
{
    std::vector<std::string> names, held;
    if (list_names(source, path, names) == -1)
        return vanished(errno) ? 0 : fail(context, path, false, errno);
    if (!fresh) {
        if (list_names(target, path, held) == -1)
            return fail(context, path, true, errno);
        if (remove_stale_names(context, target, path, names, held) == -1)
            return -1;
    }
    for (const std::string& name : names)
        if (sync_entry(context, source, target, name.c_str(), child_path(path, name), fresh) == -1)
            return -1;
    return 0;
}

// Only the names of a directory pair that was made to match whole before:
// every change below it since registered its own path, which is copied
// on its own, so entries on both sides are left as they are.
int sync_names(copy_context& context, int source, int target, const std::string& path)
{
    std::vector<std::string> names, held;
    if (list_names(source, path, names) == -1)
        return vanished(errno) ? 0 : fail(context, path, false, errno);
    if (list_names(target, path, held) == -1)
        return fail(context, path, true, errno);
    if (remove_stale_names(context, target, path, names, held) == -1)
        return -1;
    for (const std::string& name : names)
        if (!std::binary_search(held.begin(), held.end(), name) &&
            sync_entry(context, source, target, name.c_str(), child_path(path, name), false) == -1)
            return -1;
    return 0;
}

// The contents of a directory pair, both open: whole, unless this copy
// already made the same pair match (then only the names).
int sync_contents(copy_context& context, int source, int target, const std::string& path, bool fresh)
{
    struct stat s, t;
    if (fstat(source, &s) == -1)
        return fail(context, path, false, errno);
    if (fstat(target, &t) == -1)
        return fail(context, path, true, errno);
    const auto known = context.matched_directories.find(id_of(s));
    const bool matched = !fresh && known != context.matched_directories.end() && known->second == id_of(t);
    if ((matched ? sync_names(context, source, target, path) : sync_children(context, source, target, path, fresh)) == -1)
        return -1;
    context.matched_directories[id_of(s)] = id_of(t);
    return 0;
}

int sync_directory(copy_context& context, int source_dir, int target_dir, const char* name,
                   const std::string& path, const struct stat* t)
{
    if (t == nullptr && mkdirat(target_dir, name, 0700) == -1)
        return fail(context, path, true, errno);
    unique_fd source(openat(source_dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!source) {
        if (!vanished(errno))
            return fail(context, path, false, errno);
        return remove_entry(target_dir, name) == -1 ? fail(context, path, true, errno) : 0;
    }
    unique_fd target(openat(target_dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!target)
        return fail(context, path, true, errno);
    if (sync_contents(context, source.get(), target.get(), path, t == nullptr) == -1)
        return -1;
    // The directory's own attributes last: its children changed its times.
    struct stat s;
    if (fstat(source.get(), &s) == -1)
        return fail(context, path, false, errno);
    bool on_target = false;
    if (sync_metadata(source.get(), target.get(), s, t, t == nullptr, on_target) == -1)
        return fail(context, path, on_target, errno);
    return 0;
}

// Links the target name to the target twin of a source file with several
// names, when one of its other names is already there: t is then the
// linked entry. false when there is no twin (this name becomes the first).
bool link_to_twin(copy_context& context, int target_dir, const char* name, const std::string& path,
                  const struct stat& s, std::optional<struct stat>& t)
{
    std::vector<std::string>& names = context.names_of_file[id_of(s)];
    bool linked = false;
    for (const std::string& other : names) {
        struct stat source_other, target_other;
        if (other == path || stat_beneath(context.source_root, other, source_other) == -1 ||
            id_of(source_other) != id_of(s) ||
            stat_beneath(context.target_root, other, target_other) == -1 || !S_ISREG(target_other.st_mode))
            continue;
        if (!t || id_of(*t) != id_of(target_other)) {
            const size_t slash = other.rfind('/');
            unique_fd parent(open_beneath(context.target_root, other.substr(0, slash), O_PATH | O_DIRECTORY));
            if (!parent)
                continue;
            if (t) {
                if (remove_entry(target_dir, name) == -1)
                    return false;
                t.reset();
            }
            if (linkat(parent.get(), other.c_str() + slash + 1, target_dir, name, 0) == -1)
                continue;
            context.made.insert(id_of(target_other));
        }
        t = target_other;
        linked = true;
        break;
    }
    if (std::find(names.begin(), names.end(), path) == names.end())
        names.push_back(path);
    return linked;
}

int sync_regular(copy_context& context, int source_dir, int target_dir, const char* name,
                 const std::string& path, std::optional<struct stat> t)
{
    unique_fd source(open_to_read(source_dir, name, O_NONBLOCK));
    if (!source) {
        if (!vanished(errno))
            return fail(context, path, false, errno);
        return remove_entry(target_dir, name) == -1 ? fail(context, path, true, errno) : 0;
    }
    struct stat s;
    if (fstat(source.get(), &s) == -1)
        return fail(context, path, false, errno);
    if (!S_ISREG(s.st_mode))
        return 0;  // replaced by something else meanwhile: registered
    if (s.st_nlink > 1)
        link_to_twin(context, target_dir, name, path, s, t);
    // A target file shared with names this copy did not make holds
    // another file's contents elsewhere: it is replaced, never written.
    const bool in_place = t && S_ISREG(t->st_mode) && (t->st_nlink == 1 || context.made.count(id_of(*t)) > 0);
    unique_fd target;
    if (in_place) {
        target.reset(openat(target_dir, name, O_RDWR | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    } else {
        if (t && remove_entry(target_dir, name) == -1)
            return fail(context, path, true, errno);
        target.reset(openat(target_dir, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    }
    struct stat made;
    if (!target || fstat(target.get(), &made) == -1)
        return fail(context, path, true, errno);
    if (!in_place) {
        context.made.insert(id_of(made));
        t.reset();
    }
    bool on_target = false;
    if (copy_contents(context, source.get(), target.get(), in_place, on_target) == -1 ||
        sync_metadata(source.get(), target.get(), s, t ? &*t : nullptr, !in_place, on_target) == -1)
        return fail(context, path, on_target, errno);
    return 0;
}

int sync_symlink(copy_context& context, int source_dir, int target_dir, const char* name,
                 const std::string& path, const struct stat& s, bool exists)
{
    std::string text, held;
    if (read_link(source_dir, name, static_cast<size_t>(s.st_size), text) == -1) {
        if (!vanished(errno) && errno != EINVAL)
            return fail(context, path, false, errno);
        return 0;  // gone or replaced meanwhile: registered
    }
    if (exists && (read_link(target_dir, name, text.size(), held) == -1 || held != text)) {
        if (unlinkat(target_dir, name, 0) == -1)
            return fail(context, path, true, errno);
        exists = false;
    }
    if (!exists && symlinkat(text.c_str(), target_dir, name) == -1)
        return fail(context, path, true, errno);
    return set_attributes_at(target_dir, name, s) == -1 ? fail(context, path, true, errno) : 0;
}

int sync_entry(copy_context& context, int source_dir, int target_dir, const char* name,
               const std::string& path, bool fresh)
{
    if (stopping(context))
        return fail(context, path, false, ECANCELED);
    struct stat s;
    if (fstatat(source_dir, name, &s, AT_SYMLINK_NOFOLLOW) == -1) {
        if (!vanished(errno))
            return fail(context, path, false, errno);
        return !fresh && remove_entry(target_dir, name) == -1 ? fail(context, path, true, errno) : 0;
    }
    std::optional<struct stat> t;
    if (!fresh) {
        struct stat held;
        if (fstatat(target_dir, name, &held, AT_SYMLINK_NOFOLLOW) == 0)
            t = held;
        else if (errno != ENOENT)
            return fail(context, path, true, errno);
    }
    const bool special = S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode);
    if (t && ((t->st_mode & S_IFMT) != (s.st_mode & S_IFMT) || (special && t->st_rdev != s.st_rdev))) {
        if (remove_entry(target_dir, name) == -1)
            return fail(context, path, true, errno);
        t.reset();
    }
    int rc;
    switch (s.st_mode & S_IFMT) {
    case S_IFDIR:
        rc = sync_directory(context, source_dir, target_dir, name, path, t ? &*t : nullptr);
        break;
    case S_IFREG:
        rc = sync_regular(context, source_dir, target_dir, name, path, t);
        break;
    case S_IFLNK:
        rc = sync_symlink(context, source_dir, target_dir, name, path, s, t.has_value());
        break;
    default:  // FIFOs, devices, sockets
        if (!t && mknodat(target_dir, name, s.st_mode & (S_IFMT | 07777), s.st_rdev) == -1)
            return fail(context, path, true, errno);
        rc = set_attributes_at(target_dir, name, s) == -1 ? fail(context, path, true, errno) : 0;
        break;
    }
    if (rc == 0)
        ++context.entries;
    return rc;
}

int sync_root(copy_context& context)
{
    if (sync_contents(context, context.source_root, context.target_root, "/", false) == -1)
        return -1;
    struct stat s, t;
    if (fstat(context.source_root, &s) == -1)
        return fail(context, "/", false, errno);
    if (fstat(context.target_root, &t) == -1)
        return fail(context, "/", true, errno);
    // The roots' descriptors may be O_PATH: attributes go through fresh
    // ones.
    unique_fd source(openat(context.source_root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    unique_fd target(openat(context.target_root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!source)
        return fail(context, "/", false, errno);
    if (!target)
        return fail(context, "/", true, errno);
    bool on_target = false;
    if (sync_metadata(source.get(), target.get(), s, &t, false, on_target) == -1)
        return fail(context, "/", on_target, errno);
    ++context.entries;
    return 0;
}

int sync_below_root(copy_context& context, const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string parent_path = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    unique_fd target(open_beneath(context.target_root, parent_path, O_PATH | O_DIRECTORY));
    if (!target) {
        if (!vanished(errno))
            return fail(context, parent_path, true, errno);
        // The parent itself is missing: making it copies this entry too.
        return sync_path(context, parent_path);
    }
    unique_fd source(open_beneath(context.source_root, parent_path, O_PATH | O_DIRECTORY));
    if (!source) {
        if (!vanished(errno))
            return fail(context, parent_path, false, errno);
        return remove_entry(target.get(), name.c_str()) == -1 ? fail(context, path, true, errno) : 0;
    }
    if (sync_entry(context, source.get(), target.get(), name.c_str(), path, false) == -1)
        return -1;
    // Adding or removing the name changed the parent's times on both
    // sides, at different moments.
    struct stat s;
    unique_fd parent(open_beneath(context.target_root, parent_path, O_RDONLY | O_DIRECTORY));
    if (fstat(source.get(), &s) == -1)
        return vanished(errno) ? 0 : fail(context, parent_path, false, errno);
    const struct timespec times[2] = {s.st_atim, s.st_mtim};
    if (!parent || futimens(parent.get(), times) == -1)
        return fail(context, parent_path, true, errno);
    return 0;
}

}  // namespace

int sync_path(copy_context& context, const std::string& path) noexcept
{
    try {
        if (path.empty() || path == "/")
            return sync_root(context);
        return sync_below_root(context, path);
    } catch (...) {
        return fail(context, path, false, ENOMEM);
    }
}
