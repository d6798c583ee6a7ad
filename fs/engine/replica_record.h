// Durable replica state: each replica remembers on its own disk how current
// it is, so that a replica that fell behind stays out of service across a
// restart or a crash instead of being trusted again and mixing versions.
//
// Record format, on the root directory of every replica (for the
// mount-point replica, the directory under the mount point), in the
// trusted. namespace, which only root can see (the mounted tree must never
// pass these names on for its root):
//
//   trusted.vornelix.generation  decimal text of an unsigned 64-bit counter,
//                                no sign, no newline; 0 marks a replica
//                                that is behind whatever the others hold
//   trusted.vornelix.behind      the replicas behind this one when it was
//                                written: their roots as typed resolved
//                                (":MOUNT-POINT" for the replica under the
//                                mount point), each ended by a NUL; absent
//                                when none is
//   trusted.vornelix.mounted     "mounted at MNT by pid PID on HOST" while
//                                a mount runs over the replica
//
// All are written with fsetxattr on a descriptor of the root, then made
// durable with fsync of that descriptor. The root is opened by its path
// for every step, so that a replica whose disk was replaced while out of
// service is written on the new disk and no descriptor keeps a disabled
// replica's filesystem busy; the mount-point replica's root is reached
// through a duplicate of the descriptor kept from before the mount.
//
// Rules:
//  - Start-up reads every generation. No replica holds one while at least
//    one could: a first start (first_start.h decides which replicas are
//    trusted, which are filled from the others, or refuses), and the
//    replicas trusted get generation 1. Otherwise the highest generation
//    read is the current one; a replica below it, without a record while
//    others have one, or named behind by a replica holding the current
//    generation, starts behind (enabled, not trusted) with a log line
//    saying why. The behind list is what keeps a replica that cannot hold
//    a record of its own (a network or FUSE filesystem without trusted.
//    attributes) out after it fell behind.
//  - No replica can hold a record at all: every replica is trusted, with a
//    warning at every start, since nothing remembers who fell behind.
//  - A replica whose record cannot be read or written for any reason other
//    than a missing record (ENOTSUP on its filesystem, EPERM when not run as
//    root, an unreadable or malformed value) is logged once at start-up and
//    then treated as before records existed: trusted unless named behind,
//    never written again.
//  - When a replica leaves service while others stay in it, every other
//    replica in service gets the next generation and the list of the
//    replicas now behind, durably, before the departing replica's state
//    changes; disable_replica returns only after that, and the operations
//    reply only after it returns, so no change is acknowledged before the
//    survivors have recorded that they are ahead. Should not one survivor
//    take the new generation, the departing replica is written generation
//    0 as a last resort.
//  - Every record write or removal after start-up goes to the replicas
//    side by side through their workers and waits the replica deadline at
//    most: a replica that stopped answering (often one departing at the
//    same moment) is logged as not recorded, and neither the departure
//    nor the unmount waits for it longer. Nothing is disabled from there;
//    such a replica meets the deadline again at its next request.
//  - Trusting a replica writes it the current generation, and every
//    replica in service the behind list without it, before it is
//    back in service.
//  - A departure starts the change journal on the replicas that stay
//    (change_journal.h), naming the generation the departing replica
//    keeps; a return ends it for the returning replica; the unmount
//    closes it.
//  - The mounted marker is set in init (once the mount exists) and removed
//    by destroy; found at start-up it means the last stop was not clean,
//    which is logged with the advice to run vornelix --verify. It also
//    names the holder when another mount is refused (replica_lock.h).
//
// Lifetime and thread safety: load_replica_records runs once before the
// hand-over, mark_replicas_mounted in init before the control thread
// starts, release_replica_records in destroy after it is stopped. The
// departure and return steps run on request threads and the control
// thread (and release_replica_records before the workers stop); they
// serialise on the record lock, which is held from the recording until the
// caller has stored the new state, so that a concurrent departure always
// sees a consistent set of replicas in service.
//
// The record lock stands at lock_order.h, #9.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fs/engine/replicas.h"

// What start-up found on one replica.
struct record_reading {
    enum kind_type { present, absent, unrecordable } kind = absent;
    uint64_t generation = 0;          // for present
    std::vector<std::string> behind;  // for present: the replicas it names behind
};

// What start-up makes of the readings.
struct start_decision {
    bool first_start = false;           // no replica held a record, one could
    bool no_records = false;            // no replica can hold a record
    uint64_t generation = 0;            // the current generation
    std::vector<replica_state> states;  // in service or behind
    std::vector<bool> named_behind;     // set by a current replica's behind list
};

// identities[k] is how behind lists name replica k.
start_decision decide_start_states(const std::vector<record_reading>& readings,
                                   const std::vector<std::string>& identities = {});

// A descriptor of replica k's root, opened afresh (the mount-point
// replica's through the directory kept from before the mount), or -errno.
int open_replica_root(int k) noexcept;

// The generation the record on an open replica root holds; none when it
// holds no readable one.
std::optional<uint64_t> replica_generation_on(int root_fd) noexcept;

// How behind lists name replica k: its canonical root, or ":MOUNT-POINT"
// for the replica under the mount point.
std::string replica_identity(int k);

// The NUL-ended names of a behind list's text, and back.
std::vector<std::string> parse_behind_list(std::string_view text);
std::string behind_list_text(const std::vector<std::string>& names);

// The generation a record's text holds; none unless it is 1 to 20 decimal
// digits that fit 64 bits.
std::optional<uint64_t> parse_generation(std::string_view text) noexcept;

// Reads the records and markers of every replica, sets the states of the
// replica table, settles a first start (first_start.h: the replicas to
// fill are left behind and listed by take_replicas_to_fill), writes
// generation 1 on a first start and logs what it found. Called once the
// replica table and the log exist. 0, or the exit status after the
// message when a first start must not go on. source is the replica
// the administrator named the source of a first start (-o source), or -1.
int load_replica_records(int source = -1) noexcept;

// The replicas a first start left to be filled from the others, in the
// order to fill them (taken once, by init).
std::vector<int> take_replicas_to_fill();

// Sets the mounted marker on every replica in service (init).
void mark_replicas_mounted() noexcept;

// Removes the markers this mount set (destroy). Later
// departures and returns record nothing.
void release_replica_records() noexcept;

// Replica k is about to leave service: when it is in service now and
// another replica is too, the others get the next generation durably.
// Answers the record lock, held; the caller stores k's new state under it.
std::unique_lock<std::mutex> record_departure(int k) noexcept;
// The same, with the record lock already held (from hold_records).
std::unique_lock<std::mutex> record_departure(int k, std::unique_lock<std::mutex> held) noexcept;

// Replica k is about to be trusted: writes it the current generation,
// unless still_wanted(k), asked under the lock, answers false. Answers the
// record lock, held; the caller stores 0 under it.
std::unique_lock<std::mutex> record_return(int k, bool (*still_wanted)(int k) noexcept = nullptr) noexcept;

// The record lock alone, for a decision that must not interleave with a
// departure or a return.
std::unique_lock<std::mutex> hold_records() noexcept;
