// What a resync needs from every change while it runs: to know what each
// change touched, and to stop them all for its last step.
//
// Registration: while a resync runs, every change registers the tree
// paths it touched once it is done with them, so that the resync copies
// them again after. A change of names (create, open, remove, rename, link,
// attributes) registers the names it holds the order of (name_order.h)
// when it lets them go; a write, truncation or allocation through an open
// file registers the file's current name, found from its descriptor on a
// replica in service. Registering after the change, not before, means the
// resync never copies a half-done change and takes the registration for
// done.
//
// The gate: the resync's last step must run while no change runs, and
// while no request uses an open file's descriptors (it gives them one on
// the replica it brings back). Every change of names (name_order_hold)
// and every request on an open file passes the gate for its whole length:
// it counts itself in, on a counter of its own thread's shard, and looks
// at one flag, which is all it costs without a resync. The resync closes
// the gate by raising the flag and waits until no request is inside;
// requests arriving meanwhile wait until it opens again. A request enters
// before it takes any lock, so a request waiting at the gate holds
// nothing.
//
// Starting to register, the resync closes the gate once: a change that
// began before registering was raised has ended by then, so no change
// goes unseen.
//
// Where the gate and its two locks stand: lock_order.h, #3, #11, #12.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Called by name_order_hold as it lets its names go: registers them when a
// resync runs (one atomic load otherwise). second may be empty.
void note_changed_names(std::string_view first, std::string_view second) noexcept;

// Called by an open or a create that succeeded on handle, whose name its
// name order hold notes: later writes through the handle, until the next
// departure, need not find the file's name for the change journal.
void note_opened_file(uint64_t handle) noexcept;

// Passing the gate: enter before taking any lock, leave after letting go
// of them. Nested entries of one thread count once.
void change_gate_enter() noexcept;
void change_gate_leave() noexcept;

// Held by every request on an open file for its whole length. A request
// that changes the file's contents passes changes = true.
class handle_gate_hold {
public:
    handle_gate_hold(uint64_t handle, bool changes) noexcept;
    ~handle_gate_hold();
    handle_gate_hold(const handle_gate_hold&) = delete;
    handle_gate_hold& operator=(const handle_gate_hold&) = delete;

private:
    uint64_t handle_;
    bool changes_;
};

// The tree path of the file open on fds[r] for a replica r in service
// that has a prefix (the path its root has in /proc/self/fd), checked to
// still name that file; none for a file without a name. r is set to the
// replica used.
std::optional<std::string> open_file_path(const int32_t* fds, const std::vector<std::string>& prefixes,
                                          int& r) noexcept;

// The path of a replica root as /proc/self/fd shows it, "" when unknown.
std::string root_prefix(int root_fd);

// For the resync: starts registering (prefixes by replica) and waits until
// every change that did not see it has ended.
void start_registering(std::vector<std::string> prefixes) noexcept;
// The paths registered since the last call, sorted (a parent before what
// lies below it). lost: a registration failed for want of memory.
std::vector<std::string> take_changed_paths(bool& lost) noexcept;
size_t changed_path_count() noexcept;
// The prefixes given to start_registering.
const std::vector<std::string>& registering_prefixes() noexcept;

// What a closer that makes calls on replicas does when it is found stuck
// in one: true when the gate may open under it (it has given up what the
// gate protected), false when it has finished meanwhile.
using gate_stall_handler = bool (*)() noexcept;

// The gate closed: no request inside, from construction to destruction.
// A closer given a stall handler tells that it is alive with
// change_gate_beat(); when it has not for stall_ms, the first request
// waiting at the gate calls the handler, and when that answers true the
// gate opens under the closer: a replica that stops answering in the
// middle of the resync's last step holds up the changes for the deadline,
// not for good. The closer finds out through broken().
class change_gate_exclusive {
public:
    change_gate_exclusive() noexcept : change_gate_exclusive(nullptr, 0) {}
    change_gate_exclusive(gate_stall_handler on_stall, int64_t stall_ms) noexcept;
    ~change_gate_exclusive();
    change_gate_exclusive(const change_gate_exclusive&) = delete;
    change_gate_exclusive& operator=(const change_gate_exclusive&) = delete;

    bool broken() const noexcept;
};

// The closer is alive (between its calls on replicas).
void change_gate_beat() noexcept;

// Stops registering and forgets what was registered; the caller holds
// change_gate_exclusive.
void stop_registering() noexcept;
