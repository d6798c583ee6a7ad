// Names: mkdir, mknod, unlink, rmdir, symlink, rename and link, applied to
// every replica in service (replicated_mutation.h says how outcomes turn
// into disabling and replies, and how every replica gets the same times),
// each while it holds the order of the names it touches and of their
// directories (name_order.h).
//
// Whether the caller may make the change is the kernel's decision: the
// tree is mounted with its own permission checks, which use the calling
// process's credentials and groups on the attributes the mount reports.
// vornelix acts on the replicas with root's rights and gives every new
// object to the caller afterwards.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "common/caller.h"
#include "fs/engine/name_order.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replicas.h"
#include "fs/engine/replicated_mutation.h"
#include "fs/kernel/operations.h"

// One replica's part of a create: create(place) answering 0 or -1 with
// errno, then the ownership step, which keeps the special bits of mode,
// then the times step.
template <typename Create>
static replica_outcome create_on_replica(const char* path, int k, mode_t mode, caller_identity caller,
                                         const struct timespec& when, Create&& create) noexcept
{
    replica_place place;
    if (request_place(k, path, place) == -1)
        return replica_failed(failure_errno());
    if (create(place) == -1)
        return replica_failed(failure_errno());
    if (give_to_caller(place.dir, place.name, caller) == -1 ||
        keep_special_bits(place.dir, place.name, mode) == -1)
        return replica_ownership_failed(failure_errno());
    if (stamp_new_object(place.dir, place.name, when) == -1 || stamp_directory(place.dir, when) == -1)
        return replica_times_failed(failure_errno());
    return replica_succeeded();
}

// A new name on every replica, given to the caller; make(place) answers
// -1 with errno.
template <typename Make>
static int make_everywhere(const char* path, mode_t mode, const char* word, const char* ownership_word,
                           Make make) noexcept
{
    name_order_hold order(path, with_directories::yes);
    replica_work work;
    const char* at = work.keep_text(0, path);
    if (at == nullptr)
        return -ENOMEM;
    const caller_identity caller = current_caller();
    const struct timespec when = change_instant();
    return replicate_change(work, mutation_variant::strict, word, ownership_word, [=](int k) noexcept {
        return create_on_replica(at, k, mode, caller, when, make);
    });
}

int fs_mkdir(const char* path, mode_t mode) noexcept
{
    return make_everywhere(path, mode, "mkdir", "mkdir+chown", [mode](const replica_place& place) noexcept {
        return mkdirat(place.dir, place.name.c_str(), mode);
    });
}

// A regular file is made with an exclusive open, so that an existing name
// is never truncated or followed, and given away on its descriptor. A
// failing close counts as a failure of the replica, since the new file may
// not have reached it intact.
static int make_regular_file(const replica_place& place, mode_t mode) noexcept
{
    const int fd = openat(place.dir, place.name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd == -1)
        return -1;
    return close(fd);
}

static int make_node(const replica_place& place, mode_t mode, dev_t device) noexcept
{
    switch (mode & S_IFMT) {
    case S_IFIFO:
        return mkfifoat(place.dir, place.name.c_str(), mode);
    case S_IFREG:
        return make_regular_file(place, mode);
    default:
        return mknodat(place.dir, place.name.c_str(), mode, device);
    }
}

int fs_mknod(const char* path, mode_t mode, dev_t device) noexcept
{
    return make_everywhere(path, mode, "mknod", "mknod+chown", [mode, device](const replica_place& place) noexcept {
        return make_node(place, mode, device);
    });
}

int fs_symlink(const char* from, const char* to) noexcept
{
    // The link text is stored as received: it is the user's text, not a
    // path of this replica.
    name_order_hold order(to, with_directories::yes);
    replica_work work;
    const char* text = work.keep_text(0, from);
    const char* at = work.keep_text(1, to);
    if (text == nullptr || at == nullptr)
        return -ENOMEM;
    const caller_identity caller = current_caller();
    const struct timespec when = change_instant();
    return replicate_change(work, mutation_variant::strict, "symlink", "symlink+chown", [=](int k) noexcept {
        return create_on_replica(at, k, 0, caller, when, [text](const replica_place& place) noexcept {
            return symlinkat(text, place.dir, place.name.c_str());
        });
    });
}

