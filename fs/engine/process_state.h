// The daemon's process state: what lives as long as the process and is
// shared between its modules, in one object. main builds it before
// anything else runs and installs it (fs/cli/main.cpp); code reaches it
// through state(). A unit test installs a state of its own for its length
// (tests/support/engine_fixture.h), so nothing one test sets is seen by
// the next.
//
// Lifetime and thread safety: the settings, the log settings and the work
// settings are written before the hand-over and only read afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

// How the replicas' work for one request runs (replica_workers.h).
struct replica_work_settings {
    // The deadline of every replica's work for one request, in milliseconds.
    int64_t timeout_ms = default_replica_timeout_ms;
    // Whether a replica on a local filesystem may be served on the
    // request's own thread (-o no_inline clears it).
    bool inline_allowed = true;
};

struct process_state {
    start_settings settings;
    log_settings log;
    replica_work_settings work;
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
