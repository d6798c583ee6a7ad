#include "fs/resync/resync_plan.h"

#include <unistd.h>

#include <cstdio>
#include <optional>

#include "fs/engine/change_journal.h"
#include "fs/engine/replica_record.h"

copy_plan plan_copy(int k, int source)
{
    copy_plan plan;
    // The target's record read from its root as it is now: a disk
    // replaced while the replica was out holds none.
    std::optional<uint64_t> generation;
    if (const int root = open_replica_root(k); root >= 0) {
        generation = replica_generation_on(root);
        close(root);
    }
    if (!generation) {
        plan.why_walk = "the replica holds no generation record";
    } else {
        journal_scan scan = journal_for(source, replica_identity(k), *generation);
        if (scan.verdict == journal_verdict::complete) {
            plan.from_journal = true;
            plan.paths.swap(scan.paths);
            return plan;
        }
        plan.why_walk = journal_verdict_text(scan.verdict);
    }
    plan.paths.assign(1, "/");
    return plan;
}

std::string plan_text(const copy_plan& plan)
{
    if (plan.from_journal)
        return "resync by journal, " + std::to_string(plan.paths.size()) + " names to copy";
    return "resync by full walk: " + plan.why_walk;
}

std::string plan_outcome_text(const copy_plan& plan)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - plan.began).count();
    char text[96];
    if (plan.from_journal)
        std::snprintf(text, sizeof text, "by journal in %.2f s, %zu names, ", seconds, plan.paths.size());
    else
        std::snprintf(text, sizeof text, "by full walk in %.2f s, ", seconds);
    return text;
}
