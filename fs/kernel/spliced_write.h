// A write whose bytes libfuse left in a pipe, spliced from the kernel's
// page cache without a copy through the daemon's memory. Each replica
// served on the request's thread takes them from a pipe of its own with
// splice(2): the first from libfuse's pipe, the others from copies that
// tee(2) made of it before any of them was consumed. A write then costs
// one copy per replica, where reading the request into memory first
// cost one more and a pinning of the pages.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct replica_slot;

// The pipe each replica takes a write's size bytes from, by replica (0:
// none), for the replicas with writes[r]: the first takes pipe itself, the
// others copies of it in this thread's own pipes. Null when a copy cannot
// be made (a pipe could not be made large enough): nothing was consumed
// from pipe, and every copy made is dropped. Valid until the thread's
// next write.
const int* pipes_for_replicas(int pipe, size_t size, const bool* writes, int count) noexcept;

// Splices size bytes from pipe into the replica's descriptor at offset
// until they are written or the replica refuses more; where the replica
// takes no splice (a descriptor opened O_APPEND, a filesystem without it)
// the rest is read out of the pipe and written with pwrite. The count
// written; error the errno that stopped it early, 0 when complete.
// Whatever is left in the pipe is the caller's to drop (pipe_emptied).
int64_t splice_fully(const replica_slot& slot, int pipe, size_t size, off_t offset, int& error) noexcept;

// Whether pipe is empty, after a write took from it.
bool pipe_empty(int pipe) noexcept;

// Drops this thread's copy pipes that still hold bytes (a replica that
// refused part of a write): the next write starts from empty ones.
void drop_unemptied_copies() noexcept;

// Reads the size bytes in pipe into memory. false when they could not all
// be read.
bool read_pipe(int pipe, char* into, size_t size) noexcept;
