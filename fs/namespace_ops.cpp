// Names: mkdir, mknod, unlink, rmdir, symlink, rename and link, applied to
// every replica in service (replicated_mutation.h says how outcomes turn
// into disabling and replies).
//
// vornelix reaches the replicas with root's rights, so before each call it
// applies the Unix rules for the calling user to that replica's copy of the
// tree: adding or removing a name needs write and search permission on the
// directory, a sticky directory protects the names of other users, and a
// new object is given to the caller afterwards.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/caller.h"
#include "fs/operations.h"
#include "fs/permissions.h"
#include "fs/replicas.h"
#include "fs/replicated_mutation.h"

static constexpr int may_change_entries = may_write | may_search;

static int failure_errno() noexcept
{
    return errno != 0 ? errno : EIO;
}

// 0 when the caller holds every bit of required on the directory that
// holds the object, else the refusal's errno.
static int parent_refusal(const std::string& replica, int required) noexcept
{
    std::string parent;
    if (!parent_of(replica, parent))
        return ENOMEM;
    const int bits = path_permissions(parent.c_str());
    if (bits < 0)
        return failure_errno();
    return (bits & required) == required ? 0 : EACCES;
}

// In a sticky directory only the owner of a name, the owner of the
// directory or root may remove or rename it. 0 also when the object does
// not exist: the system call reports that.
static int sticky_refusal(const std::string& replica) noexcept
{
    const caller_identity caller = current_caller();
    if (caller.uid == 0)
        return 0;
    std::string parent;
    if (!parent_of(replica, parent))
        return ENOMEM;
    struct stat directory;
    if (stat(parent.c_str(), &directory) == -1 || (directory.st_mode & S_ISVTX) == 0)
        return 0;
    struct stat object;
    if (lstat(replica.c_str(), &object) == -1)
        return 0;
    if (caller.uid == object.st_uid || caller.uid == directory.st_uid)
        return 0;
    return EPERM;
}

// The tests of a removal or of the source of a rename.
static int removal_refusal(const std::string& replica) noexcept
{
    if (const int error = parent_refusal(replica, may_change_entries))
        return error;
    return sticky_refusal(replica);
}

// One replica's part of a create: the parent test, the test that does not
// depend on the replica (identity_refusal, 0 when none), the call
// create(replica path) answering 0 or -1 with errno, then the ownership
// step.
template <typename Create>
static replica_outcome create_on_replica(const char* path, int k, int identity_refusal,
                                         Create&& create) noexcept
{
    std::string replica;
    if (!replica_path(path, replica_table[k].root, replica))
        return replica_failed(ENOMEM);
    if (const int error = parent_refusal(replica, may_change_entries))
        return replica_refused(error);
    if (identity_refusal != 0)
        return replica_refused(identity_refusal);
    if (create(replica) == -1)
        return replica_failed(failure_errno());
    if (give_to_caller(replica) == -1)
        return replica_ownership_failed(failure_errno());
    return replica_succeeded();
}

int fs_mkdir(const char* path, mode_t mode) noexcept
{
    return replicate_change(mutation_variant::strict, "mkdir", "mkdir+chown", [&](int k) noexcept {
        return create_on_replica(path, k, 0, [mode](const std::string& replica) noexcept {
            return mkdir(replica.c_str(), mode);
        });
    });
}

// A regular file is made with an exclusive open, so that an existing name
// is never truncated or followed. The descriptor is not kept: the kernel
// opens the file next. A failing close counts as a failure of the replica,
// since the new file may not have reached it intact.
static int make_regular_file(const std::string& replica, mode_t mode) noexcept
{
    const int fd = open(replica.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd == -1)
        return -1;
    return close(fd);
}

static int make_node(const std::string& replica, mode_t mode, dev_t device) noexcept
{
    switch (mode & S_IFMT) {
    case S_IFIFO:
        return mkfifo(replica.c_str(), mode);
    case S_IFREG:
        return make_regular_file(replica, mode);
    default:
        return mknod(replica.c_str(), mode, device);
    }
}

// Devices (and nodes without a type) are root's alone; FIFOs, regular
// files and sockets anyone may make, as the kernel allows (binding a
// Unix-domain socket in the tree arrives here as a socket node).
static int node_type_refusal(mode_t mode) noexcept
{
    switch (mode & S_IFMT) {
    case S_IFIFO:
    case S_IFREG:
    case S_IFSOCK:
        return 0;
    default:
        return current_caller().uid == 0 ? 0 : EPERM;
    }
}

