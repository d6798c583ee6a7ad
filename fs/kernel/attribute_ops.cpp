// Attributes: chmod, chown, truncate and utimens, applied to every replica
// in service with the lenient variant of the replicated change.
//
// Whether the caller may change them is the kernel's decision (the tree is
// mounted with its own permission checks, see namespace_ops.cpp): a chmod
// by someone other than the owner arrives only when the kernel clears the
// set-user-ID and set-group-ID bits after a write, and must then be applied.
//
// Each change holds the order of its name and the write order of the object
// on every replica, so that two changes of one file through two hard links
// reach every replica in the same order, also relative to the writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "common/caller.h"
#include "common/group_membership.h"
#include "fs/engine/name_order.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replicas.h"
#include "fs/engine/replicated_mutation.h"
#include "fs/engine/tree_walk.h"
#include "fs/engine/write_order.h"
#include "fs/kernel/operations.h"

// The whole attribute change: the object is first looked at on every
// replica in service (each on its worker), so that its write order is held
// before any replica changes; then change(place) answers 0 or -1 with
// errno on each. A replica where the object cannot be found fails. The
// work may hold the change's own texts (an attribute's name, in text 1, and
// value, in its data): the path goes to text 0.
template <typename Change>
static int change_attribute(replica_work& work, const char* path, const char* word, Change&& change) noexcept
{
    name_order_hold order(path);
    const char* at = work.keep_text(0, path);
    if (at == nullptr)
        return -ENOMEM;
    const bool set = work.set_step([at](replica_slot& slot, int k) noexcept {
        replica_place place;
        slot.error = request_place(k, at, place) == -1 ||
                             fstatat(place.dir, place.name.c_str(), &slot.st, AT_SYMLINK_NOFOLLOW) == -1
                         ? failure_errno()
                         : 0;
    });
    if (!set)
        return -ENOMEM;
    for (int k = 0; k < state().replicas.count; ++k)
        if (replica_in_service(k))
            work.submit(k);
    work.wait(word);
    stripe_set stripes;
    for (int k = 0; k < state().replicas.count; ++k)
        if (work.answered(k) && work.slot(k).error == 0)
            stripes.stripes.set(write_order_stripe(work.slot(k).st.st_dev, work.slot(k).st.st_ino));
    write_order_hold hold(stripes);
    return replicate_change(work, mutation_variant::lenient, word, word,
                            [at, change](replica_slot& slot, int k) noexcept {
                                replica_place place;
                                if (slot.error != 0)
                                    slot.outcome = replica_failed(slot.error);
                                else if (request_place(k, at, place) == -1)
                                    slot.outcome = replica_failed(failure_errno());
                                else
                                    slot.outcome = call_outcome(change(place));
                            });
}

// fchmodat that never follows a symbolic link (EOPNOTSUPP for one: a link
// has no mode of its own to change). The kernel's fchmodat2 does it in one
// call; the C library's fchmodat with AT_SYMLINK_NOFOLLOW takes four (an
// O_PATH open, fstat, chmod through /proc, close), and is used where the
// kernel is older than fchmodat2 (Linux 6.6).
static int chmod_here(int dir, const char* name, mode_t mode) noexcept
{
#ifndef SYS_fchmodat2
    constexpr long SYS_fchmodat2 = 452;
#endif
    static std::atomic<bool> without_fchmodat2{false};
    if (!without_fchmodat2.load(std::memory_order_relaxed)) {
        const long rc = syscall(SYS_fchmodat2, dir, name, mode, AT_SYMLINK_NOFOLLOW);
        if (rc == 0 || (errno != ENOSYS && errno != EPERM))
            return static_cast<int>(rc);
        // A filter of system calls may refuse one it does not know with
        // EPERM (and an immutable file refuses any chmod with it): the
        // library's way answers for itself.
        if (errno == ENOSYS)
            without_fchmodat2.store(true, std::memory_order_relaxed);
    }
    return fchmodat(dir, name, mode, AT_SYMLINK_NOFOLLOW);
}

int fs_chmod(const char* path, mode_t mode) noexcept
{
    replica_work work;
    return change_attribute(work, path, "chmod", [mode](const replica_place& place) noexcept {
        return chmod_here(place.dir, place.name.c_str(), mode);
    });
}

int fs_chown(const char* path, uid_t uid, gid_t gid) noexcept
{
    // (uid_t)-1 and (gid_t)-1 keep the current id, as the kernel sends them
    // for the id that is not being changed; a link changes itself.
    replica_work work;
    return change_attribute(work, path, "chown", [uid, gid](const replica_place& place) noexcept {
        return fchownat(place.dir, place.name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW);
    });
}

