#include "fs/replicated_mutation.h"

#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/caller.h"
#include "fs/event_log.h"

// The group a new object gets: the parent's when the parent is
// set-group-ID (as the BSD and System V directory rule has it), else the
// caller's. The parent is the path before its last '/', "/" itself, or,
// for a name at the top of the replica under the mount point, that
// replica's top directory "." (so that every replica gives the object the
// same group). Throws std::bad_alloc when the parent's path cannot be
// copied.
static gid_t group_for_new_object(const std::string& replica_path, gid_t caller_gid)
{
    const size_t slash = replica_path.rfind('/');
    const std::string parent =
        slash == std::string::npos ? "." : replica_path.substr(0, slash == 0 ? 1 : slash);
    struct stat st;
    if (stat(parent.c_str(), &st) == 0 && (st.st_mode & S_ISGID))
        return st.st_gid;
    return caller_gid;
}

int give_to_caller(const std::string& replica_path) noexcept
{
    const caller_identity caller = current_caller();
    gid_t group;
    try {
        group = group_for_new_object(replica_path, caller.gid);
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
    return lchown(replica_path.c_str(), caller.uid, group);
}

bool parent_of(const std::string& replica_path, std::string& parent) noexcept
{
    try {
        std::string copy = replica_path;
        parent = dirname(copy.data());
        return true;
    } catch (...) {
        errno = ENOMEM;
        return false;
    }
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