int fs_mknod(const char* path, mode_t mode, dev_t device) noexcept
{
    const int identity_refusal = node_type_refusal(mode);
    return replicate_change(mutation_variant::strict, "mknod", "mknod+chown", [&](int k) noexcept {
        return create_on_replica(path, k, identity_refusal, [&](const std::string& replica) noexcept {
            return make_node(replica, mode, device);
        });
    });
}

int fs_symlink(const char* from, const char* to) noexcept
{
    // The link text is stored as received: it is the user's text, not a
    // path of this replica.
    return replicate_change(mutation_variant::strict, "symlink", "symlink+chown", [&](int k) noexcept {
        return create_on_replica(to, k, 0, [from](const std::string& replica) noexcept {
            return symlink(from, replica.c_str());
        });
    });
}

template <typename Remove>
static replica_outcome remove_on_replica(const char* path, int k, Remove&& remove) noexcept
{
    std::string replica;
    if (!replica_path(path, replica_table[k].root, replica))
        return replica_failed(ENOMEM);
    if (const int error = removal_refusal(replica))
        return replica_refused(error);
    return call_outcome(remove(replica.c_str()));
}

int fs_unlink(const char* path) noexcept
{
    return replicate_change(mutation_variant::lenient, "unlink", "unlink", [path](int k) noexcept {
        return remove_on_replica(path, k, [](const char* replica) noexcept { return unlink(replica); });
    });
}

int fs_rmdir(const char* path) noexcept
{
    return replicate_change(mutation_variant::lenient, "rmdir", "rmdir", [path](int k) noexcept {
        return remove_on_replica(path, k, [](const char* replica) noexcept { return rmdir(replica); });
    });
}

// Moving or replacing a directory rewrites it (its ".." entry), so the
// caller needs write permission on it. Answers 0 or -errno.
static int directory_write_refusal(const struct stat& st) noexcept
{
    if (!S_ISDIR(st.st_mode))
        return 0;
    const int bits = stat_permissions(st);
    if (bits < 0)
        return -failure_errno();
    return (bits & may_write) != 0 ? 0 : -EACCES;
}

// Decided once, from the attributes that one replica reports, before any
// replica is touched.
static int rename_prechecks(const char* from, const char* to) noexcept
{
    struct stat st;
    const int rc = fs_getattr(from, &st);
    if (rc < 0)
        return rc;
    if (const int refusal = directory_write_refusal(st))
        return refusal;
    if (fs_getattr(to, &st) == 0)
        return directory_write_refusal(st);
    return 0;
}

static replica_outcome rename_on_replica(const char* from, const char* to, int k) noexcept
{
    std::string source, target;
    if (!replica_path(from, replica_table[k].root, source) ||
        !replica_path(to, replica_table[k].root, target))
        return replica_failed(ENOMEM);
    if (const int error = parent_refusal(source, may_change_entries))
        return replica_refused(error);
    if (const int error = parent_refusal(target, may_change_entries))
        return replica_refused(error);
    if (const int error = sticky_refusal(source))
        return replica_refused(error);
    if (const int error = sticky_refusal(target))
        return replica_refused(error);
    return call_outcome(rename(source.c_str(), target.c_str()));
}

int fs_rename(const char* from, const char* to) noexcept
{
    if (const int refusal = rename_prechecks(from, to))
        return refusal;
    return replicate_change(mutation_variant::strict, "rename", "rename",
                            [&](int k) noexcept { return rename_on_replica(from, to, k); });
}

static replica_outcome link_on_replica(const char* from, const char* to, int k) noexcept
{
    std::string source, target;
    if (!replica_path(from, replica_table[k].root, source) ||
        !replica_path(to, replica_table[k].root, target))
        return replica_failed(ENOMEM);
    // The source must be reachable: a second name for a file in a directory
    // the caller cannot search would open that file to the caller.
    if (const int error = parent_refusal(source, may_search))
        return replica_refused(error);
    if (const int error = parent_refusal(target, may_change_entries))
        return replica_refused(error);
    return call_outcome(link(source.c_str(), target.c_str()));
}

int fs_link(const char* from, const char* to) noexcept
{
    return replicate_change(mutation_variant::strict, "link", "link",
                            [&](int k) noexcept { return link_on_replica(from, to, k); });
}
