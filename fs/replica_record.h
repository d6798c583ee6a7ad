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
//   trusted.vornelix.mounted     "1" while a mount runs over the replica
//
// Both are written with fsetxattr on a descriptor of the root, then made
// durable with fsync of that descriptor. The root is opened by its path
// for every step, so that a replica whose disk was replaced while out of
// service is written on the new disk and no descriptor keeps a disabled
// replica's filesystem busy; the mount-point replica's root is reached
// through a duplicate of the descriptor kept from before the mount.
//
// Rules:
//  - Start-up reads every generation. No replica holds one: a first start,
//    every replica is trusted and gets generation 1. Otherwise the highest
//    generation read is the current one; a replica below it, or without a
//    record while others have one, starts in state 1 (enabled, not
//    trusted) with a log line saying why.
//  - A replica whose record cannot be read or written for any reason other
//    than a missing record (ENOTSUP on its filesystem, EPERM when not run as
//    root, an unreadable or malformed value) is logged once at start-up and
//    then treated as before records existed: trusted, never written again.
//  - When a replica leaves state 0 while others stay in it, every other
//    replica in state 0 gets the next generation, durably, before the
//    departing replica's state changes; disable_replica returns only after
//    that, and the operations reply only after it returns, so no change is
//    acknowledged before the survivors have recorded that they are ahead.
//    Should not one survivor take the new generation, the departing
//    replica is written generation 0 as a last resort.
//  - Every record write or removal after start-up goes to the replicas
//    side by side through their workers and waits the replica deadline at
//    most: a replica that stopped answering (often one departing at the
//    same moment) is logged as not recorded, and neither the departure
//    nor the unmount waits for it longer. Nothing is disabled from there;
//    such a replica meets the deadline again at its next request.
//  - Trusting a replica writes it the current generation before its state
//    becomes 0.
//  - The mounted marker is set in init (once the mount exists) and removed
//    by destroy; found at start-up it means the last stop was not clean,
//    which is logged with the advice to run vornelix --verify.
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
// Lock order: write-order stripes, then the control service lock, then the
// record lock, then the event-log lock. The record lock may take the log
// lock (write_log), never the other way round.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

// What start-up found on one replica.
struct record_reading {
    enum kind_type { present, absent, unrecordable } kind = absent;
    uint64_t generation = 0;  // for present
};

// What start-up makes of the readings.
struct start_decision {
    bool first_start = false;   // no replica held a record
    uint64_t generation = 0;    // the current generation
    std::vector<int64_t> states;  // 0 or 1 per replica
};

start_decision decide_start_states(const std::vector<record_reading>& readings);

// The generation a record's text holds; none unless it is 1 to 20 decimal
// digits that fit 64 bits.
std::optional<uint64_t> parse_generation(std::string_view text) noexcept;

// Reads the records and markers of every replica, sets the
// states of the replica table, writes generation 1 on a first start and
// logs what it found. Called once the replica table and the log exist.
// Never stops the start.
void load_replica_records() noexcept;

// Sets the mounted marker on every replica in service (init).
void mark_replicas_mounted() noexcept;

// Removes the markers this mount set (destroy). Later
// departures and returns record nothing.
void release_replica_records() noexcept;

// Replica k is about to leave state 0: when it is in state 0 now and
// another replica is too, the others get the next generation durably.
// Answers the record lock, held; the caller stores k's new state under it.
std::unique_lock<std::mutex> record_departure(int k) noexcept;

// Replica k is about to be trusted: writes it the current generation,
// unless still_wanted(k), asked under the lock, answers false. Answers the
// record lock, held; the caller stores 0 under it.
std::unique_lock<std::mutex> record_return(int k, bool (*still_wanted)(int k) noexcept = nullptr) noexcept;

// The record lock alone, for a decision that must not interleave with a
// departure or a return.
std::unique_lock<std::mutex> hold_records() noexcept;