static replica_outcome remove_on_replica(const char* path, int k, int flags,
                                         const struct timespec& when) noexcept
{
    replica_place place;
    if (request_place(k, path, place) == -1 || unlinkat(place.dir, place.name.c_str(), flags) == -1)
        return replica_failed(failure_errno());
    if (stamp_directory(place.dir, when) == -1)
        return replica_times_failed(failure_errno());
    return replica_succeeded();
}

namespace {

// unlink and rmdir, in the order of the name and of its directory.
int remove_name(const char* path, const char* word, int flags) noexcept
{
    name_order_hold order(path, with_directories::yes);
    replica_work work;
    const char* at = work.keep_text(0, path);
    if (at == nullptr)
        return -ENOMEM;
    const struct timespec when = change_instant();
    return replicate_change(work, mutation_variant::lenient, word, word, [at, flags, when](int k) noexcept {
        return remove_on_replica(at, k, flags, when);
    });
}

}  // namespace

int fs_unlink(const char* path) noexcept
{
    return remove_name(path, "unlink", 0);
}

int fs_rmdir(const char* path) noexcept
{
    const int rc = remove_name(path, "rmdir", AT_REMOVEDIR);
    // A directory made again under this name must never be reached
    // through the removed one's descriptor.
    forget_directory_places(path);
    return rc;
}

// Both names' places in replica k; the outcome when they cannot be had.
static bool find_two_places(const char* from, const char* to, int k, replica_place& source,
                            replica_place& target, replica_outcome& outcome) noexcept
{
    if (request_place(k, from, source) == -1 || request_place(k, to, target) == -1) {
        outcome = replica_failed(failure_errno());
        return false;
    }
    return true;
}

namespace {

// Whether two tree paths lie in the same directory.
bool same_directory(std::string_view a, std::string_view b) noexcept
{
    return a.substr(0, a.rfind('/')) == b.substr(0, b.rfind('/'));
}

// A change of two names (rename, link), in the order of both and of their
// directories; call(source dir, source name, target dir, target name)
// answers -1 with errno. The target's directory changes, and the source's
// too when source_changes (a rename).
template <typename Call>
int change_two_names(const char* word, const char* from, const char* to, bool source_changes,
                     Call call) noexcept
{
    name_order_hold order(from, to, with_directories::yes);
    replica_work work;
    const char* source_path = work.keep_text(0, from);
    const char* target_path = work.keep_text(1, to);
    if (source_path == nullptr || target_path == nullptr)
        return -ENOMEM;
    const bool stamp_source = source_changes && !same_directory(from, to);
    const struct timespec when = change_instant();
    return replicate_change(work, mutation_variant::strict, word, word, [=](int k) noexcept {
        replica_place source, target;
        replica_outcome outcome;
        if (!find_two_places(source_path, target_path, k, source, target, outcome))
            return outcome;
        if (call(source.dir, source.name.c_str(), target.dir, target.name.c_str()) == -1)
            return replica_failed(failure_errno());
        if (stamp_directory(target.dir, when) == -1 || (stamp_source && stamp_directory(source.dir, when) == -1))
            return replica_times_failed(failure_errno());
        return replica_succeeded();
    });
}

}  // namespace

int fs_rename(const char* from, const char* to, bool may_be_directory) noexcept
{
    const int rc = change_two_names("rename", from, to, true, [](int sd, const char* sn, int td, const char* tn) noexcept {
        return renameat(sd, sn, td, tn);
    });
    // A directory renamed is no longer at its old paths, and one replaced
    // under the new name is gone; the caller holds the tree shape alone
    // for a directory, so no request looks before this. A file replaces
    // no directory.
    if (may_be_directory) {
        forget_directory_places(from);
        forget_directory_places(to);
    }
    return rc;
}

int fs_link(const char* from, const char* to) noexcept
{
    return change_two_names("link", from, to, false, [](int sd, const char* sn, int td, const char* tn) noexcept {
        return linkat(sd, sn, td, tn, 0);
    });
}
