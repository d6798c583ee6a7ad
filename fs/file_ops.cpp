// Open files. open and create open the file on every replica in service
// and keep one descriptor per replica in the open-file table; the slot
// number is the FUSE handle. read and fgetattr are served by one replica
// (round-robin with fallback); write, ftruncate, fallocate, flush and fsync
// go to every replica in service that holds a descriptor, and a replica
// that fails while another succeeds is logged and disabled, as the other
// replicated changes do.
//
// Whether the caller may open the file for the flags asked is the kernel's
// decision (see namespace_ops.cpp); a descriptor once open keeps its
// access, as on any local filesystem. Every request on a handle works on
// the replicas' own descriptors, so a file removed while open keeps
// working to its last close. Every request on a handle holds the resync
// gate (resync_gate.h): a resync may give the handle a descriptor on the
// replica it brings back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/caller.h"
#include "common/group_membership.h"
#include "fs/errors.h"
#include "fs/event_log.h"
#include "fs/fd_table.h"
#include "fs/name_order.h"
#include "fs/operations.h"
#include "fs/replica_access.h"
#include "fs/replicas.h"
#include "fs/replicated_mutation.h"
#include "fs/resync_gate.h"
#include "fs/write_order.h"

namespace {

// The open flags a replica's descriptor takes from the request: the access
// mode and the flags that change how the descriptor itself behaves.
// O_CREAT, O_EXCL and O_TRUNC are applied by vornelix itself; O_DIRECT stays
// with the kernel, which already keeps such a file out of its cache (on a
// replica it would demand aligned buffers, and the request buffers are
// not); anything else the kernel passes is its own business.
constexpr int replica_open_flags =
    O_ACCMODE | O_APPEND | O_NONBLOCK | O_DSYNC | O_SYNC | O_NOATIME | O_LARGEFILE;

// Moves a descriptor that came out as 0 to another number: 0 in a
// descriptor array means "no descriptor". The descriptor, or -1 with errno.
int away_from_zero(int fd) noexcept
{
    if (fd != 0)
        return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    const int err = errno;
    close(fd);
    errno = err;
    return moved;
}

// Closes every descriptor of an array, whatever the state of its replica.
void close_descriptors(int32_t* fds, int n) noexcept
{
    for (int r = 0; r < n; ++r) {
        if (fds[r] > 0)
            close(fds[r]);
        fds[r] = 0;
    }
}

// The reply when no replica succeeded: minus the error of the
// lowest-numbered replica in service that has one (its magnitude), else of
// any replica that has one (it was disabled meanwhile), else -EIO: no
// replica took part at all, and a failure must never read as success.
int lowest_error(const int* errors, int n) noexcept
{
    for (int r = 0; r < n; ++r)
        if (errors[r] != 0 && replica_in_service(r))
            return -std::abs(errors[r]);
    for (int r = 0; r < n; ++r)
        if (errors[r] != 0)
            return -std::abs(errors[r]);
    return -EIO;
}

// What one look at an open file's descriptors tells: its write-order
// stripes (one per replica in service that holds a descriptor) and the
// attributes of the first of them, so that a write examines each
// descriptor once.
struct open_file_view {
    stripe_set stripes;
    struct stat first {};
    bool seen = false;
};

open_file_view view_open_file(const int32_t* fds) noexcept
{
    open_file_view view;
    for (int r = 0; r < replica_count; ++r) {
        struct stat st;
        if (fds[r] <= 0 || !replica_in_service(r) || fstat(fds[r], &st) == -1)
            continue;
        view.stripes.stripes.set(write_order_stripe(st.st_dev, st.st_ino));
        if (!view.seen) {
            view.first = st;
            view.seen = true;
        }
    }
    return view;
}

// A change made through every descriptor of an open file while its write
// order is held: change(fd) answers 0 or -1 with errno.
template <typename Change>
int change_open_file(const int32_t* fds, const char* word, Change&& change) noexcept
{
    write_order_hold hold(view_open_file(fds).stripes);
    return replicate_change(mutation_variant::strict, word, word, [&](int k) noexcept {
        if (fds[k] <= 0)
            return replica_absent();
        return call_outcome(change(fds[k]));
    });
}

// A write or truncation by someone outside the file's group drops a
// set-group-ID bit that has no group execute bit with it, as a local
// filesystem does. The kernel asks vornelix to drop the set-user-ID bit,
// and the set-group-ID bit with group execute, itself (through chmod); this
// last case it leaves to the filesystem. 0, or -errno.
int drop_group_id_for_writer(const int32_t* fds, const open_file_view& view) noexcept
{
    const caller_identity caller = current_caller();
    const struct stat& st = view.first;
    if (caller.uid == 0 || !view.seen)
        return 0;
    if ((st.st_mode & (S_ISGID | S_IXGRP)) != S_ISGID || !S_ISREG(st.st_mode))
        return 0;
    const int member = caller_in_group(caller, st.st_gid);
    if (member != 0)
        return member < 0 ? -EIO : 0;
    const mode_t kept = st.st_mode & 07777 & ~S_ISGID;
    return change_open_file(fds, "chmod", [kept](int fd) noexcept { return fchmod(fd, kept); });
}

// Opens one replica's copy of an existing file; the descriptor (> 0) or -1
// with errno. Never follows a link, nor leaves the replica.
int open_existing(int k, const char* path, int flags) noexcept
{
    return away_from_zero(open_in_replica(k, path, (flags & replica_open_flags) | O_NOCTTY));
}

// Creates the file on one replica and opens it for the flags asked,
// whatever mode it is created with (the creator of a read-only file may
// still write it through this descriptor). The descriptor (> 0), or -1
// with errno; ownership tells whether it was the ownership step that
// failed (the file is then removed again).
int create_file(int k, const char* path, int flags, mode_t mode, bool& ownership) noexcept
{
    ownership = false;
    replica_place place;
    if (find_place(k, path, place) == -1)
        return -1;
    const int fd = away_from_zero(openat(place.dir, place.name.c_str(),
                                         (flags & replica_open_flags) | O_CREAT | O_EXCL |
                                             O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                                         mode));
    if (fd == -1)
        return -1;
    const caller_identity caller = current_caller();
    struct stat parent;
    const bool given = fstat(place.dir, &parent) == 0 &&
                       fchown(fd, caller.uid,
                              (parent.st_mode & S_ISGID) ? static_cast<gid_t>(-1) : caller.gid) == 0 &&
                       ((mode & (S_ISUID | S_ISGID)) == 0 || fchmod(fd, mode & 07777) == 0);
    if (!given) {
        const int error = errno;
        close(fd);
        (void)unlinkat(place.dir, place.name.c_str(), 0);
        errno = error;
        ownership = true;
        return -1;
    }
    return fd;
}

// Opens (or creates) the file on every replica in service, in the order of
// the replicated changes, and registers the descriptors. The caller holds
// the order of the name.
int open_everywhere(const char* path, struct fuse_file_info* fi, bool creating, mode_t mode) noexcept
{
    const int n = replica_count;
    descriptor_array fds = zeroed_slots<int32_t>(n);
    if (!fds)
        return -ENOMEM;
    const int rc = replicate_change(mutation_variant::strict, "open", "open+chown", [&](int k) noexcept {
        bool ownership = false;
        const int fd = creating ? create_file(k, path, fi->flags, mode, ownership)
                                : open_existing(k, path, fi->flags);
        if (fd == -1)
            return ownership ? replica_ownership_failed(failure_errno()) : replica_failed(failure_errno());
        fds[k] = fd;
        return replica_succeeded();
    });
    if (rc != 0) {
        close_descriptors(fds.get(), n);
        return rc;
    }
    // Descriptors of replicas that left service during the open are closed
    // now: they will never be used.
    for (int k = 0; k < n; ++k)
        if (fds[k] > 0 && !replica_in_service(k)) {
            close(fds[k]);
            fds[k] = -1;
        }
    if (!creating && (fi->flags & O_TRUNC)) {
        const int cut = change_open_file(fds.get(), "truncate", [](int fd) noexcept { return ftruncate(fd, 0); });
        if (cut != 0) {
            close_descriptors(fds.get(), n);
            return cut;
        }
    }
    const int64_t slot = fd_table_insert(fds);
    if (slot < 0) {
        close_descriptors(fds.get(), n);
        return -EMFILE;
    }
    fi->fh = static_cast<uint64_t>(slot);
    return 0;
}

// pread until size bytes or the end of the file. A short count reads as
// the end of the file to the kernel, so a replica that stops early with an
// error counts as failed rather than answering with part of the data.
// The byte count, or -1 with errno.
ssize_t read_fully(int fd, char* buffer, size_t size, off_t offset) noexcept
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, buffer + done, size - done, offset + static_cast<off_t>(done));
        if (n == -1) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// pwrite until size bytes are written or the replica refuses more. The
