// The open-file table: for each open file of the mounted tree, the array of
// its descriptors, one per replica. The slot number is the FUSE file handle.
// The table and its sizing are the process state's (process_state.h).
//
// Thread safety: claiming a free slot and emptying a slot happen under one
// table lock. A slot is read by handle without the lock: FUSE sends no
// request for a handle after its release.
#pragma once

#include <cstdint>
#include <memory>

// One entry per replica: > 0 a descriptor open on that replica, 0 none,
// negative: the open failed there.
using descriptor_array = std::unique_ptr<int32_t[]>;

// Allocates size empty slots and sets the three sizing values. 0 or -1.
int fd_table_allocate(uint64_t bits, uint64_t mask, uint64_t size) noexcept;

uint32_t hash32(uint32_t a) noexcept;
uint64_t hash64(uint64_t k) noexcept;
// Start slot for a key: the hash chosen by the table's bits, ANDed with its mask.
uint64_t fd_hash(uint32_t key) noexcept;

// First free slot from start on, wrapping once; -4 (after one log line)
// when none is free. The caller holds the table lock (fd_table_insert does).
int64_t find_free_slot(uint64_t start) noexcept;

// Stores the array in a free slot: the slot number, -1 when the array holds
// no key (no replica in service with an entry >= 0), or -4 when the table
// is full; the array stays with the caller on failure.
int64_t fd_table_insert(descriptor_array& array) noexcept;

// The array in a slot, or null for an empty or out-of-range slot.
int32_t* fd_table_get(uint64_t slot) noexcept;

// Takes the array out of a slot (null for an empty or out-of-range slot).
descriptor_array fd_table_remove(uint64_t slot) noexcept;

// Whether the file open in a slot was written through it since its
// modification time was last made the same on every replica: each replica
// stamps a write with its own clock (file_ops.cpp). Noted by every write,
// taken (read and cleared) by the one who makes the times the same. A
// slot starts clean when an array is stored in it.
void fd_table_note_write(uint64_t slot) noexcept;
bool fd_table_take_write(uint64_t slot) noexcept;

// Calls visit(slot, array, context) for every array in the table, under the
// table lock. For the resync's last step, while no request on an open
// file runs (resync_gate.h), which may then change the arrays.
void fd_table_visit(void (*visit)(uint64_t slot, int32_t* array, void* context), void* context) noexcept;

// Closes the descriptors of every array still in the table (files still
// open when the filesystem ends), frees the arrays and the table itself;
// the table then has no slot. replicas is the length of each array. For
// destroy, when no request runs any more.
void fd_table_release_all(int replicas) noexcept;
