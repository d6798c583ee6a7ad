// One mount per replica set. Two daemons over the same replicas would each
// disable a different replica on their own errors, both records would end
// at the same generation, and the next start would trust both: so a
// replica that another running vornelix holds is refused at start-up, and
// so is a mount point that is already a vornelix mount.
//
// The hold is an exclusive flock on a descriptor of each replica root,
// kept for the life of the process: the kernel releases it whenever the
// holder ends, by kill -9, a crash or a power loss alike, so a dead holder
// never blocks the next start, and it needs no clock and no lease to
// renew. It is seen by every process of this machine, and through a
// network filesystem by the other machines as far as that filesystem
// carries flock (a filesystem that refuses flock on a directory is
// logged at every start as unguarded). The holder's mounted marker
// (replica_record.h) names it in the refusal.
//
// The mount table is read from /proc/self/mountinfo, never by a stat of
// the mount point, which a hung mount would block.
#pragma once

#include <string>
#include <string_view>

// Takes the hold on replica k's root, described by word in messages. 0, or
// the exit status (EBUSY) after a message naming the holder.
int hold_replica(int k, const std::string& word) noexcept;

// Gives up every hold (the process's end does the same).
void release_replica_holds() noexcept;

// The type every vornelix mount has (its subtype is set at mount time).
inline constexpr std::string_view vornelix_mount_type = "fuse.vornelix";

// Whether path (absolute and canonical) is the mount point of a vornelix
// mount in the mount table text (the format of /proc/self/mountinfo).
bool vornelix_mount_at(std::string_view mountinfo, const std::string& path);

// The same against this process's mount table; false when it cannot be
// read.
bool vornelix_mount_at(const std::string& path);

// An absolute path without ".", ".." or repeated '/', made from word (as
// typed) and the working directory, without touching the filesystem.
std::string lexical_absolute(std::string_view word);
