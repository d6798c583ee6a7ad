// The lock order of vornelix and vornctl, outermost first, written here
// and nowhere else. A thread that holds a lock takes only locks further
// down the list, never one above it; every mutex's declaration points
// back here with its number. All of them are std::mutex but the first,
// which readers share.
//
// vornelix
//  1. tree_shape (fs/kernel/requests.h), a reader-writer lock: every
//     request that works by tree paths holds it shared from building its
//     paths to its reply; a rename of a directory, which moves every path
//     beneath it, holds it alone.
//  2. table_lock (fs/kernel/node_table.cpp): the kernel's nodes and their
//     names, taken under 1 only, between the calls on replicas; nothing is
//     taken under it.
//  3. The resync gate (resync_gate.h): a count, not a mutex. Every change
//     of names and every request on an open file enters it before it takes
//     any lock of its own and leaves after letting go of the last, so a
//     request waiting at the gate holds 1 at most. The resync closes
//     it for its last step and takes 8 to 14 while it holds it closed. A
//     request waiting at a closed gate may call the closer's stall handler,
//     which takes 9 (and 10), so the closer never waits at the gate for
//     anything a waiting request holds.
//  4. Name-order stripes (name_order.cpp), ascending stripe number: the
//     changes to one name reach every replica in one order.
//  5. Write-order stripes (write_order.cpp), ascending stripe number: the
//     writes to one file reach every replica in one order. A change holding
//     them disables replicas that failed (9, 10).
//  6. service_lock (control_server.cpp): the control thread against
//     destroy, held over each control request, which may disable or trust
//     a replica (9, 10) or start a resync (7).
//  7. resync_lock (resync.cpp): starting, joining and stopping the resync
//     thread, which never takes it. Nothing is taken under it.
//  8. table_lock (fd_table.cpp): claiming and emptying open-file slots.
//     The resync's last step holds it while it gives every open file a
//     descriptor on the replica it brings back (9, 10, 13, 14); a full
//     table is logged under it (10).
//  9. record_lock (replica_record.cpp): the replicas' generation records,
//     held from a departure's or a return's recording until the caller has
//     stored the replica's new state. Record writes go through the workers
//     under it (13, 14) and failures are logged (10).
// 9a. journal_lock (change_journal.cpp): the change journal's files and
//     the names noted since the last departure; taken under 9 by a
//     departure or a return, and by every change as it lets its name
//     stripes (4) go. A change hands its appends to the workers (13, 14)
//     under it and waits for them after letting it go. Failures are
//     logged (10).
// 10. log_lock (event_log.cpp): the log stream, over the reopening and the
//     writing of one line.
//
// Leaves: nothing is taken while one of these is held, so no two of them
// are ever held together; any lock above may be held when one is taken.
// 11. registry_lock (resync_gate.cpp): the paths changes registered for a
//     running resync.
// 12. gate_lock (resync_gate.cpp): the waits at the resync gate for it to
//     reopen or drain; the stall handler is called without it.
// 13. A job's lock (replica_job, replica_workers.h): the states of a
//     request's slots; steps run outside it.
// 14. A worker's queue lock (replica_workers.cpp): its queue and stopping
//     flag.
// 15. A probe board's lock (healing.cpp): the healing thread's stop flag
//     and the answers of its probes. The thread lets go of it before it
//     starts a resync (7) or logs (10).
// 16. A replica's places lock (directory_places, replica_info.h): the
//     directory descriptors kept for requests; nothing is called under it
//     but the map's own work (a descriptor is closed by whoever lets go of
//     it last, outside the lock).
//
// vornctl
//  1. libfuse's path locks, as above (vornctl runs libfuse's own loop).
//  2. channel_lock (ctl/ops.cpp): one request and its reply on the channel
//     to vornelix, whose control thread answers under its own lock 6. A
//     leaf.
//
// Outside the order: the flock on every replica root (replica_lock.h) is
// taken at start-up before any thread exists and kept for the process's
// life; stdio's stream locks are held only inside single stdio calls.
#pragma once
