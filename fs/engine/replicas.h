// The replica table, replica states, tree paths inside replicas, and the
// choice of the replica that serves a read (round-robin, or by priority).
//
// Lifetime and thread safety: the table is part of the process state
// (process_state.h), built once at start-up (replica_set.cpp) and never
// resized. root, root_length and low_priority never change afterwards;
// root_fd only when a resync opens the root of a replica out of service
// again (atomic: requests read it without a lock).
// A replica's state (in service, behind, or disabled with the time it was
// disabled) is read by every request thread and written by the request
// threads, the control thread and the resync thread. Requests read it
// without a lock on every operation, so the state and its time live in one
// atomic word and are only reached through state_of, status_of, set_state,
// exchange_status and compare_and_set below. Only replicas in service take
// part in any operation.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fs/engine/process_state.h"

// Replica k of the table, 0 <= k < state().replicas.count.
inline replica_info& replica_at(int k) noexcept
{
    return state().replicas.table[k];
}

inline replica_status status_of(int k) noexcept
{
    return unpack_status(replica_at(k).packed_status.load());
}

inline replica_state state_of(int k) noexcept
{
    return status_of(k).state;
}

inline bool replica_in_service(int k) noexcept
{
    return state_of(k) == replica_state::in_service;
}

// disabled_at counts only for replica_state::disabled.
inline void set_state(int k, replica_state state, int64_t disabled_at = 0) noexcept
{
    replica_at(k).packed_status.store(pack_status({state, disabled_at}));
}

// Stores the new status and answers the one it replaced.
inline replica_status exchange_status(int k, replica_status next) noexcept
{
    return unpack_status(replica_at(k).packed_status.exchange(pack_status(next)));
}

// Stores next only while k is in the expected state, which is never
// disabled: a disabled replica's word holds a time the caller does not know.
inline bool compare_and_set(int k, replica_state expected, replica_status next) noexcept
{
    uint64_t word = pack_status({expected, 0});
    return replica_at(k).packed_status.compare_exchange_strong(word, pack_status(next));
}

rotation_table make_rotation_table(const std::vector<int>& list);

// The path of a mounted-tree path inside a replica: root immediately
// followed by path, or, for root ".", path without its leading '/' ("."
// for "/"). Answers false when memory runs out.
bool replica_path(std::string_view path, std::string_view root, std::string& out) noexcept;

// The rows one read request works through. The turns are advanced once
// per request and the request keeps the rows it advanced to, so that
// concurrent requests never make one request visit a replica twice.
struct read_turns {
    int high_row = -1;
    int low_row = -1;
};

// The replica to try at this attempt (0..count-1), in the order:
// high-priority replicas rotated to the current high turn, then low-priority
// replicas rotated to the current low turn. -1 for an attempt out of range.
int choose_replica(read_turns& turns, int attempt) noexcept;

// The replica to try at this attempt in the fixed priority order:
// high-priority replicas in command-line order, then low-priority ones.
// -1 for an attempt out of range.
int choose_replica_by_priority(int attempt) noexcept;

// How a read picks its replica. Attributes are read by priority: the same
// replica answers every stat while it stays in service, so times that
// differ by a few nanoseconds between replicas never alternate under a
// program that compares them (make, backup tools). Everything else
// rotates, spreading the reads.
enum class read_order { rotating, by_priority };

inline int choose_replica(read_order order, read_turns& turns, int attempt) noexcept
{
    return order == read_order::by_priority ? choose_replica_by_priority(attempt)
                                            : choose_replica(turns, attempt);
}
