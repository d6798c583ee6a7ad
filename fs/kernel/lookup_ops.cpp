// Lookups: one replica in service answers, chosen round-robin (high
// priority first), or, for attributes, the first in priority order; when
// it fails, the next one in the order is tried, so a lookup succeeds while
// any replica in service can answer it. A replica
// that failed before another one answered is logged, never disabled: a
// lookup changes nothing.
//
// An absent name is an answer, not a failure: the replicas in service hold
// the same tree, so the first replica that finds a name missing decides
// it, and nothing is logged.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/caller.h"
#include "fs/engine/errors.h"
#include "fs/engine/event_log.h"
#include "fs/engine/name_order.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replica_workers.h"
#include "fs/engine/replicas.h"
#include "fs/engine/replicated_mutation.h"
#include "fs/engine/tree_walk.h"
#include "fs/kernel/operations.h"

namespace {

bool is_absence(int error) noexcept
{
    return error == ENOENT || error == ENOTDIR;
}

// Logs the replicas that failed (slot.error > 0) before another answered.
void log_passed_failures(replica_work& work, const char* word) noexcept
{
    // Replica order, not the order of the attempts, so that the log reads
    // the same whichever replica the rotation started with.
    for (int k = 0; k < state().replicas.count; ++k)
        if (work.answered(k) && work.slot(k).error > 0)
            write_log(word, replica_at(k).root, work.slot(k).error);
}

// The attempt loop of every lookup: the work's step, run on one replica at
// a time, stores in slot.error 0 when replica k served the request, a
// positive errno when it failed (the next one is tried), or a negative
// reply that ends the request at once. A replica that misses the deadline
// (or left service meanwhile) was disabled by the wait, and the next one
// is tried. Answers 0 with the replica that served in served, the -errno of
// the last replica that failed, -EIO when every replica tried missed the
// deadline, or -EINVAL when no replica could be tried at all.
int serve_from_one_replica(replica_work& work, const char* word, int& served,
                           read_order order = read_order::rotating) noexcept
{
    int failures = 0;
    int last_error = 0;
    bool late = false;
    read_turns turns;
    for (int i = 0; i < state().replicas.count; ++i) {
        const int k = choose_replica(order, turns, i);
        if (k < 0 || !replica_in_service(k))
            continue;
        work.submit(k);
        work.wait(word);
        if (!work.answered(k)) {
            late = true;
            continue;
        }
        const int rc = work.slot(k).error;
        if (rc == 0 || is_absence(rc)) {
            if (rc == 0)
                served = k;
            if (failures != 0)
                log_passed_failures(work, word);
            return -rc;
        }
        if (rc < 0)
            return rc;
        ++failures;
        last_error = -rc;
    }
    return failures != 0 ? last_error : late ? -EIO : -EINVAL;
}

// Reads the directory at the tree path in replica k into buffer. 0, or a
// positive errno.
int read_listing(int k, const char* path, std::vector<char>& buffer) noexcept
{
    unique_fd fd(request_open(k, path, O_RDONLY | O_DIRECTORY));
    if (!fd)
        return failure_errno();
    DIR* dir = fdopendir(fd.get());
    if (dir == nullptr)
        return failure_errno();
    fd.release();
    int error = 0;
    buffer.clear();
    try {
        while (true) {
            errno = 0;
            const struct dirent* entry = readdir(dir);
            if (entry == nullptr) {
                // A listing cut short by an error must not pass for the
                // whole directory.
                error = errno;
                break;
            }
            const uint64_t inode = entry->d_ino;
            const char* bytes = reinterpret_cast<const char*>(&inode);
            buffer.insert(buffer.end(), bytes, bytes + sizeof inode);
            buffer.push_back(static_cast<char>(entry->d_type));
            buffer.insert(buffer.end(), entry->d_name, entry->d_name + std::strlen(entry->d_name) + 1);
        }
    } catch (...) {
        error = ENOMEM;
    }
    closedir(dir);
    return error;
}

// The listing of the directory at path, from one replica.
int take_listing(const char* path, const char* word, std::vector<char>& entries) noexcept
{
    replica_work work;
    const char* at = work.keep_text(0, path);
    if (at == nullptr || !work.set_step([at](replica_slot& slot, int k) noexcept {
            slot.error = read_listing(k, at, slot.buffer);
        }))
        return -ENOMEM;
    int served = -1;
    const int rc = serve_from_one_replica(work, word, served, read_order::by_priority);
    if (rc != 0)
        return rc;
    entries.swap(work.slot(served).buffer);
    return 0;
}

}  // namespace

