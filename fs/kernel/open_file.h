// What every request on an open file shares: the look at its descriptors,
// a change made through all of them under the file's write order, the
// reply when none succeeded, the attempt loop of the requests one
// descriptor answers, and the modification time made the same on every
// replica once a handle wrote. The operations are in file_ops.cpp.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "fs/engine/replica_workers.h"
#include "fs/engine/replicas.h"
#include "fs/engine/replicated_mutation.h"
#include "fs/engine/write_order.h"

// The reply when no replica succeeded: minus the error of the
// lowest-numbered replica in service that has one (its magnitude), else of
// any replica that has one (it was disabled meanwhile), else -EIO: no
// replica took part at all, and a failure must never read as success.
// failed(r) tells whether replica r's slot holds an error of the request.
template <typename Failed>
int lowest_error(replica_work& work, Failed&& failed) noexcept
{
    for (int r = 0; r < state().replicas.count; ++r)
        if (failed(r) && work.slot(r).error != 0 && replica_in_service(r))
            return -std::abs(work.slot(r).error);
    for (int r = 0; r < state().replicas.count; ++r)
        if (failed(r) && work.slot(r).error != 0)
            return -std::abs(work.slot(r).error);
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

// Examines every descriptor of the open file on its replica's worker.
// Leaves the work's slots loaded with the descriptors. -ENOMEM or 0.
int view_open_file(replica_work& work, const int32_t* fds, const char* word,
                   open_file_view& view) noexcept;

// A change made through every descriptor of an open file (loaded into the
// work's slots) while its write order is held: change(fd) answers 0 or -1
// with errno.
template <typename Change>
int change_open_file(replica_work& work, const open_file_view& view, const char* word,
                     Change&& change) noexcept
{
    write_order_hold hold(view.stripes);
    return replicate_change(work, mutation_variant::strict, word, word,
                            [change](replica_slot& slot, int) noexcept {
                                slot.outcome = slot.fd <= 0 ? replica_absent() : call_outcome(change(slot.fd));
                            });
}

// A write or truncation by someone outside the file's group drops a
// set-group-ID bit that has no group execute bit with it, as a local
// filesystem does. The kernel asks vornelix to drop the set-user-ID bit,
// and the set-group-ID bit with group execute, itself (through chmod); this
// last case it leaves to the filesystem. 0, or -errno.
int drop_group_id_for_writer(replica_work& work, const open_file_view& view) noexcept;

// The attempt loop of the requests one replica's descriptor answers: the
// work's step stores in slot.value a count or -1 with slot.error. A
// replica that misses the deadline was disabled by the wait; the next one
// is tried. Answers the count, or the reply of the failure.
int serve_from_one_descriptor(replica_work& work, const int32_t* fds, const char* word,
                              read_order order = read_order::rotating) noexcept;

// The modification time of the file open on fds made the same on every
// replica in service: the first in priority order that can tell it (the
// replica whose attributes the mount shows) gives its time to the others,
// while the file's write order is held so that no write comes between. A
// replica that cannot take it is left different and leaves service (word
// and "+utime" in the log). Once per handle that wrote, and not per write:
// a write would cost one more call on every replica. -ENOMEM or 0.
int equalise_modification_time(uint64_t handle, const int32_t* fds, const char* word) noexcept;

// Makes the replicas' modification times the same when the handle wrote
// since they last were. The file's name is registered with a resync, as
// after a write: a copy taken before would miss the new time.
void equalise_after_writes(uint64_t handle, const int32_t* fds, const char* word) noexcept;

// The reply of a change that writes bytes on every replica (write, copy):
// each answered slot holds its count in value and the errno that stopped
// it early in error. Replicas that wrote less than the best are logged
// under word and disabled; the reply is the best count, or the failure.
int settle_counts(replica_work& work, const char* word) noexcept;