int fs_utimens(const char* path, const struct timespec times[2]) noexcept
{
    // "Now" is read once for the request, so that every replica records
    // the same instant; UTIME_OMIT passes through and keeps that time.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct timespec applied[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    for (int i = 0; i < 2 && times != nullptr; ++i)
        applied[i] = times[i];
    for (struct timespec& t : applied)
        if (t.tv_nsec == UTIME_NOW)
            t = now;
    replica_work work;
    return change_attribute(work, path, "utime", [applied](const replica_place& place) noexcept {
        return utimensat(place.dir, place.name.c_str(), applied, AT_SYMLINK_NOFOLLOW);
    });
}

// truncate of a regular file, on a descriptor so that the file checked is
// the file cut, leaving when as its modification time. Answers 0 or -1
// with errno, as truncate(2) would.
static int cut_file(const replica_place& place, off_t size, const struct timespec& when) noexcept
{
    unique_fd fd(openat(place.dir, place.name.c_str(),
                        O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd)
        return -1;
    struct stat st;
    if (fstat(fd.get(), &st) == -1)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return truncate_at_instant(fd.get(), size, when);
}

// A truncation by someone outside the file's group drops a set-group-ID
// bit without group execute, as a write does (file_ops.cpp says why the
// kernel leaves this case to the filesystem); an access control list set
// by the owner outside the file's group drops it whatever group execute
// says, from a directory too, as the replica's filesystem would if the
// caller set it there (vornelix sets it as root). 0, or -errno.
static int drop_group_id(const char* path, bool only_without_group_execute) noexcept
{
    const caller_identity caller = current_caller();
    if (caller.uid == 0)
        return 0;
    struct stat st;
    if (fs_getattr(path, &st) != 0)
        return 0;  // the change itself answers what is wrong
    if ((st.st_mode & S_ISGID) == 0)
        return 0;
    if (only_without_group_execute && (!S_ISREG(st.st_mode) || (st.st_mode & S_IXGRP) != 0))
        return 0;
    const int member = caller_in_group(caller, st.st_gid);
    if (member != 0)
        return member < 0 ? -EIO : 0;
    return fs_chmod(path, st.st_mode & 07777 & ~S_ISGID);
}

int fs_truncate(const char* path, off_t size) noexcept
{
    if (const int dropped = drop_group_id(path, true))
        return dropped;
    replica_work work;
    const struct timespec when = change_instant();
    return change_attribute(work, path, "truncate", [size, when](const replica_place& place) noexcept {
        return cut_file(place, size, when);
    });
}

// Extended attributes: those of the tree (tree_walk.h) reach every
// replica. Who may change which is the kernel's decision, as for a local
// filesystem (trusted. needs CAP_SYS_ADMIN, security.capability
// CAP_SETFCAP, an access control list the owner); it also removes
// security.capability itself when someone without CAP_FSETID writes the
// file, a removal that must then be applied. The replica records are the
// daemon's own: no one may change them through the mount, root included,
// since a record changed behind the daemon's back would make it trust a
// replica that is behind, or distrust one that is current.
static int refused_attribute_change(const char* name) noexcept
{
    if (is_reserved_attribute(name))
        return -EPERM;
    return is_tree_attribute(name) ? 0 : -EOPNOTSUPP;
}

int fs_setxattr(const char* path, const char* name, const char* value, size_t size,
                int flags) noexcept
{
    if (const int refused = refused_attribute_change(name))
        return refused;
    replica_work work;
    const char* attribute = work.keep_text(1, name);
    const char* bytes = work.keep_data(value, size);
    if (attribute == nullptr || (size > 0 && bytes == nullptr))
        return -ENOMEM;
    const int rc = change_attribute(work, path, "setxattr", [=](const replica_place& place) noexcept {
        try {
            return lsetxattr(place.proc_path().c_str(), attribute, bytes, size, flags);
        } catch (...) {
            errno = ENOMEM;
            return -1;
        }
    });
    if (rc != 0 || std::strcmp(name, "system.posix_acl_access") != 0)
        return rc;
    return drop_group_id(path, false);
}

int fs_removexattr(const char* path, const char* name) noexcept
{
    if (const int refused = refused_attribute_change(name))
        return refused;
    replica_work work;
    const char* attribute = work.keep_text(1, name);
    if (attribute == nullptr)
        return -ENOMEM;
    return change_attribute(work, path, "removexattr", [=](const replica_place& place) noexcept {
        try {
            return lremovexattr(place.proc_path().c_str(), attribute);
        } catch (...) {
            errno = ENOMEM;
            return -1;
        }
    });
}
