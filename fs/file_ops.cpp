// Open files. open opens the file on every replica in service and keeps one
// descriptor per replica in the open-file table; the slot number is the
// FUSE handle. read is served by one replica (round-robin with fallback);
// write goes to every replica in service that holds a descriptor, in
// replica order, and a replica that fails while another succeeds is logged
// and disabled, as the other replicated changes do.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fs/errors.h"
#include "fs/event_log.h"
#include "fs/fd_table.h"
#include "fs/operations.h"
#include "fs/permissions.h"
#include "fs/replicas.h"
#include "fs/replicated_mutation.h"
#include "fs/write_order.h"

namespace {

// Mode of a file that open itself creates (O_CREAT reaches open only where
// the kernel does not create through mknod first; Linux always does). The
// request carries no mode and the caller's umask is unknown here, so the
// file gets the narrowest useful mode: readable and writable by its new
// owner only. The owner can widen it; a wider default would show a file to
// other users that its owner may never have meant to share.
constexpr mode_t created_file_mode = 0600;

// The permission bits the caller needs on the file for these open flags.
// O_EXCL without any writing flag leaves a read-only open, which needs
// read like any other.
int required_bits(int flags) noexcept
{
    if (flags & (O_WRONLY | O_APPEND | O_CREAT | O_TRUNC))
        return may_write;
    if (flags & O_RDWR)
        return may_read | may_write;
    return may_read;
}

bool has_bits(int bits, int required) noexcept
{
    return (bits & required) == required;
}

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

// The caller's bits for an open: on the parent directory when the open is
// to create the file, else on the file itself. -1 with code set to minus
// the errno.
int open_bits(const std::string& path, bool creating, int& code) noexcept
{
    int bits;
    if (creating) {
        std::string parent;
        if (!parent_of(path, parent)) {
            code = -ENOMEM;
            return -1;
        }
        bits = path_permissions(parent.c_str());
    } else {
        bits = path_permissions(path.c_str());
    }
    if (bits < 0)
        code = -errno;
    return bits;
}

// Opens one replica's copy of the file for the caller. Returns the
// descriptor (> 0), or -1 with code set: positive, the errno of the open
// call or EACCES when the bits refuse the flags; negative, minus the errno
// of the permission function, of a path copy, or of the change of owner of
// a new file.
//
// The checks are made on the path and the file is opened afterwards, so the
// open must not land on something other than what was checked: it never
// follows a final symbolic link, it creates only with O_EXCL (a file that
// appears meanwhile is opened as an existing one, never given away), and an
// existing file's bits are checked again on the descriptor.
int open_on_replica(const std::string& path, int flags, int& code) noexcept
{
    const int required = required_bits(flags);
    for (int round = 0; round < 2; ++round) {
        struct stat st;
        const bool exists = lstat(path.c_str(), &st) == 0;
        const bool is_new = !exists && errno == ENOENT;
        const bool creating = is_new && (flags & O_CREAT);

        const int bits = open_bits(path, creating, code);
        if (bits < 0)
            return -1;
        if (!has_bits(bits, required)) {
            code = EACCES;
            return -1;
        }

        if (!creating && exists && (flags & O_CREAT) && (flags & O_EXCL)) {
            code = EEXIST;
            return -1;
        }
        // O_DIRECT stays with the kernel, which already keeps such a file
        // out of its cache: on a replica it would demand aligned buffers,
        // and the request buffers are not, so every write would fail.
        int open_flags = (flags | O_NOFOLLOW | O_CLOEXEC) & ~O_DIRECT;
        if (creating)
            open_flags |= O_EXCL;
        else
            open_flags &= ~O_CREAT;
        const int fd = away_from_zero(open(path.c_str(), open_flags, created_file_mode));
        if (fd == -1) {
            if (creating && errno == EEXIST && !(flags & O_EXCL))
                continue;  // created by someone else meanwhile: open it as it is
            code = errno;
            return -1;
        }

        if (creating) {
            if (give_to_caller(path) == -1) {
                code = -errno;
                close(fd);
                return -1;
            }
            return fd;
        }
        const int bits_now = fd_permissions(fd);
        if (bits_now < 0 || !has_bits(bits_now, required)) {
            code = EACCES;
            close(fd);
            return -1;
        }
        return fd;
    }
    code = EEXIST;
    return -1;
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
void write_replicas(const int32_t* fds, int n, const char* data, size_t size, off_t offset,
                    write_outcome& outcome) noexcept
{
    stripe_set stripes;
    for (int r = 0; r < n; ++r)
        if (fds[r] > 0 && replica_in_service(r))
            add_file_stripe(stripes, fds[r]);
    write_order_hold hold(stripes);

    for (int r = 0; r < n; ++r) {
        outcome.counts[r] = -1;
        if (fds[r] <= 0 || !replica_in_service(r))
            continue;
        outcome.counts[r] = 0;
        const int bits = fd_permissions(fds[r]);
        if (bits < 0) {
            outcome.errors[r] = errno;
            continue;
        }
        if (!(bits & may_write)) {
            outcome.errors[r] = EACCES;
            continue;
        }
        outcome.counts[r] = write_fully(fds[r], data, size, offset, outcome.errors[r]);
    }
    for (int r = 0; r < n; ++r)
        if (outcome.counts[r] > outcome.best)
            outcome.best = outcome.counts[r];
}

}  // namespace

int fs_open(const char* path, struct fuse_file_info* fi) noexcept
{
    const int n = replica_count;
    descriptor_array fds = zeroed_slots<int32_t>(n);
    std::unique_ptr<int[]> codes = zeroed_slots<int>(n);
    if (!fds || !codes)
        return -ENOMEM;

    int opened = 0;
    int failed = 0;
    for (int r = n - 1; r >= 0; --r) {
        if (!replica_in_service(r))
            continue;
        std::string p;
        int fd = -1;
        if (!replica_path(path, replica_table[r].root, p))
            codes[r] = -ENOMEM;
        else
            fd = open_on_replica(p, fi->flags, codes[r]);
        fds[r] = fd;
        if (fd > 0)
            ++opened;
        else
            ++failed;
    }

    if (opened > 0 && failed > 0) {
        for (int r = 0; r < n; ++r) {
            if (!replica_in_service(r) || fds[r] >= 0)
                continue;
            if (codes[r] > 0)
                write_log("open", replica_table[r].root, codes[r]);
            else
                write_log("open+chown", replica_table[r].root, -codes[r]);
            disable_replica(r, false);
        }
    }
    if (opened == 0)
        return lowest_error(codes.get(), n);

    const int64_t slot = fd_table_insert(fds);
    if (slot < 0) {
        close_descriptors(fds.get(), n);
        return -EMFILE;
    }
    fi->fh = static_cast<uint64_t>(slot);
    return 0;
}

int fs_read(const char*, char* buffer, size_t size, off_t offset,
            struct fuse_file_info* fi) noexcept
{
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    const int n = replica_count;
    std::unique_ptr<int[]> errors = zeroed_slots<int>(n);
    if (!errors)
        return -ENOMEM;