int fs_getattr(const char* path, struct stat* st) noexcept
{
    int served = -1;
    return fs_getattr_served(path, st, served);
}

int fs_getattr_served(const char* path, struct stat* st, int& served) noexcept
{
    replica_work work;
    const char* at = work.keep_text(0, path);
    if (at == nullptr || !work.set_step([at](replica_slot& slot, int k) noexcept {
            replica_place place;
            slot.error = request_place(k, at, place) == -1 ||
                                 fstatat(place.dir, place.name.c_str(), &slot.st, AT_SYMLINK_NOFOLLOW) == -1
                             ? failure_errno()
                             : 0;
        }))
        return -ENOMEM;
    served = -1;
    const int rc = serve_from_one_replica(work, "getattr", served, read_order::by_priority);
    if (rc == 0)
        *st = work.slot(served).st;
    return rc;
}

namespace {

// count blocks of size bytes, in bytes; the largest value when it does
// not fit.
uint64_t in_bytes(uint64_t count, uint64_t size) noexcept
{
    uint64_t bytes;
    return __builtin_mul_overflow(count, size, &bytes) ? UINT64_MAX : bytes;
}

uint64_t fragment_of(const struct statvfs& st) noexcept
{
    return st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
}

}  // namespace

struct statvfs smallest_filesystem(const struct statvfs* answers, int count) noexcept
{
    struct statvfs mirror = answers[0];
    uint64_t fragment = fragment_of(answers[0]);
    for (int i = 1; i < count; ++i) {
        fragment = std::min(fragment, fragment_of(answers[i]));
        mirror.f_bsize = std::min(mirror.f_bsize, answers[i].f_bsize);
        mirror.f_namemax = std::min(mirror.f_namemax, answers[i].f_namemax);
    }
    if (fragment == 0)
        return mirror;
    uint64_t total = UINT64_MAX, free = UINT64_MAX, available = UINT64_MAX;
    for (int i = 0; i < count; ++i) {
        const uint64_t size = fragment_of(answers[i]);
        total = std::min(total, in_bytes(answers[i].f_blocks, size));
        free = std::min(free, in_bytes(answers[i].f_bfree, size));
        available = std::min(available, in_bytes(answers[i].f_bavail, size));
    }
    mirror.f_frsize = fragment;
    mirror.f_blocks = total / fragment;
    mirror.f_bfree = free / fragment;
    mirror.f_bavail = available / fragment;
    // A file system that reports no file count at all (btrfs) has no such
    // limit: it must not make the mirror look full of files.
    bool counted = false;
    for (int i = 0; i < count; ++i) {
        const struct statvfs& a = answers[i];
        if (a.f_files == 0)
            continue;
        mirror.f_files = counted ? std::min(mirror.f_files, a.f_files) : a.f_files;
        mirror.f_ffree = counted ? std::min(mirror.f_ffree, a.f_ffree) : a.f_ffree;
        mirror.f_favail = counted ? std::min(mirror.f_favail, a.f_favail) : a.f_favail;
        counted = true;
    }
    return mirror;
}

// The mirror holds no more than its smallest replica, so statfs asks every
// replica in service (as md reports its smallest member): a mount whose
// free space came from one replica at a time would answer 64M and 252G in
// turn, and users would fill it past the smaller one. A replica that fails
// is logged, not disabled: statfs changes nothing.
int fs_statfs(const char*, struct statvfs* st) noexcept
{
    replica_work work;
    const std::unique_ptr<struct statvfs[]> answers = zeroed_slots<struct statvfs>(state().replicas.count);
    if (!answers || !work.set_step([](replica_slot& slot, int k) noexcept {
            slot.error = fstatvfs(replica_at(k).root_fd, &slot.vfs) == -1 ? failure_errno() : 0;
        }))
        return -ENOMEM;
    bool asked = false;
    for (int k = 0; k < state().replicas.count; ++k)
        if (replica_in_service(k)) {
            work.submit(k);
            asked = true;
        }
    // As for the other lookups: no replica to ask is EINVAL.
    if (!asked)
        return -EINVAL;
    work.wait("statfs");
    int count = 0;
    int first_error = 0;
    for (int k = 0; k < state().replicas.count; ++k) {
        if (!work.answered(k))
            continue;
        if (work.slot(k).error == 0)
            answers[count++] = work.slot(k).vfs;
        else if (first_error == 0)
            first_error = work.slot(k).error;
    }
    if (count == 0)
        return first_error != 0 ? -first_error : -EIO;
    for (int k = 0; k < state().replicas.count; ++k)
        if (work.answered(k) && work.slot(k).error != 0)
            write_log("statfs", replica_at(k).root, work.slot(k).error);
    *st = smallest_filesystem(answers.get(), count);
    return 0;
}

