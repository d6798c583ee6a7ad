#include "fs/replicated_mutation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/caller.h"
#include "fs/event_log.h"

int give_to_caller(int dir, const std::string& name, caller_identity caller) noexcept
{
    struct stat parent;
    if (fstat(dir, &parent) == -1)
        return -1;
    const gid_t group = (parent.st_mode & S_ISGID) ? static_cast<gid_t>(-1) : caller.gid;
    return fchownat(dir, name.c_str(), caller.uid, group, AT_SYMLINK_NOFOLLOW);
}

int keep_special_bits(int dir, const std::string& name, mode_t mode) noexcept
{
    if ((mode & (S_ISUID | S_ISGID)) == 0 || S_ISDIR(mode))
        return 0;
    return fchmodat(dir, name.c_str(), mode & 07777, 0);
}

bool start_tally(mutation_tally& tally) noexcept
{
    tally.results = zeroed_slots<int32_t>(replica_count);
    tally.errors = zeroed_slots<int32_t>(replica_count);
    tally.successes = 0;
    tally.failures = 0;
    return tally.results && tally.errors;
}

void record_outcome(mutation_tally& tally, int k, replica_outcome outcome,
                    mutation_variant variant) noexcept
{
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
        tally.results[k] = -1;
        tally.errors[k] = outcome.error;
        break;
    case outcome_kind::ownership_failed:
        tally.results[k] = -1;
        tally.errors[k] = -outcome.error;
        break;
    }
    ++tally.failures;
}

void disable_failed_replicas(const mutation_tally& tally, const char* word,
                             const char* ownership_word) noexcept
{
    if (tally.successes == 0 || tally.failures == 0)
        return;
    for (int k = 0; k < replica_count; ++k) {
        if (!replica_in_service(k) || tally.results[k] >= 0)
            continue;
        const int error = tally.errors[k];
        if (error < 0)
            write_log(ownership_word, replica_table[k].root, -error);
        else
            write_log(word, replica_table[k].root, error);
        disable_replica(k, false);
    }
}

int mutation_reply(const mutation_tally& tally, mutation_variant variant) noexcept
{
    if (variant == mutation_variant::strict) {
        if (tally.successes > 0)
            return 0;
        for (int k = 0; k < replica_count; ++k)
            if (replica_in_service(k) && tally.errors[k] != 0)
                return -std::abs(tally.errors[k]);
    } else {
        for (int k = replica_count - 1; k >= 0; --k)
            if (replica_in_service(k) && tally.errors[k] != 0)
                return -std::abs(tally.errors[k]);
        if (tally.successes > 0)
            return 0;
    }
    // No replica took part (all out of service): there is no error of the
    // request to report, and success would be a lie.
    return -EIO;
}
