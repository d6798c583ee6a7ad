// What a resync copies before its last step: the names the source's change
// journal (change_journal.h) holds for the replica, when that journal is
// complete; otherwise the whole tree, and the log says why.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct copy_plan {
    bool from_journal = false;
    std::vector<std::string> paths;  // "/" alone for the full walk
    std::string why_walk;            // for the full walk
    std::chrono::steady_clock::time_point began;  // the resync's start
};

// The plan for bringing replica k back from replica source. Throws only
// for want of memory.
copy_plan plan_copy(int k, int source);

// The log's words for the plan, at its start: "resync by journal, N names
// to copy" or "resync by full walk: why".
std::string plan_text(const copy_plan& plan);

// For the last line: "by journal in S s, N names, " or "by full walk in S s, ".
std::string plan_outcome_text(const copy_plan& plan);