// Room in every slot's buffer for size bytes; false when memory runs out.
static bool make_room(replica_work& work, size_t size) noexcept
{
    if (!work.ready())
        return false;
    try {
        for (int k = 0; k < state().replicas.count; ++k)
            if (replica_in_service(k))
                work.slot(k).buffer.resize(size);
    } catch (...) {
        return false;
    }
    return true;
}

int fs_readlink(const char* path, char* buffer, size_t size) noexcept
{
    // No room even for the terminating NUL.
    if (size == 0)
        return -EINVAL;
    replica_work work;
    const char* at = work.keep_text(0, path);
    if (at == nullptr || !make_room(work, size) ||
        !work.set_step([at, size](replica_slot& slot, int k) noexcept {
            replica_place place;
            slot.value = request_place(k, at, place) == -1
                             ? -1
                             : readlinkat(place.dir, place.name.c_str(), slot.buffer.data(), size - 1);
            slot.error = slot.value == -1 ? failure_errno() : 0;
        }))
        return -ENOMEM;
    int served = -1;
    const int rc = serve_from_one_replica(work, "readlink", served);
    if (rc != 0)
        return rc;
    const size_t length = static_cast<size_t>(work.slot(served).value);
    std::memcpy(buffer, work.slot(served).buffer.data(), length);
    buffer[length] = '\0';
    return 0;
}

int fs_list_directory(const char* path, const char* word, std::vector<char>& entries) noexcept
{
    return take_listing(path, word, entries);
}