    int failures = 0;
    read_turns turns;
    for (int attempt = 0; attempt < n; ++attempt) {
        const int r = choose_replica(turns, attempt);
        if (r < 0 || fds[r] <= 0 || !replica_in_service(r))
            continue;
        const int bits = fd_permissions(fds[r]);
        if (bits < 0) {
            errors[r] = errno;
            ++failures;
            continue;
        }
        if (!(bits & may_read))
            return -EACCES;
        const ssize_t got = read_fully(fds[r], buffer, size, offset);
        if (got == -1) {
            errors[r] = errno;
            ++failures;
            continue;
        }
        if (failures > 0)
            for (int k = 0; k < n; ++k)
                if (errors[k] != 0)
                    write_log("read", replica_table[k].root, errors[k]);
        return static_cast<int>(got);
    }
    return lowest_error(errors.get(), n);
}

int fs_write(const char*, const char* data, size_t size, off_t offset,
             struct fuse_file_info* fi) noexcept
{
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

    write_replicas(fds, n, data, size, offset, outcome);

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

int fs_flush(const char*, struct fuse_file_info*) noexcept
{
    return 0;
}

// A caller that asks for durability gets it: every replica in service that
// holds a descriptor is synchronised. One that cannot be, while another
// can, no longer holds what the caller now believes is on disk, and leaves
// service like a replica that failed a write.
int fs_fsync(const char*, int datasync, struct fuse_file_info* fi) noexcept
{
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    const int n = replica_count;
    std::unique_ptr<int[]> errors = zeroed_slots<int>(n);
    if (!errors)
        return -ENOMEM;
    int synced = 0;
    int failed = 0;
    for (int r = 0; r < n; ++r) {
        if (fds[r] <= 0 || !replica_in_service(r))
            continue;
        if ((datasync ? fdatasync(fds[r]) : fsync(fds[r])) == 0) {
            ++synced;
        } else {
            errors[r] = errno;
            ++failed;
        }
    }
    if (synced > 0 && failed > 0) {
        for (int r = 0; r < n; ++r) {
            if (errors[r] == 0 || !replica_in_service(r))
                continue;
            write_log("fsync", replica_table[r].root, errors[r]);
            disable_replica(r, false);
        }
    }
    if (synced > 0)
        return 0;
    return lowest_error(errors.get(), n);
}

int fs_release(const char*, struct fuse_file_info* fi) noexcept
{
    descriptor_array fds = fd_table_remove(fi->fh);
    if (!fds)
        return -EINVAL;
    // Every descriptor is closed, also those of replicas disabled while the
    // file was open: nothing else would ever close them.
    bool closed_one = false;
    int error = EIO;
    for (int r = 0; r < replica_count; ++r) {
        if (fds[r] <= 0)
            continue;
        if (close(fds[r]) == 0)
            closed_one = true;
        else
            error = errno;
        fds[r] = 0;
    }
    return closed_one ? 0 : -error;
}
