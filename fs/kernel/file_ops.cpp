// Open files. open and create open the file on every replica in service
// and keep one descriptor per replica in the open-file table; the slot
// number is the FUSE handle. read and fgetattr are served by one replica
// with fallback (read round-robin, fgetattr by priority, as getattr is);
// write, ftruncate, fallocate, flush and fsync
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

#include <atomic>
#include <bitset>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/caller.h"
#include "common/group_membership.h"
#include "fs/engine/errors.h"
#include "fs/engine/event_log.h"
#include "fs/engine/fd_table.h"
#include "fs/engine/handle_stripes.h"
#include "fs/engine/name_order.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replica_service.h"
#include "fs/engine/replica_workers.h"
#include "fs/engine/replicas.h"
#include "fs/engine/replicated_mutation.h"
#include "fs/engine/resync_gate.h"
#include "fs/engine/write_order.h"
#include "fs/kernel/open_file.h"
#include "fs/kernel/operations.h"

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

// Closes every descriptor of an array, whatever the state of its replica,
// each on its replica's worker.
void close_descriptors(int32_t* fds, int n) noexcept
{
    for (int r = 0; r < n; ++r) {
        if (fds[r] > 0)
            close_on_replica(r, fds[r]);
        fds[r] = 0;
    }
}

// Opens one replica's copy of an existing file; the descriptor (> 0) or -1
// with errno. Never follows a link, nor leaves the replica.
int open_existing(int k, const char* path, int flags) noexcept
{
    return away_from_zero(request_open(k, path, (flags & replica_open_flags) | O_NOCTTY));
}

// Creates the file on one replica and opens it for the flags asked,
// whatever mode it is created with (the creator of a read-only file may
// still write it through this descriptor), then sets its times and its
// directory's to when. The descriptor (> 0), or -1 with errno; failed
// tells which step failed: the ownership step (the file is then removed
// again) or the times step (the descriptor is still answered).
int create_file(int k, const char* path, int flags, mode_t mode, caller_identity caller,
                const struct timespec& when, outcome_kind& failed) noexcept
{
    failed = outcome_kind::failed;
    replica_place place;
    if (request_place(k, path, place) == -1)
        return -1;
    const int fd = away_from_zero(openat(place.dir, place.name.c_str(),
                                         (flags & replica_open_flags) | O_CREAT | O_EXCL |
                                             O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                                         mode));
    if (fd == -1)
        return -1;
    struct stat parent;
    const bool owned = caller_is_daemon(caller) ||
                       (fstat(place.dir, &parent) == 0 &&
                        fchown(fd, caller.uid, (parent.st_mode & S_ISGID) ? static_cast<gid_t>(-1) : caller.gid) == 0);
    const bool given = owned && keep_special_bits_of(fd, mode) == 0;
    if (!given) {
        const int error = errno;
        close(fd);
        (void)unlinkat(place.dir, place.name.c_str(), 0);
        errno = error;
        failed = outcome_kind::ownership_failed;
        return -1;
    }
    const struct timespec times[2] = {when, when};
    if (futimens(fd, times) == -1 || stamp_directory(place.dir, when) == -1)
        failed = outcome_kind::times_failed;
    return fd;
}