int fs_attributes_in_directory(const char* path, const std::vector<std::string_view>& names,
                               std::vector<struct stat>& found, int& served) noexcept
{
    replica_work work;
    const char* at = work.keep_text(0, path);
    std::string joined;
    try {
        for (const std::string_view name : names) {
            joined.append(name);
            joined += '\0';
        }
        found.assign(names.size(), {});
    } catch (...) {
        return -ENOMEM;
    }
    // The worker may run the step after the request gave up on it: the
    // names go with the work.
    const char* kept = joined.empty() ? "" : work.keep_data(joined.data(), joined.size());
    const size_t length = joined.size();
    if (at == nullptr || kept == nullptr || !work.set_step([at, kept, length](replica_slot& slot, int k) noexcept {
            unique_fd fd(request_open(k, at, O_RDONLY | O_DIRECTORY));
            if (!fd) {
                slot.error = failure_errno();
                return;
            }
            try {
                slot.buffer.clear();
                for (size_t from = 0; from < length;) {
                    const char* name = kept + from;
                    struct stat st;
                    // A name gone meanwhile has no attributes: all zero.
                    if (fstatat(fd.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                        std::memset(&st, 0, sizeof st);
                    const char* raw = reinterpret_cast<const char*>(&st);
                    slot.buffer.insert(slot.buffer.end(), raw, raw + sizeof st);
                    from += std::strlen(name) + 1;
                }
                slot.error = 0;
            } catch (...) {
                slot.error = ENOMEM;
            }
        }))
        return -ENOMEM;
    const int rc = serve_from_one_replica(work, "readdir", served, read_order::by_priority);
    if (rc != 0)
        return rc;
    const std::vector<char>& raw = work.slot(served).buffer;
    for (size_t i = 0; i < found.size() && (i + 1) * sizeof(struct stat) <= raw.size(); ++i)
        std::memcpy(&found[i], raw.data() + i * sizeof(struct stat), sizeof(struct stat));
    return 0;
}

// Directory entries made durable on every replica in service.
int fs_fsyncdir(const char* path, int datasync, struct fuse_file_info*) noexcept
{
    replica_work work;
    const char* at = work.keep_text(0, path);
    if (at == nullptr)
        return -ENOMEM;
    work.waits_on_device();
    return replicate_change(work, mutation_variant::strict, "fsyncdir", "fsyncdir", [at, datasync](int k) noexcept {
        unique_fd fd(request_open(k, at, O_RDONLY | O_DIRECTORY));
        if (!fd)
            return replica_failed(failure_errno());
        return call_outcome(datasync ? fdatasync(fd.get()) : fsync(fd.get()));
    });
}

// Serves an answer of bytes (an attribute's value, a list of names) that
// the work's step leaves in its slot's buffer, from one replica: copied to
// out unless size is 0 (the caller asks only for the length). The length,
// or -errno.
static int serve_bytes(replica_work& work, const char* word, char* out,
                       size_t size) noexcept
{
    int served = -1;
    const int rc = serve_from_one_replica(work, word, served);
    if (rc != 0)
        return rc;
    const replica_slot& slot = work.slot(served);
    if (size != 0)
        std::memcpy(out, slot.buffer.data(), static_cast<size_t>(slot.value));
    return static_cast<int>(slot.value);
}

// The value of one attribute of the tree, from one replica. An attribute
// that is not there (ENODATA) or a buffer too small (ERANGE) is the
// answer; the replica records are never there.
int fs_getxattr(const char* path, const char* name, char* value, size_t size) noexcept
{
    if (is_reserved_attribute(name))
        return -ENODATA;
    if (!is_tree_attribute(name))
        return -EOPNOTSUPP;
    replica_work work;
    const char* at = work.keep_text(0, path);
    const char* attribute = work.keep_text(1, name);
    if (at == nullptr || attribute == nullptr || !make_room(work, size) ||
        !work.set_step([at, attribute, size](replica_slot& slot, int k) noexcept {
            replica_place place;
            if (request_place(k, at, place) == -1) {
                slot.error = failure_errno();
                return;
            }
            try {
                slot.value = lgetxattr(place.proc_path().c_str(), attribute,
                                       size != 0 ? slot.buffer.data() : nullptr, size);
            } catch (...) {
                slot.error = ENOMEM;
                return;
            }
            if (slot.value >= 0)
                slot.error = 0;
            else
                slot.error = errno == ENODATA || errno == ERANGE ? -errno : failure_errno();
        }))
        return -ENOMEM;
    return serve_bytes(work, "getxattr", value, size);
}

// Keeps the names of a NUL-separated list that the caller may see: the
// tree's, less trusted. ones for a caller other than root, as a local
// filesystem lists those to CAP_SYS_ADMIN only. The new length.
static size_t keep_shown_names(char* list, size_t length, bool trusted_shown) noexcept
{
    size_t kept = 0;
    for (size_t at = 0; at < length;) {
        const size_t name_length = strnlen(list + at, length - at);
        const std::string_view name(list + at, name_length);
        if (is_tree_attribute(name) && (trusted_shown || !name.starts_with("trusted."))) {
            std::memmove(list + kept, list + at, name_length);
            kept += name_length;
            list[kept++] = '\0';
        }
        at += name_length + 1;
    }
    return kept;
}

// The names of the object at path in replica k that the caller may see
// (keep_shown_names), into names; its length in value. 0, a positive
// errno, or -ERANGE when more than size (size not 0).
static int list_shown_names(int k, const char* path, size_t size, bool trusted_shown, std::vector<char>& names,
                            int64_t& value) noexcept
{
    replica_place place;
    if (request_place(k, path, place) == -1)
        return failure_errno();
    try {
        const std::string at = place.proc_path();
        for (int attempt = 0; attempt < 4; ++attempt) {
            const ssize_t needed = llistxattr(at.c_str(), nullptr, 0);
            if (needed < 0)
                return failure_errno();
            names.resize(static_cast<size_t>(needed) + 1);
            const ssize_t got = llistxattr(at.c_str(), names.data(), names.size());
            if (got >= 0) {
                const size_t length = keep_shown_names(names.data(), static_cast<size_t>(got), trusted_shown);
                value = static_cast<int64_t>(length);
                return size != 0 && length > size ? -ERANGE : 0;
            }
            if (errno != ERANGE)
                return failure_errno();
        }
        return -ERANGE;
    } catch (...) {
        return ENOMEM;
    }
}

// The names of the object the caller may see, from one replica. (Root
// stands for CAP_SYS_ADMIN: the request tells the caller's ids only.)
int fs_listxattr(const char* path, char* list, size_t size) noexcept
{
    replica_work work;
    const bool trusted_shown = current_caller().uid == 0;
    const char* at = work.keep_text(0, path);
    if (at == nullptr || !work.set_step([at, size, trusted_shown](replica_slot& slot, int k) noexcept {
            slot.error = list_shown_names(k, at, size, trusted_shown, slot.buffer, slot.value);
        }))
        return -ENOMEM;
    return serve_bytes(work, "listxattr", list, size);
}
