// Pieces shared by the operations that change every replica in service.
//
// A change is handed to every replica in service at once, each on its own
// worker (replica_workers.h), and waited for with the deadline. Each replica ends refused (a test before the system call
// said no), failed (the call, the ownership step after a create, or the
// times step after a change of names went wrong) or succeeded; the tally
// of those outcomes decides which replicas leave service and what the
// kernel is told. Two variants:
//
//  - strict: a refused replica counts like a failed one. When another
//    replica succeeded, every refused or failed replica is logged and
//    disabled and the reply is 0; otherwise the reply is the error of the
//    lowest-numbered replica still in service.
//  - lenient: a refusal is only remembered. A failed call is logged and
//    disabled when another replica succeeded; the reply is the error of the
//    highest-numbered replica still in service (after the disabling, that is
//    a refusal whenever anything succeeded), else 0.
//
// When no replica took part at all the reply is -EIO and nothing is logged.
//
// Per-request arrays are RAII owners so that every way out of an operation
// releases them; allocation failures are reported as a null array, never as
// an exception. The tally is private to the request and read in replica
// order once every replica answered, so the reply never depends on which
// replica finished first. A replica that missed the deadline, or left
// service during the request, takes no part in it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include <sys/types.h>
#include <time.h>

#include "common/caller.h"
#include "fs/engine/errors.h"
#include "fs/engine/replica_workers.h"
#include "fs/engine/replicas.h"

// N zero-filled slots, or null when memory runs out.
template <typename T>
std::unique_ptr<T[]> zeroed_slots(int n) noexcept
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[n > 0 ? n : 1]());
}

// Whether the caller is the daemon's own identity (root, as vornelix
// runs): what it creates is the caller's already.
bool caller_is_daemon(caller_identity caller) noexcept;

// Gives a newly created object (name in the directory dir, never followed)
// to the calling user (read in the request thread: a worker has no
// caller): owner the caller's uid, group the caller's gid, or the
// directory's group, which the object already has, when the directory
// carries the set-group-ID bit; nothing to do for the daemon's own
// identity. 0, or -1 with errno.
int give_to_caller(int dir, const std::string& name, caller_identity caller) noexcept;

// A change of owner drops the set-user-ID and set-group-ID bits of a
// non-directory; when mode asks for either, it is applied again. 0, or -1
// with errno.
int keep_special_bits(int dir, const std::string& name, mode_t mode) noexcept;
// The same for a file open on fd (a regular file just created).
int keep_special_bits_of(int fd, mode_t mode) noexcept;

// The times a change of names leaves: the kernel stamps a new object, and
// the directories whose entries change, with each replica's own clock at
// its turn, so every replica would answer a slightly different time. The
// request reads the clock once (change_instant) before handing the change
// to the workers, and each replica's step, once its change succeeded, sets
// that instant: the new object's access and modification times and the
// modification time of each directory changed. The kernel holds a
// directory's lock for every change in it that comes through one mount,
// and the name order holds the directories too (name_order.h), so the last
// instant set in a directory is the same on every replica. A replica where
// this step fails is left different and counts as failed, as for the
// ownership step (logged as the operation followed by "+utime").
struct timespec change_instant() noexcept;

// Access and modification times of a new object (name in dir, never
// followed) set to when. 0, or -1 with errno.
int stamp_new_object(int dir, const std::string& name, const struct timespec& when) noexcept;

// The modification time of the directory open on dir (also O_PATH) set to
// when; its access time stays. 0, or -1 with errno.
int stamp_directory(int dir, const struct timespec& when) noexcept;

// ftruncate, then the modification time set to when, as a truncation's
// time on every replica (its access time stays). 0, or -1 with errno.
int truncate_at_instant(int fd, off_t size, const struct timespec& when) noexcept;

enum class mutation_variant { strict, lenient };

inline replica_outcome replica_refused(int error) noexcept
{
    return {outcome_kind::refused, error};
}
inline replica_outcome replica_failed(int error) noexcept
{
    return {outcome_kind::failed, error};
}
inline replica_outcome replica_ownership_failed(int error) noexcept
{
    return {outcome_kind::ownership_failed, error};
}
inline replica_outcome replica_times_failed(int error) noexcept
{
    return {outcome_kind::times_failed, error};
}
inline replica_outcome replica_succeeded() noexcept
{
    return {outcome_kind::succeeded, 0};
}
// A replica that has nothing to do for the request (an open file with no
// descriptor there): it takes no part in the tally.
inline replica_outcome replica_absent() noexcept
{
    return {outcome_kind::absent, 0};
}

// The outcome of a system call that answers -1 with errno on failure.
inline replica_outcome call_outcome(int result) noexcept
{
    return result == -1 ? replica_failed(errno) : replica_succeeded();
}

// results[k] is -1 for a replica whose call failed (strict: or that was
// refused), errors[k] its errno, kinds[k] the outcome it had.
struct mutation_tally {
    std::unique_ptr<int32_t[]> results;
    std::unique_ptr<int32_t[]> errors;
    std::unique_ptr<outcome_kind[]> kinds;
    int successes = 0;
    int failures = 0;
};

// Allocates the arrays (a slot per replica). false when memory runs out.
bool start_tally(mutation_tally& tally) noexcept;

void record_outcome(mutation_tally& tally, int k, replica_outcome outcome,
                    mutation_variant variant) noexcept;

// When some replica succeeded and some failed: logs every failed replica
// still in service (word, ownership_word for an ownership-step failure,
// word and "+utime" for a times-step failure) and disables it, in
// ascending replica order.
void disable_failed_replicas(const mutation_tally& tally, const char* word,
                             const char* ownership_word) noexcept;

// The reply to the kernel: 0 or -errno (see the variants above).
int mutation_reply(const mutation_tally& tally, mutation_variant variant) noexcept;

// The whole replicated change: every replica in service runs the step on
// its worker, all at once, then the request disables and replies as the
// variant says. step is copied into the job (replica_workers.h says what it
// may capture) and is either step(k) answering the outcome, or
// step(slot, k) storing it in slot.outcome.
template <typename Step>
int replicate_change(replica_work& work, mutation_variant variant, const char* word,
                     const char* ownership_word, Step&& step) noexcept
{
    mutation_tally tally;
    if (!start_tally(tally))
        return -ENOMEM;
    bool set;
    if constexpr (std::is_invocable_v<Step&, replica_slot&, int>)
        set = work.set_step(std::forward<Step>(step));
    else
        set = work.set_step([step](replica_slot& slot, int k) noexcept { slot.outcome = step(k); });
    if (!set)
        return -ENOMEM;
    for (int k = state().replicas.count - 1; k >= 0; --k)
        if (replica_in_service(k))
            work.submit(k);
    work.wait(word);
    for (int k = 0; k < state().replicas.count; ++k)
        if (work.answered(k))
            record_outcome(tally, k, work.slot(k).outcome, variant);
    disable_failed_replicas(tally, word, ownership_word);
    return mutation_reply(tally, variant);
}
