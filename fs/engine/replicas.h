// The replica table, replica states, tree paths inside replicas, and the
// choice of the replica that serves a read (round-robin, or by priority).
//
// Lifetime and thread safety: the table is built once at start-up
// (replica_set.cpp) and never resized. root, root_length and low_priority
// never change afterwards; root_fd only when a resync opens the root of a
// replica out of service again (atomic: requests read it without a lock).
// A replica's state (in service, behind, or disabled with the time it was
// disabled) is read by every request thread and written by the request
// threads, the control thread and the resync thread. Requests read it
// without a lock on every operation, so the state and its time live in one
// atomic word and are only reached through state_of, status_of, set_state,
// exchange_status and compare_and_set below. Only replicas in service take
// part in any operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The root of the replica that lies under the mount point: its paths are
// relative to the working directory, the directory under the mount.
inline constexpr const char* mount_point_replica_root = ".";

// in_service: enabled and trusted. behind: enabled but not trusted (left
// behind by a start, or being resynced). disabled: out until the
// administrator trusts it or has it resynced.
enum class replica_state : uint8_t { in_service, behind, disabled };

struct replica_status {
    replica_state state = replica_state::in_service;
    int64_t disabled_at = 0;  // seconds since the epoch when disabled, else 0

    friend bool operator==(const replica_status&, const replica_status&) = default;
};

// The state in the low two bits, the time in the 62 bits above them (any
// time() there is). Only a disabled replica keeps its time, so that every
// behind replica packs to the same word and a compare-and-swap from behind
// cannot miss on a stale time.
inline constexpr uint64_t pack_status(replica_status status) noexcept
{
    const uint64_t time = status.state == replica_state::disabled ? static_cast<uint64_t>(status.disabled_at) : 0;
    return time << 2 | static_cast<uint64_t>(status.state);
}

inline constexpr replica_status unpack_status(uint64_t word) noexcept
{
    return {static_cast<replica_state>(word & 3), static_cast<int64_t>(word) >> 2};
}

struct replica_info {
    std::string root;  // canonical root, or mount_point_replica_root
    uint64_t root_length = 0;
    std::atomic<int> root_fd{-1};  // the root directory: every call on the replica starts here
    std::atomic<uint64_t> packed_status{pack_status({})};  // through the accessors below only
    int32_t low_priority = 0;
};

static_assert(std::atomic<uint64_t>::is_always_lock_free, "requests read replica states without a lock");

extern replica_info* replica_table;
extern int replica_count;

inline replica_status status_of(int k) noexcept
{
    return unpack_status(replica_table[k].packed_status.load());
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
    replica_table[k].packed_status.store(pack_status({state, disabled_at}));
}

// Stores the new status and answers the one it replaced.
inline replica_status exchange_status(int k, replica_status next) noexcept
{
    return unpack_status(replica_table[k].packed_status.exchange(pack_status(next)));
}

// Stores next only while k is in the expected state, which is never
// disabled: a disabled replica's word holds a time the caller does not know.
inline bool compare_and_set(int k, replica_state expected, replica_status next) noexcept
{
    uint64_t word = pack_status({expected, 0});
    return replica_table[k].packed_status.compare_exchange_strong(word, pack_status(next));
}

// Selection tables, fixed at start-up: row r of a rotation table is the
// priority list rotated left by r places (n rows of n entries, flat).
struct rotation_table {
    int count = 0;
    std::vector<int> entries;  // count * count
    int at(int row, int column) const noexcept { return entries[row * count + column]; }
};

extern int high_count;
extern int low_count;
extern rotation_table high_rotation;
extern rotation_table low_rotation;

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

// The replica to try at this attempt (0..replica_count-1), in the order:
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

// Puts both turns back to 0 (tests only).
void reset_turns() noexcept;
