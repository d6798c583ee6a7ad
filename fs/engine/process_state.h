// The daemon's process state: what lives as long as the process and is
// shared between its modules, in one object. main builds it before
// anything else runs and installs it (fs/cli/main.cpp); code reaches it
// through state(). A unit test installs a state of its own for its length
// (tests/support/engine_fixture.h), so nothing one test sets is seen by
// the next.
//
// Lifetime and thread safety: the settings, the log and work settings and
// the mount place are written before the hand-over and only read
// afterwards. The replica set is built at start-up (replica_set.h) and
// never resized; what changes in it later is atomic (replica states, root
// descriptors, turns). The open-file table is allocated at start-up too;
// its slots are claimed and emptied under fd_table.cpp's table lock.
// control_stopped is protected by control_server.cpp's service lock.
//
// Machinery that one module owns alone stays private to that module: the
// replicas' worker threads, the resync thread and its gate, the lock
// stripes, the generation records behind their lock, the open log stream,
// the held replica roots and the handles' stripe masks.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "fs/engine/replica_info.h"

// The command line, beyond the log and work settings below: filled by
// cli/options before the hand-over.
struct start_settings {
    std::optional<std::string> fsname_option;   // "fsname=NAME"
    std::optional<std::string> fuse_options;    // handed to FUSE inside -o
    bool ctl_requested = false;
    std::optional<std::string> ctl_path;        // canonical control directory
    std::optional<std::string> ctl_program;     // name vornctl is started under
    std::optional<std::string> mount_argument;  // "-o..." handed to FUSE
    std::string replica_list;                   // positional word 1, as typed
    std::string mount_word;                     // positional word 2, as typed
    std::optional<std::string> verify_list;     // --verify: compare, do not mount
    std::optional<std::string> source_word;     // -o source=PATH: a first start's source
};

// The event log's settings (event_log.h).
struct log_settings {
    int quiet = 0;                     // silences print_error only
    std::optional<std::string> path;   // none: no logging at all
};

inline constexpr int64_t default_replica_timeout_ms = 5000;
inline constexpr int64_t default_heal_interval_ms = 30000;

// How the replicas' work for one request runs (replica_workers.h).
struct replica_work_settings {
    // The deadline of every replica's work for one request, in milliseconds.
    int64_t timeout_ms = default_replica_timeout_ms;
    // Whether a replica on a local filesystem may be served on the
    // request's own thread (-o no_inline clears it).
    bool inline_allowed = true;
    // How often a replica that stopped answering is probed, in
    // milliseconds; 0: never, it waits for the administrator (healing.h).
    int64_t heal_interval_ms = default_heal_interval_ms;
};

// The replica table, its priorities and the turns of the reads (replicas.h).
struct replica_set {
    std::unique_ptr<replica_info[]> table;  // count entries
    int count = 0;
    int high_count = 0;
    int low_count = 0;
    rotation_table high_rotation;
    rotation_table low_rotation;
    // Shared by every read request: one indivisible step each, kept in range.
    std::atomic<int> high_turn{0};
    std::atomic<int> low_turn{0};
};

// Where the tree is mounted (replica_set.h).
struct mount_place {
    std::string path;  // canonical mount point, no ':' prefix
    // The directory under the mount point, kept open from before the
    // hand-over so that init can return to it after FUSE has daemonized
    // (-1 when there is no mount-point replica).
    int directory = -1;
};

// The open-file table (fd_table.h): its sizing and its slots, which
// fd_table_allocate makes together so that they always agree.
struct open_file_table {
    uint64_t bits = 0;
    uint64_t mask = 0;
    uint64_t size = 0;
    // Atomic so that the lock-free reads by handle never race with the
    // claiming of other slots.
    std::unique_ptr<std::atomic<int32_t*>[]> slots;
    std::unique_ptr<std::atomic<bool>[]> written;  // by slot, see fd_table_note_write
};

struct process_state {
    start_settings settings;
    log_settings log;
    replica_work_settings work;
    replica_set replicas;
    mount_place mount;
    open_file_table fd_table;
    bool control_stopped = false;  // protected by service_lock (control_server.cpp)
};

namespace process_state_detail {
inline process_state* installed = nullptr;
}  // namespace process_state_detail

// The state installed now. Read without a lock by every thread: a state is
// installed before the threads that read it start and replaced only after
// they have ended.
inline process_state& state() noexcept
{
    return *process_state_detail::installed;
}

// Makes next the state that state() answers; answers the one it replaced.
inline process_state* install_state(process_state* next) noexcept
{
    process_state* const previous = process_state_detail::installed;
    process_state_detail::installed = next;
    return previous;
}