// count written; error is the errno that stopped it early (EIO when the
// replica stopped accepting bytes without one), 0 when complete.
int64_t write_fully(int fd, const char* data, size_t size, off_t offset, int& error) noexcept
{
    size_t done = 0;
    error = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
        if (n == -1) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (n == 0) {
            error = EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

// Per-request state of a write: counts[r] is -1 for a replica that takes
// no part, else the bytes it wrote; errors[r] the errno that stopped it.
struct write_outcome {
    std::unique_ptr<int64_t[]> counts;
    std::unique_ptr<int[]> errors;
    int64_t best = -1;  // the most bytes any replica wrote
};

// Whether a replica that took part holds what the reply reports: all the
// bytes that the best replica wrote (and, when nothing was written, that it
// wrote nothing without an error).
bool wrote_in_full(const write_outcome& outcome, int r) noexcept
{
    return outcome.counts[r] >= 0 && outcome.counts[r] == outcome.best &&
           (outcome.best > 0 || outcome.errors[r] == 0);
}

// Writes every replica in service holding a descriptor, in ascending order,
// while the write order of the file is held.
void write_replicas(const int32_t* fds, const stripe_set& stripes, int n, const char* data,
                    size_t size, off_t offset, write_outcome& outcome) noexcept
{
    write_order_hold hold(stripes);
    for (int r = 0; r < n; ++r) {
        outcome.counts[r] = -1;
        if (fds[r] <= 0 || !replica_in_service(r))
            continue;
        outcome.counts[r] = write_fully(fds[r], data, size, offset, outcome.errors[r]);
    }
    for (int r = 0; r < n; ++r)
        if (outcome.counts[r] > outcome.best)
            outcome.best = outcome.counts[r];
}

// The attempt loop of the requests one replica's descriptor answers.
// attempt(fd) answers 0 or -1 with errno.
template <typename Attempt>
int serve_from_one_descriptor(const int32_t* fds, const char* word, Attempt&& attempt) noexcept
{
    const int n = replica_count;
    std::unique_ptr<int[]> errors = zeroed_slots<int>(n);
    if (!errors)
        return -ENOMEM;
    int failures = 0;
    read_turns turns;
    for (int i = 0; i < n; ++i) {
        const int r = choose_replica(turns, i);
        if (r < 0 || fds[r] <= 0 || !replica_in_service(r))
            continue;
        const ssize_t rc = attempt(fds[r]);
        if (rc == -1) {
            errors[r] = failure_errno();
            ++failures;
            continue;
        }
        if (failures > 0)
            for (int k = 0; k < n; ++k)
                if (errors[k] != 0)
                    write_log(word, replica_table[k].root, errors[k]);
        return static_cast<int>(rc);
    }
    return lowest_error(errors.get(), n);
}

}  // namespace

int fs_open(const char* path, struct fuse_file_info* fi) noexcept
{
    name_order_hold order(path);
    return open_everywhere(path, fi, false, 0);
}

int fs_create(const char* path, mode_t mode, struct fuse_file_info* fi) noexcept
{
    name_order_hold order(path);
    return open_everywhere(path, fi, true, mode);
}

int fs_read(const char*, char* buffer, size_t size, off_t offset,
            struct fuse_file_info* fi) noexcept
{
    const handle_gate_hold gate(fi->fh, false);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    return serve_from_one_descriptor(fds, "read", [&](int fd) noexcept {
        return read_fully(fd, buffer, size, offset);
    });
}

int fs_fgetattr(const char*, struct stat* st, struct fuse_file_info* fi) noexcept
{
    const handle_gate_hold gate(fi->fh, false);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    return serve_from_one_descriptor(fds, "getattr", [st](int fd) noexcept {
        return static_cast<ssize_t>(fstat(fd, st));
    });
}

int fs_write(const char*, const char* data, size_t size, off_t offset,
             struct fuse_file_info* fi) noexcept
{
    const handle_gate_hold gate(fi->fh, true);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    const int n = replica_count;
    write_outcome outcome;
    outcome.counts = zeroed_slots<int64_t>(n);
    if (!outcome.counts) {
        print_error(code_low_memory, "replica return code table allocation");
        return -ENOMEM;
    }
    outcome.errors = zeroed_slots<int>(n);
    if (!outcome.errors) {
        print_error(code_low_memory, "replica error code table allocation");
        return -ENOMEM;
    }

    const open_file_view view = view_open_file(fds);
    if (const int dropped = drop_group_id_for_writer(fds, view))
        return dropped;
    write_replicas(fds, view.stripes, n, data, size, offset, outcome);

    int written = 0;
    int failed = 0;
    for (int r = 0; r < n; ++r) {
        if (outcome.counts[r] < 0)
            continue;
        if (wrote_in_full(outcome, r))
            ++written;
        else
            ++failed;
    }
    if (written > 0 && failed > 0) {
        for (int r = 0; r < n; ++r) {
            if (outcome.counts[r] < 0 || wrote_in_full(outcome, r) || !replica_in_service(r))
                continue;
            write_log("write", replica_table[r].root, outcome.errors[r]);
            disable_replica(r, false);
        }
    }
    if (written > 0)
        return static_cast<int>(outcome.best);
    return lowest_error(outcome.errors.get(), n);
}

int fs_ftruncate(const char*, off_t size, struct fuse_file_info* fi) noexcept
{
    const handle_gate_hold gate(fi->fh, true);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    if (const int dropped = drop_group_id_for_writer(fds, view_open_file(fds)))
        return dropped;
    return change_open_file(fds, "truncate", [size](int fd) noexcept { return ftruncate(fd, size); });
}

int fs_fallocate(const char*, int mode, off_t offset, off_t length, struct fuse_file_info* fi) noexcept
{
    const handle_gate_hold gate(fi->fh, true);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    return change_open_file(fds, "fallocate", [=](int fd) noexcept {
        return fallocate(fd, mode, offset, length);
    });
}

// Every close of a file through the mount: a replica on a file system that
// reports write errors late (network file systems do, at close) reports
// them when a duplicate of its descriptor is closed. Such a replica no
// longer holds what the writer was told, and leaves service like one that
// failed a write.
int fs_flush(const char*, struct fuse_file_info* fi) noexcept
{
    const handle_gate_hold gate(fi->fh, false);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    return replicate_change(mutation_variant::strict, "flush", "flush", [fds](int k) noexcept {
        if (fds[k] <= 0)
            return replica_absent();
        const int copy = dup(fds[k]);
        if (copy == -1)
            return replica_failed(failure_errno());
        return call_outcome(close(copy));
    });
}

// A caller that asks for durability gets it: every replica in service that
// holds a descriptor is synchronised. One that cannot be, while another
// can, no longer holds what the caller now believes is on disk, and leaves
// service like a replica that failed a write.
int fs_fsync(const char*, int datasync, struct fuse_file_info* fi) noexcept
{
    const handle_gate_hold gate(fi->fh, false);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    return replicate_change(mutation_variant::strict, "fsync", "fsync", [&](int k) noexcept {
        if (fds[k] <= 0)
            return replica_absent();
        return call_outcome(datasync ? fdatasync(fds[k]) : fsync(fds[k]));
    });
}

int fs_release(const char*, struct fuse_file_info* fi) noexcept
{
    const handle_gate_hold gate(fi->fh, false);
    descriptor_array fds = fd_table_remove(fi->fh);
    if (!fds)
        return -EINVAL;
    // Every descriptor is closed, also those of replicas disabled while the
    // file was open: nothing else would ever close them. A replica in
    // service whose close fails while another's succeeds is disabled.
    (void)replicate_change(mutation_variant::strict, "release", "release", [&](int k) noexcept {
        if (fds[k] <= 0)
            return replica_absent();
        const int fd = fds[k];
        fds[k] = 0;
        return call_outcome(close(fd));
    });
    close_descriptors(fds.get(), replica_count);
    return 0;
}
