// Healing: a replica that left service because it stopped answering
// (departure.h) is resynced by itself once it answers again.
//
// One thread wakes every heal interval (-o heal_interval=SECONDS; 0 starts
// none). For each replica that is disabled and left unreachable it starts a
// probe: a thread of its own that opens the replica's root by its path and
// fstats it. A probe may hang as long as the replica does; it holds nothing
// of the process but its own copy of the path and a shared board where it
// posts its answer, so it blocks nothing else, and no second probe of that
// replica starts while it is out. A probe that answers wakes the thread,
// which starts the replica's resync (resync.h) and logs it; a resync
// refused (one runs already, the replica's worker is still inside a call)
// is tried again after the next probe. Replicas out for any other reason,
// or since start-up, are never probed: the administrator brings them back.
//
// Lifetime: heal_start in init, once the workers run; heal_stop in destroy,
// before resync_stop and before the replica table goes. The thread never
// calls into a replica, so heal_stop waits only for it to see the flag;
// probes still hanging are left to end with the process.
#pragma once

#include <cstdint>

// Starts the thread when the interval is not 0. false when it could not
// be started (logged).
bool heal_start() noexcept;

// Stops the thread and waits for it.
void heal_stop() noexcept;

// Probe rounds so far: what the control channel tells the tests, which
// wait for several rounds before they look at a replica that must not
// heal.
uint64_t heal_rounds() noexcept;
