// What one replica is, and how its state is packed: the records of the
// replica table and of its rotation tables. The table itself is part of
// the process state (process_state.h); what reads and changes it is in
// replicas.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fs/engine/departure.h"

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

// Descriptors of this replica's directories kept between requests, by tree
// path (replica_access.h says when they are used, and when forgotten).
struct kept_directory;
struct directory_places {
    std::mutex lock;  // lock_order.h, #16
    std::map<std::string, std::shared_ptr<const kept_directory>, std::less<>> kept;
    uint64_t epoch = 0;  // counts the forgettings, so that none is undone
};

struct replica_info {
    std::string root;  // canonical root, or mount_point_replica_root
    uint64_t root_length = 0;
    std::atomic<int> root_fd{-1};  // the root directory: every call on the replica starts here
    std::atomic<uint64_t> packed_status{pack_status({})};  // through the accessors of replicas.h only
    // Why it last left service; stored before the state that takes it out
    // (replica_service.h).
    std::atomic<departure> left_for{departure::unknown};
    int32_t low_priority = 0;
    directory_places places;
};

static_assert(std::atomic<uint64_t>::is_always_lock_free, "requests read replica states without a lock");

// Selection tables, fixed at start-up: row r of a rotation table is the
// priority list rotated left by r places (n rows of n entries, flat).
struct rotation_table {
    int count = 0;
    std::vector<int> entries;  // count * count
    int at(int row, int column) const noexcept { return entries[row * count + column]; }
};
