// Comparing replica trees by walking them, without FUSE and without the
// mount: vornelix --verify, and the first start over replicas that hold
// no record yet. Meant for unmounted replicas (after a crash,
// before trusting a repaired replica); while mounted it is a read-only walk
// that may report changes made during the walk.
//
// Every replica is compared with the first. Each difference is one line on
// standard output, "PATH: what differs", PATH being the path in the
// mounted tree ("/" for the root):
//
//   /a: missing in ROOT
//   /a: type regular file in ROOT1, directory in ROOT2
//   /a: mode 0644 in ROOT1, 4755 in ROOT2        (permission and set-id bits)
//   /a: owner 0 in ..., 1000 in ...   /a: group ...
//   /a: size 10 in ..., 5000 in ...              (not for directories)
//   /a: device 1,3 in ..., 1,5 in ...            (device nodes)
//   /a: mtime 1700000000.000000001 in ..., ... in ...   (to the nanosecond,
//                                 or the precision a filesystem keeps)
//   /a: link target 'x' in ..., 'y' in ...
//   /a: content differs from byte 4096 between ROOT1 and ROOT2
//   /a: attribute user.x missing in ROOT          /a: attribute user.x differs ...
//   (every attribute of the tree, tree_walk.h: access control lists,
//   security. and trusted. too)
//
// Not compared: atime (reading changes it), ctime (cannot be set), link
// counts and inode numbers, and attributes that are not the tree's, so
// the replica records (trusted.vornelix.*) on the roots never count.
// A name that is missing on one side is reported once, without descending
// into it; a type difference stops the comparison of that entry.
//
// Errors (a root or an entry that cannot be read) go to standard error
// and the walk goes on with the rest. Exit status: 0 identical, 1
// differences, 2 any error. On a terminal, standard error also shows the
// number of entries compared so far.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int verify_identical = 0;
inline constexpr int verify_different = 1;
inline constexpr int verify_failed = 2;

// Compares every root with the first: 0, 1 or 2 as above. With
// most_differences, the walk ends once that many are reported.
int verify_replicas(const std::vector<std::string>& roots, FILE* out, FILE* err, bool progress,
                    size_t most_differences = 0) noexcept;

// The precision in nanoseconds that the filesystem of the open fd keeps
// its times at: 1 for the local filesystems that keep nanoseconds, 2 s
// for FAT, 0 when it is not known.
long kept_time_unit(int fd) noexcept;

// Two times are the same at the coarser precision of their filesystems
// (units from kept_time_unit); where one is not known, at the precision
// its value shows (a whole number of micro- or milliseconds or seconds).
bool same_time_at_kept_precision(const struct timespec& a, const struct timespec& b, long unit_a,
                                 long unit_b) noexcept;

