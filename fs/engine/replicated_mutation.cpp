#include "fs/engine/replicated_mutation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "common/caller.h"
#include "fs/engine/event_log.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replica_service.h"

bool caller_is_daemon(caller_identity caller) noexcept
{
    static const uid_t uid = geteuid();
    static const gid_t gid = getegid();
    return caller.uid == uid && caller.gid == gid;
}

int give_to_caller(int dir, const std::string& name, caller_identity caller) noexcept
{
    // What the daemon made is its own already, with the group a set-group-ID
    // directory gives: nothing to change.
    if (caller_is_daemon(caller))
        return 0;
    struct stat parent;
    if (fstat(dir, &parent) == -1)
        return -1;
    const gid_t group = (parent.st_mode & S_ISGID) ? static_cast<gid_t>(-1) : caller.gid;
    return fchownat(dir, name.c_str(), caller.uid, group, AT_SYMLINK_NOFOLLOW);
}

// The permission bits are those the object was made with, which an
// inherited access control list may have narrowed (its mask), with the
// set-ID and sticky bits asked for.
static mode_t made_with_special_bits(const struct stat& made, mode_t mode) noexcept
{
    return (made.st_mode & 0777) | (mode & 07000);
}

int keep_special_bits(int dir, const std::string& name, mode_t mode) noexcept
{
    if ((mode & (S_ISUID | S_ISGID)) == 0 || S_ISDIR(mode))
        return 0;
    struct stat made;
    if (fstatat(dir, name.c_str(), &made, AT_SYMLINK_NOFOLLOW) == -1)
        return -1;
    return fchmodat(dir, name.c_str(), made_with_special_bits(made, mode), 0);
}

int keep_special_bits_of(int fd, mode_t mode) noexcept
{
    if ((mode & (S_ISUID | S_ISGID)) == 0)
        return 0;
    struct stat made;
    if (fstat(fd, &made) == -1)
        return -1;
    return fchmod(fd, made_with_special_bits(made, mode));
}

struct timespec change_instant() noexcept
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

int stamp_new_object(int dir, const std::string& name, const struct timespec& when) noexcept
{
    const struct timespec times[2] = {when, when};
    return utimensat(dir, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

int stamp_directory(int dir, const struct timespec& when) noexcept
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, when};
    return utimensat(dir, "", times, AT_EMPTY_PATH);
}

int truncate_at_instant(int fd, off_t size, const struct timespec& when) noexcept
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, when};
    return ftruncate(fd, size) == -1 ? -1 : futimens(fd, times);
}

bool start_tally(mutation_tally& tally) noexcept
{
    tally.results = zeroed_slots<int32_t>(state().replicas.count);
    tally.errors = zeroed_slots<int32_t>(state().replicas.count);
    tally.kinds = zeroed_slots<outcome_kind>(state().replicas.count);
    tally.successes = 0;
    tally.failures = 0;
    return tally.results && tally.errors && tally.kinds;
}

void record_outcome(mutation_tally& tally, int k, replica_outcome outcome,
                    mutation_variant variant) noexcept
{
    tally.kinds[k] = outcome.kind;
    switch (outcome.kind) {
    case outcome_kind::absent:
        return;
    case outcome_kind::succeeded:
        tally.results[k] = 0;
        tally.errors[k] = 0;
        ++tally.successes;
        return;
    case outcome_kind::refused:
        // A lenient refusal keeps the replica in service: only the error
        // is remembered, for the reply.
        if (variant == mutation_variant::strict)
            tally.results[k] = -1;
        tally.errors[k] = outcome.error;
        break;
    case outcome_kind::failed:
    case outcome_kind::ownership_failed:
    case outcome_kind::times_failed:
        tally.results[k] = -1;
        tally.errors[k] = outcome.error;
        break;
    }
    ++tally.failures;
}

void disable_failed_replicas(const mutation_tally& tally, const char* word,
                             const char* ownership_word) noexcept
{
    if (tally.successes == 0 || tally.failures == 0)
        return;
    char times_word[64];
    std::snprintf(times_word, sizeof times_word, "%s+utime", word);
    for (int k = 0; k < state().replicas.count; ++k) {
        if (!replica_in_service(k) || tally.results[k] >= 0)
            continue;
        const outcome_kind kind = tally.kinds[k];
        write_log(kind == outcome_kind::ownership_failed ? ownership_word
                  : kind == outcome_kind::times_failed   ? times_word
                                                         : word,
                  replica_at(k).root, tally.errors[k]);
        disable_replica(k, false, tally.errors[k]);
    }
}

int mutation_reply(const mutation_tally& tally, mutation_variant variant) noexcept
{
    if (variant == mutation_variant::strict) {
        if (tally.successes > 0)
            return 0;
        for (int k = 0; k < state().replicas.count; ++k)
            if (replica_in_service(k) && tally.errors[k] != 0)
                return -tally.errors[k];
    } else {
        for (int k = state().replicas.count - 1; k >= 0; --k)
            if (replica_in_service(k) && tally.errors[k] != 0)
                return -tally.errors[k];
        if (tally.successes > 0)
            return 0;
    }
    // No replica took part (all out of service): there is no error of the
    // request to report, and success would be a lie.
    return -EIO;
}
