// Building the replica set at start-up: the replica table with its
// priorities, the mount-point replica, the descriptor limits and the size
// of the open-file table, the log, and the rotation tables, all in the
// process state (process_state.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// realpath into a new text, or none (errno set).
std::optional<std::string> resolve_path(const char* path);

// True when path lies inside (or is) directory, compared on whole path
// components of canonical paths.
bool path_is_within(std::string_view path, std::string_view directory);

struct fd_table_sizing {
    uint64_t bits = 0;
    uint64_t mask = 0;
    uint64_t size = 0;
};

// Sizing from the soft descriptor limit in force, the half of the system
// maximum capped at the per-process maximum (limit), and the replica count. An infinite soft limit is passed
// as RLIM_INFINITY.
fd_table_sizing size_fd_table(uint64_t soft_limit, uint64_t limit, uint64_t replicas);

// The system-wide maximum of open files, or none when it cannot be read.
// Values beyond an int are clamped.
std::optional<int> read_system_max_files();
// A number from a /proc/sys file (INT_MAX at most), or nothing with errno.
std::optional<int> read_system_number(const char* path);

// Builds everything from the two positional words as typed (and the
// source word of the start settings). Answers 0, or the exit status after
// printing the message.
int build_replica_set(std::string replica_list, const std::string& mount_word);

// Frees the replica table, closes the log and the mount-point directory
// descriptor. Copes with parts that do not exist yet. Without with_table
// only the log is closed: the table and the replicas' root descriptors
// stay for a worker left in a call (see stop_replica_workers).
void release_replica_set(bool with_table = true) noexcept;
