// Making one replica's tree match another's, entry by entry: the copying
// half of a resync (resync.h drives it).
//
// Both trees are reached from their root descriptors only, every path
// walked beneath the root without following a symbolic link, as the
// replicas themselves are (replica_access.h). An entry is made to match
// whole: its type, contents, link target or device number, mode, owner,
// the tree's extended attributes (tree_walk.h: access control lists,
// user., security. and trusted. less the replica records), and access and
// modification times to the nanosecond; a directory also in its list of names, recursively, names
// found only in the target being removed. Contents already equal are read
// but not written again, so a target that is mostly current costs reads.
// Files with several names on the source get the same names, as links of
// one file, on the target.
//
// The source may change while it is copied (the tree stays in use): an
// entry that vanishes from the source halfway is taken as removed. Whoever
// changes it registers the change (resync_gate.h), and the resync copies
// the entry again; only the last copy, taken while nothing changes,
// counts. A context is therefore used only while changes register.
//
// The name the mount keeps at the root (reserved_name.h) is neither
// copied nor removed there.
//
// Results: 0, or -1 with errno; failure names the path and the side that
// failed. ECANCELED when stop() asked to stop.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct copy_failure {
    std::string path;
    bool on_target = false;
};

struct copy_context {
    int source_root = -1;
    int target_root = -1;
    // Called before every entry: true asks to stop (ECANCELED).
    std::function<bool()> stop;
    uint64_t entries = 0;  // entries made to match so far
    uint64_t bytes = 0;    // bytes of contents written
    copy_failure failure;

    // Every tree path seen for a source file that has several names, by
    // the file's identity: where its target twin can be found.
    std::map<std::pair<dev_t, ino_t>, std::vector<std::string>> names_of_file;
    // Target files this copy made itself: changed in place, never
    // replaced, even when they have several names.
    std::set<std::pair<dev_t, ino_t>> made;
    // Source directories this copy made a target directory match whole,
    // with that target's identity. Since every change below such a
    // directory registers its own path, copying the directory again
    // compares only its names; a directory replaced on either side no
    // longer pairs and is copied whole.
    std::map<std::pair<dev_t, ino_t>, std::pair<dev_t, ino_t>> matched_directories;
    std::vector<char> buffer;  // two halves: source and target chunks
};

// Makes the target's entry at a tree path ("/" or "/a/b") match the
// source's, recursively; an entry missing from the source is removed from
// the target. A target whose parent directory is missing gets the parent
// made first. 0, or -1 with errno.
int sync_path(copy_context& context, const std::string& path) noexcept;
