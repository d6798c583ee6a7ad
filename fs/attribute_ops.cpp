// Attributes: chmod, chown, truncate and utime, applied to every replica in
// service with the lenient variant of the replicated change: a replica
// refused by a permission test keeps its old attributes and stays in
// service, and the refusal is the reply.
//
// The owner and group that the identity rules compare against are read
// once, from the replica that getattr picks, so that those rules decide
// alike on every replica. The rules stand in for the kernel's: vornelix
// acts with root's rights, so nothing below it would refuse.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <string>

#include "common/caller.h"
#include "fs/operations.h"
#include "fs/permissions.h"
#include "fs/replicas.h"
#include "fs/replicated_mutation.h"

static int failure_errno() noexcept
{
    return errno != 0 ? errno : EIO;
}

// One replica's part: test(replica path) answers 0 or the refusal's errno,
// then change(replica path) answers 0 or -1 with errno.
template <typename Test, typename Change>
static replica_outcome change_on_replica(const char* path, int k, Test&& test,
                                         Change&& change) noexcept
{
    std::string replica;
    if (!replica_path(path, replica_table[k].root, replica))
        return replica_failed(ENOMEM);
    if (const int refusal = test(replica))
        return replica_refused(refusal);
    return call_outcome(change(replica));
}

// Whether the caller belongs to the group: 1 yes, 0 no, -1 (ENOMEM) unknown.
static int caller_in_group(caller_identity caller, gid_t group) noexcept
{
    if (caller.gid == group)
        return 1;
    return group_lists_user(group, caller.uid);
}

// The mode chmod applies. Setting the set-group-ID bit of an object whose
// group the caller does not belong to would hand the caller that group's
// rights, so the bit is dropped, as the kernel does. -1 (ENOMEM) when the
// membership cannot be decided.
static int mode_to_apply(caller_identity caller, const struct stat& st, mode_t mode,
                         mode_t& applied) noexcept
{
    applied = mode;
    if (caller.uid == 0 || (mode & S_ISGID) == 0)
        return 0;
    const int member = caller_in_group(caller, st.st_gid);
    if (member < 0)
        return -1;
    if (member == 0)
        applied &= ~S_ISGID;
    return 0;
}

// The changes below never follow a symbolic link found at the name: the
// kernel asks them only for what it saw as a file or directory, so a link
// there (put in place by a concurrent rename, or on a diverged replica)
// could only lead outside the caller's object, possibly outside the tree.

// chmod of the object itself; a symbolic link has no mode of its own to
// change (EOPNOTSUPP).
static int change_mode(const std::string& replica, mode_t mode) noexcept
{
    return fchmodat(AT_FDCWD, replica.c_str(), mode, AT_SYMLINK_NOFOLLOW);
}

// truncate of a regular file, on a descriptor so that the file checked is
// the file cut. Answers 0 or -1 with errno, as truncate(2) would.
static int cut_file(const std::string& replica, off_t size) noexcept
{
    const int fd = open(replica.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1)
        return -1;
    struct stat st;
    int rc = fstat(fd, &st);
    if (rc == 0 && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        rc = -1;
    }
    if (rc == 0)
        rc = ftruncate(fd, size);
    const int error = errno;
    close(fd);
    errno = error;
    return rc;
}

// Access and modification times of the object itself; null times mean now.
static int change_times(const std::string& replica, const struct utimbuf* times) noexcept
{
    if (times == nullptr)
        return utimensat(AT_FDCWD, replica.c_str(), nullptr, AT_SYMLINK_NOFOLLOW);
    const struct timespec both[2] = {{times->actime, 0}, {times->modtime, 0}};
    return utimensat(AT_FDCWD, replica.c_str(), both, AT_SYMLINK_NOFOLLOW);
}

