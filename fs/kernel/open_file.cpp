#include "fs/kernel/open_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bitset>
#include <cerrno>

#include "common/caller.h"
#include "common/group_membership.h"
#include "fs/engine/event_log.h"
#include "fs/engine/fd_table.h"
#include "fs/engine/handle_stripes.h"
#include "fs/engine/replica_service.h"
#include "fs/engine/resync_gate.h"
#include "fs/kernel/request_context.h"

// Examines every descriptor of the open file on its replica's worker.
// Leaves the work's slots loaded with the descriptors. -ENOMEM or 0.
int view_open_file(replica_work& work, const int32_t* fds, const char* word,
                   open_file_view& view) noexcept
{
    if (!work.ready() || !work.set_step([](replica_slot& slot, int) noexcept {
            slot.error = fstat(slot.fd, &slot.st) == -1 ? failure_errno() : 0;
        }))
        return -ENOMEM;
    work.load_descriptors(fds);
    for (int r = 0; r < state().replicas.count; ++r)
        if (fds[r] > 0 && replica_in_service(r))
            work.submit(r);
    work.wait(word);
    for (int r = 0; r < state().replicas.count; ++r) {
        const replica_slot& slot = work.slot(r);
        if (!work.answered(r) || slot.error != 0 || !replica_in_service(r))
            continue;
        view.stripes.stripes.set(write_order_stripe(slot.st.st_dev, slot.st.st_ino));
        if (!view.seen) {
            view.first = slot.st;
            view.seen = true;
        }
    }
    return 0;
}

// A write or truncation by someone outside the file's group drops a
// set-group-ID bit that has no group execute bit with it, as a local
// filesystem does. The kernel asks vornelix to drop the set-user-ID bit,
// and the set-group-ID bit with group execute, itself (through chmod); this
// last case it leaves to the filesystem. 0, or -errno.
int drop_group_id_for_writer(replica_work& work, const open_file_view& view) noexcept
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
    const int rc = change_open_file(work, view, "chmod", [kept](int fd) noexcept { return fchmod(fd, kept); });
    if (rc == 0)
        note_attributes_changed();
    return rc;
}

// The attempt loop of the requests one replica's descriptor answers: the
// work's step stores in slot.value a count or -1 with slot.error. A
// replica that misses the deadline was disabled by the wait; the next one
// is tried. Answers the count, or the reply of the failure.
int serve_from_one_descriptor(replica_work& work, const int32_t* fds, const char* word,
                              read_order order) noexcept
{
    const int n = state().replicas.count;
    work.load_descriptors(fds);
    int failures = 0;
    read_turns turns;
    for (int i = 0; i < n; ++i) {
        const int r = choose_replica(order, turns, i);
        if (r < 0 || fds[r] <= 0 || !replica_in_service(r))
            continue;
        replica_slot& slot = work.slot(r);
        work.submit(r);
        work.wait(word);
        if (!work.answered(r))
            continue;
        if (slot.value == -1) {
            ++failures;
            continue;
        }
        if (failures > 0)
            for (int k = 0; k < n; ++k)
                if (work.answered(k) && work.slot(k).value == -1)
                    write_log(word, replica_at(k).root, work.slot(k).error);
        return static_cast<int>(slot.value);
    }
    return lowest_error(work, [&work](int r) noexcept { return work.answered(r) && work.slot(r).value == -1; });
}

// The modification time of the file open on fds made the same on every
// replica in service: the first in priority order that can tell it (the
// replica whose attributes the mount shows) gives its time to the others,
// while the file's write order is held so that no write comes between. A
// replica that cannot take it is left different and leaves service (word
// and "+utime" in the log). Once per handle that wrote, and not per write:
// a write would cost one more call on every replica. -ENOMEM or 0.
int equalise_modification_time(uint64_t handle, const int32_t* fds, const char* word) noexcept
{
    int holders = 0;
    for (int r = 0; r < state().replicas.count; ++r)
        if (fds[r] > 0 && replica_in_service(r))
            ++holders;
    if (holders < 2)
        return 0;
    replica_work work;
    open_file_view view;
    const uint64_t known = known_handle_stripes(handle);
    if (known != 0 && work.ready())
        view.stripes.stripes = std::bitset<write_order_stripe_count>(known);
    else if (const int viewed = view_open_file(work, fds, word, view))
        return viewed;
    write_order_hold hold(view.stripes);
    if (!work.set_step([](replica_slot& slot, int) noexcept {
            slot.value = fstat(slot.fd, &slot.st);
            slot.error = slot.value == -1 ? failure_errno() : 0;
        }))
        return -ENOMEM;
    if (serve_from_one_descriptor(work, fds, word, read_order::by_priority) != 0)
        return 0;  // no replica can tell its time: there is nothing to give
    int reference = -1;
    for (int r = 0; r < state().replicas.count && reference < 0; ++r)
        if (work.answered(r) && work.slot(r).value == 0)
            reference = r;
    const struct timespec times[2] = {{0, UTIME_OMIT}, work.slot(reference).st.st_mtim};
    const int rc = replicate_change(work, mutation_variant::strict, word, word,
                                    [times, reference](replica_slot& slot, int k) noexcept {
        if (slot.fd <= 0)
            slot.outcome = replica_absent();
        else if (k == reference || futimens(slot.fd, times) == 0)
            slot.outcome = replica_succeeded();
        else
            slot.outcome = replica_times_failed(failure_errno());
    });
    return rc == -ENOMEM ? rc : 0;
}

// Makes the replicas' modification times the same when the handle wrote
// since they last were. The file's name is registered with a resync, as
// after a write: a copy taken before would miss the new time.
void equalise_after_writes(uint64_t handle, const int32_t* fds, const char* word) noexcept
{
    if (!fd_table_take_write(handle))
        return;
    const handle_gate_hold noted(handle, true);
    // Out of memory: the next flush, fsync or the release tries again.
    if (equalise_modification_time(handle, fds, word) != 0)
        fd_table_note_write(handle);
}


namespace {

// Whether a replica that took part holds what the reply reports: all the
// bytes that the best replica wrote (and, when nothing was written, that
// it wrote nothing without an error).
bool wrote_in_full(const replica_slot& slot, int64_t best) noexcept
{
    return slot.value == best && (best > 0 || slot.error == 0);
}

}  // namespace

int settle_counts(replica_work& work, const char* word) noexcept
{
    // Which replicas took part is read in replica order, whatever the
    // order they finished in.
    int64_t best = -1;
    for (int r = 0; r < state().replicas.count; ++r)
        if (work.answered(r) && work.slot(r).value > best)
            best = work.slot(r).value;
    int written = 0;
    int failed = 0;
    for (int r = 0; r < state().replicas.count; ++r) {
        if (!work.answered(r))
            continue;
        if (wrote_in_full(work.slot(r), best))
            ++written;
        else
            ++failed;
    }
    if (written > 0 && failed > 0) {
        for (int r = 0; r < state().replicas.count; ++r) {
            if (!work.answered(r) || wrote_in_full(work.slot(r), best) || !replica_in_service(r))
                continue;
            write_log(word, replica_at(r).root, work.slot(r).error);
            disable_replica(r, false, work.slot(r).error);
        }
    }
    if (written > 0)
        return static_cast<int>(best);
    return lowest_error(work, [&work](int r) noexcept { return work.answered(r); });
}
