// How far the running resync is, for whoever wants to show it: counters
// the resync thread stores and any thread may read. A resync by the change
// journal counts the journal's names (to_do known from its start); a full
// walk counts the entries it made match (to_do stays 0: unknown).
#pragma once

#include <atomic>
#include <cstdint>

struct resync_counters {
    std::atomic<uint64_t> entries_done{0};
    std::atomic<uint64_t> entries_to_do{0};  // 0 while unknown
    std::atomic<bool> running{false};
    std::atomic<bool> by_journal{false};
};

resync_counters& resync_progress() noexcept;