int fs_chmod(const char* path, mode_t mode) noexcept
{
    struct stat st;
    const int rc = fs_getattr(path, &st);
    if (rc < 0)
        return rc;
    const caller_identity caller = current_caller();
    // Only the owner or root may change the mode; the bits are not asked.
    const int refusal = caller.uid == 0 || caller.uid == st.st_uid ? 0 : EPERM;
    mode_t applied;
    if (mode_to_apply(caller, st, mode, applied) != 0)
        return -ENOMEM;
    return replicate_change(mutation_variant::lenient, "chmod", "chmod", [&](int k) noexcept {
        return change_on_replica(
            path, k, [refusal](const std::string&) noexcept { return refusal; },
            [applied](const std::string& replica) noexcept { return change_mode(replica, applied); });
    });
}

// The identity rules of chown against the object's current owner and
// group; (uid_t)-1 and (gid_t)-1 keep the current id, as the kernel sends
// them for the id that is not being changed. Answers 0 or the refusal's
// errno.
static int chown_identity_refusal(caller_identity caller, const struct stat& st, uid_t uid,
                                  gid_t gid) noexcept
{
    if (caller.uid == 0)
        return 0;
    const uid_t new_owner = uid == static_cast<uid_t>(-1) ? st.st_uid : uid;
    const gid_t new_group = gid == static_cast<gid_t>(-1) ? st.st_gid : gid;
    // Only root gives an object away.
    if (new_owner != st.st_uid)
        return EPERM;
    if (new_group == st.st_gid)
        return 0;
    // Only the owner changes the group, and only to a group it belongs to.
    if (caller.uid != st.st_uid)
        return EPERM;
    const int member = caller_in_group(caller, new_group);
    if (member < 0)
        return ENOMEM;
    return member != 0 ? 0 : EPERM;
}

int fs_chown(const char* path, uid_t uid, gid_t gid) noexcept
{
    struct stat st;
    const int rc = fs_getattr(path, &st);
    if (rc < 0)
        return rc;
    const int identity_refusal = chown_identity_refusal(current_caller(), st, uid, gid);
    const auto test = [identity_refusal](const std::string& replica) noexcept {
        const int bits = path_permissions(replica.c_str());
        if (bits < 0)
            return failure_errno();
        if ((bits & may_write) == 0)
            return EPERM;
        return identity_refusal;
    };
    return replicate_change(mutation_variant::lenient, "chown", "chown", [&](int k) noexcept {
        return change_on_replica(path, k, test, [uid, gid](const std::string& replica) noexcept {
            return lchown(replica.c_str(), uid, gid);
        });
    });
}

int fs_truncate(const char* path, off_t size) noexcept
{
    const auto test = [](const std::string& replica) noexcept {
        const int bits = path_permissions(replica.c_str());
        if (bits < 0)
            return failure_errno();
        return (bits & may_write) != 0 ? 0 : EACCES;
    };
    return replicate_change(mutation_variant::lenient, "truncate", "truncate", [&](int k) noexcept {
        return change_on_replica(path, k, test, [size](const std::string& replica) noexcept {
            return cut_file(replica, size);
        });
    });
}

int fs_utime(const char* path, struct utimbuf* times) noexcept
{
    struct stat st;
    const int rc = fs_getattr(path, &st);
    if (rc < 0)
        return rc;
    // Without write permission only the owner may set the times. The FUSE
    // library hands "now" over as explicit times (the kernel's clock), so
    // the owner is admitted whichever way the times come; otherwise the
    // owner of a read-only file could not even touch it.
    const bool owner = current_caller().uid == st.st_uid;
    const auto test = [owner](const std::string& replica) noexcept {
        const int bits = path_permissions(replica.c_str());
        if (bits < 0)
            return failure_errno();
        return (bits & may_write) != 0 || owner ? 0 : EACCES;
    };
    return replicate_change(mutation_variant::lenient, "utime", "utime", [&](int k) noexcept {
        return change_on_replica(path, k, test, [times](const std::string& replica) noexcept {
            return change_times(replica, times);
        });
    });
}