// Opens (or creates) the file on every replica in service, in the order of
// the replicated changes, and registers the descriptors. The caller holds
// the order of the name. A new file's attributes, as the first replica in
// priority order saw them once made, go to made and served when given
// (served stays -1 when none could tell).
int open_everywhere(const char* path, struct fuse_file_info* fi, bool creating, mode_t mode,
                    struct stat* made = nullptr, int* served = nullptr) noexcept
{
    const int n = state().replicas.count;
    descriptor_array fds = zeroed_slots<int32_t>(n);
    replica_work work;
    const char* at = work.keep_text(0, path);
    if (!fds || at == nullptr)
        return -ENOMEM;
    const int flags = fi->flags;
    const caller_identity caller = current_caller();
    const struct timespec when = change_instant();
    const int rc = replicate_change(work, mutation_variant::strict, "open", "open+chown",
                                    [=](replica_slot& slot, int k) noexcept {
        outcome_kind failed = outcome_kind::failed;
        const int fd = creating ? create_file(k, at, flags, mode, caller, when, failed)
                                : open_existing(k, at, flags);
        const int error = failure_errno();  // of a failed step
        if (fd == -1) {
            slot.outcome = {failed, error};
            return;
        }
        slot.opened = fd;
        slot.value = fstat(fd, &slot.st) == 0 ? 1 : 0;
        slot.outcome = failed == outcome_kind::times_failed ? replica_times_failed(error) : replica_succeeded();
    });
    // Every descriptor opened in time is the request's, also one of a
    // replica that the tally did not keep.
    for (int k = 0; k < n; ++k)
        if (work.answered(k)) {
            fds[k] = work.slot(k).opened;
            work.slot(k).opened = 0;
        }
    if (rc != 0) {
        close_descriptors(fds.get(), n);
        return rc;
    }
    // Descriptors of replicas that left service during the open are closed
    // now: they will never be used.
    for (int k = 0; k < n; ++k)
        if (fds[k] > 0 && !replica_in_service(k)) {
            close_on_replica(k, fds[k]);
            fds[k] = -1;
        }
    if (!creating && (fi->flags & O_TRUNC)) {
        open_file_view view;
        int cut = view_open_file(work, fds.get(), "truncate", view);
        const struct timespec when = change_instant();
        if (cut == 0)
            cut = change_open_file(work, view, "truncate", [when](int fd) noexcept {
                return truncate_at_instant(fd, 0, when);
            });
        if (cut != 0) {
            close_descriptors(fds.get(), n);
            return cut;
        }
    }
    // The stripes of every descriptor, for the writes by root.
    stripe_set stripes;
    bool known = true;
    for (int k = 0; k < n; ++k)
        if (fds[k] > 0) {
            known = known && work.slot(k).value == 1;
            stripes.stripes.set(write_order_stripe(work.slot(k).st.st_dev, work.slot(k).st.st_ino));
        }
    for (int i = 0; made != nullptr && served != nullptr && *served < 0 && i < n; ++i) {
        const int r = choose_replica_by_priority(i);
        if (r >= 0 && fds[r] > 0 && work.slot(r).value == 1) {
            *made = work.slot(r).st;
            *served = r;
        }
    }
    const int64_t slot = fd_table_insert(fds);
    if (slot < 0) {
        close_descriptors(fds.get(), n);
        return -EMFILE;
    }
    fi->fh = static_cast<uint64_t>(slot);
    remember_handle_stripes(fi->fh, known ? stripes.stripes.to_ullong() : 0);
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
// replica stopped accepting bytes without one, or its request gave up on
// it), 0 when complete.
int64_t write_fully(const replica_slot& slot, const char* data, size_t size, off_t offset,
                    int& error) noexcept
{
    const int fd = slot.fd;
    size_t done = 0;
    error = 0;
    while (done < size) {
        // A further call after a short write: only while the request
        // still waits for this replica.
        if (done > 0 && !still_wanted(slot)) {
            error = EIO;
            break;
        }
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

}  // namespace

int fs_open(const char* path, struct fuse_file_info* fi) noexcept
{
    name_order_hold order(path);
    const int rc = open_everywhere(path, fi, false, 0);
    // Only a truncation changes the file; its writes are noted through
    // the handle as they come.
    if (rc != 0 || !(fi->flags & O_TRUNC)) {
        order.unchanged();
        return rc;
    }
    note_opened_file(fi->fh);
    return rc;
}

int fs_create(const char* path, mode_t mode, struct fuse_file_info* fi, struct stat* made,
              int* served) noexcept
{
    if (served != nullptr)
        *served = -1;
    name_order_hold order(path, with_directories::yes);
    const int rc = open_everywhere(path, fi, true, mode, made, served);
    if (rc == 0)
        note_opened_file(fi->fh);
    return rc;
}

int fs_read(const char*, char* buffer, size_t size, off_t offset,
            struct fuse_file_info* fi) noexcept
{
    const handle_gate_hold gate(fi->fh, false);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    replica_work work;
    // Replicas served on this thread read straight into the reply. A
    // worker's bytes land in the job's own buffer, never in the request's:
    // a read given up on may still complete.
    char* const direct = work.ready() && work.stays_on_this_thread(fds) ? buffer : nullptr;
    try {
        for (int r = 0; r < state().replicas.count && work.ready() && direct == nullptr; ++r)
            if (fds[r] > 0 && replica_in_service(r) && !work.timed_out(r))
                work.slot(r).buffer.resize(size);
    } catch (...) {
        return -ENOMEM;
    }
    if (!work.set_step([direct, size, offset](replica_slot& slot, int) noexcept {
            char* into = direct != nullptr ? direct : slot.buffer.data();
            slot.value = read_fully(slot.fd, into, size, offset);
            slot.error = slot.value == -1 ? failure_errno() : 0;
        }))
        return -ENOMEM;
    const int rc = serve_from_one_descriptor(work, fds, "read");
    if (rc <= 0 || direct != nullptr)
        return rc;
    for (int r = 0; r < state().replicas.count; ++r)
        if (work.answered(r) && work.slot(r).value == rc) {
            std::memcpy(buffer, work.slot(r).buffer.data(), static_cast<size_t>(rc));
            break;
        }
    return rc;
}

int fs_fgetattr(const char*, struct stat* st, struct fuse_file_info* fi) noexcept
{
    int served = -1;
    return fs_fgetattr_served(st, fi, served);
}

int fs_fgetattr_served(struct stat* st, struct fuse_file_info* fi, int& served) noexcept
{
    const handle_gate_hold gate(fi->fh, false);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    replica_work work;
    if (!work.set_step([](replica_slot& slot, int) noexcept {
            slot.value = fstat(slot.fd, &slot.st);
            slot.error = slot.value == -1 ? failure_errno() : 0;
        }))
        return -ENOMEM;
    const int rc = serve_from_one_descriptor(work, fds, "getattr", read_order::by_priority);
    if (rc != 0)
        return rc;
    for (int r = 0; r < state().replicas.count; ++r)
        if (work.answered(r) && work.slot(r).value == 0) {
            *st = work.slot(r).st;
            served = r;
            break;
        }
    return 0;
}

// Writes every replica in service holding a descriptor, all at once, while
// the write order of the file is held. Each replica's count lands in its
// slot (value; error the errno that stopped it).
int fs_write(const char*, const char* data, size_t size, off_t offset,
             struct fuse_file_info* fi) noexcept
{
    const handle_gate_hold gate(fi->fh, true);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    replica_work work;
    open_file_view view;
    const uint64_t known = current_caller().uid == 0 ? known_handle_stripes(fi->fh) : 0;
    if (known != 0 && work.ready()) {
        view.stripes.stripes = std::bitset<write_order_stripe_count>(known);
        work.load_descriptors(fds);
    } else {
        if (const int viewed = view_open_file(work, fds, "write", view))
            return viewed;
        if (const int dropped = drop_group_id_for_writer(work, view))
            return dropped;
    }
    // A synchronous write (O_SYNC or O_DSYNC, of the file or of this call)
    // waits on each replica's device: replicas on disks do it side by side.
    if (fi->flags & O_DSYNC)
        work.waits_on_device();
    // A copy only for a replica served by its worker, which may still read
    // it once libfuse has refilled its buffer with the next request.
    const char* bytes = work.stays_on_this_thread(fds) ? data : work.keep_data(data, size);
    if (bytes == nullptr || !work.set_step([bytes, size, offset](replica_slot& slot, int) noexcept {
            slot.value = write_fully(slot, bytes, size, offset, slot.error);
        }))
        return -ENOMEM;
    {
        write_order_hold hold(view.stripes);
        for (int r = 0; r < state().replicas.count; ++r)
            if (fds[r] > 0 && replica_in_service(r))
                work.submit(r);
        work.wait("write");
        // Under the write order: whoever makes the times the same after
        // taking it sees this write.
        fd_table_note_write(fi->fh);
    }
    return settle_counts(work, "write");
}

namespace {

enum class writer_effects { none, drops_group_id, counts_as_write };

// A change through the descriptors of an open file (also one that has no
// name left to be reached by): change(fd) on every replica that holds one.
template <typename Change>
int change_through_handle(struct fuse_file_info* fi, const char* word, writer_effects effects,
                          Change&& change) noexcept
{
    const handle_gate_hold gate(fi->fh, true);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    replica_work work;
    open_file_view view;
    if (const int viewed = view_open_file(work, fds, word, view))
        return viewed;
    if (effects == writer_effects::drops_group_id)
        if (const int dropped = drop_group_id_for_writer(work, view))
            return dropped;
    const int rc = change_open_file(work, view, word, change);
    // It may change the modification time, as a write does.
    if (effects == writer_effects::counts_as_write)
        fd_table_note_write(fi->fh);
    return rc;
}

// flush and fsync: once the file's times are one, step runs on every
// replica that holds a descriptor.
template <typename Step>
int settle_through_handle(struct fuse_file_info* fi, const char* word, bool waits_on_device, Step&& step) noexcept
{
    const handle_gate_hold gate(fi->fh, false);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    equalise_after_writes(fi->fh, fds, word);
    replica_work work;
    if (!work.ready())
        return -ENOMEM;
    work.load_descriptors(fds);
    if (waits_on_device)
        work.waits_on_device();
    return replicate_change(work, mutation_variant::strict, word, word, std::forward<Step>(step));
}

}  // namespace

int fs_ftruncate(const char*, off_t size, struct fuse_file_info* fi) noexcept
{
    const struct timespec when = change_instant();
    return change_through_handle(fi, "truncate", writer_effects::drops_group_id, [size, when](int fd) noexcept {
        return truncate_at_instant(fd, size, when);
    });
}

int fs_fallocate(const char*, int mode, off_t offset, off_t length, struct fuse_file_info* fi) noexcept
{
    return change_through_handle(fi, "fallocate", writer_effects::counts_as_write, [=](int fd) noexcept {
        return fallocate(fd, mode, offset, length);
    });
}

int fs_flush(const char*, struct fuse_file_info* fi) noexcept
{
    // Every close(2) sends a flush: the times are the same when it returns.
    return settle_through_handle(fi, "flush", false, [](replica_slot& slot, int k) noexcept {
        if (slot.fd <= 0) {
            slot.outcome = replica_absent();
            return;
        }
        // A local filesystem reports every error at the call that met it,
        // and nothing at close.
        if (!replica_defers_errors(k)) {
            slot.outcome = replica_succeeded();
            return;
        }
        const int copy = dup(slot.fd);
        slot.outcome = copy == -1 ? replica_failed(failure_errno()) : call_outcome(close(copy));
    });
}

// A caller that asks for durability gets it: every replica in service that
// holds a descriptor is synchronised (after the times are made one, so
// that they are durable too). One that cannot be, while another can, no
// longer holds what the caller now believes is on disk, and leaves service
// like a replica that failed a write.
int fs_fsync(const char*, int datasync, struct fuse_file_info* fi) noexcept
{
    return settle_through_handle(fi, "fsync", true, [datasync](replica_slot& slot, int) noexcept {
        slot.outcome = slot.fd <= 0 ? replica_absent()
                                    : call_outcome(datasync ? fdatasync(slot.fd) : fsync(slot.fd));
    });
}

int fs_release(const char*, struct fuse_file_info* fi) noexcept
{
    const handle_gate_hold gate(fi->fh, false);
    // Writes after the last flush (a shared mapping's pages written back
    // after close) still leave one time.
    if (const int32_t* still_open = fd_table_get(fi->fh))
        equalise_after_writes(fi->fh, still_open, "release");
    forget_handle_stripes(fi->fh);
    descriptor_array fds = fd_table_remove(fi->fh);
    if (!fds)
        return -EINVAL;
    // Every descriptor is closed, also those of replicas disabled while the
    // file was open: nothing else would ever close them. A replica in
    // service whose close fails while another's succeeds is disabled. The
    // closes run on the replicas' workers, even one the request stops
    // waiting for.
    replica_work work;
    if (work.ready()) {
        work.load_descriptors(fds.get());
        for (int k = 0; k < state().replicas.count; ++k)
            work.slot(k).must_run = true;
        (void)replicate_change(work, mutation_variant::strict, "release", "release", [](replica_slot& slot, int) noexcept {
            slot.outcome = slot.fd <= 0 ? replica_absent() : call_outcome(close(slot.fd));
        });
        for (int k = 0; k < state().replicas.count; ++k)
            if (work.handed_over(k))
                fds[k] = 0;
    }
    close_descriptors(fds.get(), state().replicas.count);
    return 0;
}

int fs_fchmod(struct fuse_file_info* fi, mode_t mode) noexcept
{
    return change_through_handle(fi, "chmod", writer_effects::none, [mode](int fd) noexcept { return fchmod(fd, mode & 07777); });
}

int fs_fchown(struct fuse_file_info* fi, uid_t uid, gid_t gid) noexcept
{
    return change_through_handle(fi, "chown", writer_effects::none, [uid, gid](int fd) noexcept { return fchown(fd, uid, gid); });
}

int fs_futimens(struct fuse_file_info* fi, const struct timespec times[2]) noexcept
{
    // "Now" is one instant on every replica, as for a change by name.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct timespec both[2] = {times[0], times[1]};
    for (struct timespec& t : both)
        if (t.tv_nsec == UTIME_NOW)
            t = now;
    return change_through_handle(fi, "utime", writer_effects::none, [both](int fd) noexcept { return futimens(fd, both); });
}
