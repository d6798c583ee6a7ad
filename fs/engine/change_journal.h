// The change journal: while a replica is out of service, every replica in
// service writes down which tree names changed since it left, so that
// bringing it back copies those names instead of walking the whole tree.
//
// Where: one file, .vornelix-journal at the root of every replica in
// service (format in journal_format.h, hidden from the mount by
// reserved_name.h). It travels with the replica's disk as the generation
// record does. One file serves every replica out of service: a departure
// appends a start record naming the replica and the generation its own
// record holds, and the names that follow count for every replica that
// started before them.
//
// When: a departure (record_departure) starts the journal on the replicas
// that stay, before the change that caused it is acknowledged. Every
// change then notes its names as it lets them go (resync_gate.h), before
// its reply; a name already noted since the last departure is not written
// again (a bounded memory of names, and one of files written through open
// handles, which note the file's name at their first write). A return to
// service empties the returning replica's own file, which missed what
// happened while it was out, and once no replica is out, every file.
//
// Cost: no fsync per change, one write(2) of an appended record per new
// name per replica in service, one atomic load per change while no
// replica is out. The unmount appends the closed mark and fsyncs.
//
// When a journal is not used (the resync walks the whole tree instead and
// says why): the daemon stopped without the closed mark (found at the next
// start, which marks the file unclean; a clean file goes on, the mark cut
// off), the file outgrew its bound (marked overflowed, nothing more
// written), the file is missing or does not reach back to the replica's
// departure, or the replica's generation record moved on.
//
// The files stay, empty while no journal runs: a departure, while
// changes run in the root, only opens one and never adds the name. A file
// is made only where no change can run in the root (start-up, a replica
// not yet back in service), with the root's times put back, so that every
// replica's root keeps the times the changes gave it.
//
// For measurements only, VORNELIX_JOURNAL=off in the daemon's environment
// turns the journal off, and VORNELIX_JOURNAL_BYTES=N bounds a file to N
// bytes instead of 64 MiB; both are read once at start.
//
// Thread safety: every function takes the journal lock (lock_order.h,
// #9a: after the record lock, before the log lock). journal_recording is
// one atomic load.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fs/engine/journal_format.h"

constexpr uint64_t default_journal_bytes = 64ull << 20;
// Names (and files) remembered as noted since the last departure, at most;
// the memory starts over when full, which only costs records written twice.
constexpr size_t journal_remembered_most = 1 << 16;

// Start-up, once the replica states are set: journals found on the
// replicas in service go on (closed cleanly) or are marked unclean; with
// every replica in service they are emptied (made where missing).
void journal_load() noexcept;

// Replica k leaves service while holding generation (its record's); the
// caller holds the record lock and k is still counted in service.
void journal_departure(int k, uint64_t generation) noexcept;

// Replica k is about to be back in service (record lock held).
void journal_return(int k) noexcept;

// The unmount: closed marks written and made durable.
void journal_close() noexcept;

// Whether names are being written (one atomic load).
bool journal_recording() noexcept;

// A changed tree path, noted once since the last departure.
void journal_note(std::string_view path) noexcept;

// Whether the file (dev, ino) was already noted through an open handle
// since the last departure (true while not recording: nothing to note).
bool journal_file_noted(dev_t dev, ino_t ino) noexcept;
// Remembers the file (dev, ino), just opened by a name that its open
// notes itself: writes through the handle need note nothing.
void journal_remember_file(dev_t dev, ino_t ino) noexcept;
// Notes path, the current name of the file (dev, ino) written through an
// open handle, and remembers the file.
void journal_note_file(dev_t dev, ino_t ino, std::string_view path) noexcept;

// The replicas' root prefixes as /proc/self/fd shows them (resync_gate.h's
// open_file_path takes them), taken at the last departure.
std::vector<std::string> journal_prefixes();

// What the journal on replica source holds for the replica named identity
// whose record holds generation. Throws only for want of memory.
journal_scan journal_for(int source, std::string_view identity, uint64_t generation);
