// The replica table, replica states, tree paths inside replicas, and the
// choice of the replica that serves a read (round-robin, or by priority).
//
// Lifetime and thread safety: the table is built once at start-up
// (replica_set.cpp) and never resized. root, root_length and low_priority
// never change afterwards; root_fd only when a resync opens the root of a
// replica out of service again (atomic: requests read it without a lock).
// state is read and written by every request thread, the control thread
// and the resync thread as one atomic 64-bit value: 0 enabled
// and trusted, 1 enabled but not trusted, anything else the time the
// replica was disabled. Only replicas whose state is exactly 0 take part
// in any operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The root of the replica that lies under the mount point: its paths are
// relative to the working directory, the directory under the mount.
inline constexpr const char* mount_point_replica_root = ".";

struct replica_info {
    std::string root;  // canonical root, or mount_point_replica_root
    uint64_t root_length = 0;
    std::atomic<int> root_fd{-1};  // the root directory: every call on the replica starts here
    std::atomic<int64_t> state{0};
    int32_t low_priority = 0;
};

extern replica_info* replica_table;
extern int replica_count;

inline bool replica_in_service(int k) noexcept
{
    return replica_table[k].state.load() == 0;
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

// Logs "disabling replica" then stores the current time in state; when k
// was in service, the replicas staying in service first record durably
// that they are ahead (replica_record.h).
void disable_replica(int k, bool forced) noexcept;
// Logs "trusting replica", records k as current, then stores 0 in state.
void trust_replica(int k, bool forced) noexcept;

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
