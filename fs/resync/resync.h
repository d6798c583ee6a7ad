// Online resync: a replica out of service is brought up to date from one
// in service while the tree stays mounted and in use, then put back in
// service. Written "1" in the replica's status file starts it.
//
// One thread, one resync at a time:
//  1. The replica reads 1 from the start. Its root is opened again by its
//     path (a disk replaced while it was out is the one written), every
//     change starts registering what it touches (resync_gate.h), and what
//     resync_plan.h chooses is copied from the source (resync_copy.h): the
//     names the source's change journal holds for the replica, or the
//     whole tree; one entry at a time, holding no lock, so requests run
//     meanwhile.
//  2. The registered paths are copied again, pass after pass, while they
//     are many.
//  3. Last step, while every change waits at the gate: the rest is copied,
//     every open file gets a descriptor on the replica, the replica is
//     recorded current (replica_record.h) and put in service. A step that
//     stays inside one call on the source or the replica for the replica
//     deadline is given up by the first change waiting at the gate: the
//     replica leaves the resync (disabled, behind, logged) and the changes
//     go on; the step ends without putting it in service when its call
//     returns.
// A source that leaves service before the replica is back hands over to
// the next replica in service: steps 1 to 3 run again from it, its plan
// with every registered path copied so far; only without one does the
// resync give up.
// The log has a line at the start, one with the plan (by journal, or by
// full walk and why), one about every ten seconds with the entries and
// bytes copied, and one at the end with the kind, the time taken and the
// counts; resync_progress.h has the counters. A failure (the replica
// fills up, no source left, ...) logs why and disables the replica. An unmount stops the resync where it is: the replica is not
// recorded current and starts behind again; a resync inside a call that
// does not return is left to end with the process.
//
// Lifetime: resync_start runs on the control thread; resync_stop in
// destroy, before the replica table goes. Both serialise on the resync
// lock; the thread itself never takes it.
#pragma once

#include <vector>

// Starts the resync of replica k: 0, or -EINVAL when k is in service or no
// replica is, -EBUSY while a resync runs, or -errno from starting the
// thread. Nothing changes when it refuses.
int resync_start(int k) noexcept;

// Fills the replicas a first start left behind, one after the other,
// each from a replica in service: 0, -EBUSY while a resync runs, or
// -errno from starting the thread.
int resync_fill(const std::vector<int>& targets) noexcept;

// Stops a running resync and waits for its thread, for the replica
// deadline at most (a second at least): true when it ended. false when it
// is still inside a call on a replica that stopped answering; it is then
// left to end with the process, and whatever it may still read (the
// replica table, the open files' descriptors) must stay.
bool resync_stop() noexcept;
