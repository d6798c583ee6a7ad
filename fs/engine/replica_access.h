// Reaching a tree path inside one replica.
//
// Every system call on a replica starts from a descriptor of that replica's
// root, opened once at start-up: the replica's own path (and whatever lies
// above it) never takes part, so path-length limits are those of the
// mounted tree, and the directories above a root, which belong to the
// administrator, are never examined. A path is walked with openat2 beneath
// the root without following any symbolic link, so no link or ".." inside a
// replica, however it got there, leads outside it; the last name is then
// acted on with the *at calls, never following a link found there.
//
// Results: -1 with errno set on failure, like the system calls they wrap.
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>

#include "fs/engine/replica_info.h"
#include "fs/engine/tree_walk.h"

// Opens a replica root for the table: a directory descriptor, or -1 with
// errno.
int open_replica_root(const char* root) noexcept;

// The directory that holds a tree path's last name in replica k, and that
// name. For "/" the directory is the root itself and the name ".".
struct replica_place {
    unique_fd owned;  // the parent, when it is not the root and was walked
    std::shared_ptr<const kept_directory> kept;  // the parent, when kept for requests
    int dir = -1;     // the descriptor to act from: the root, owned or kept
    std::string name;
    // "/proc/self/fd/N/name": for the calls that have no *at form (the
    // extended attributes); N is the walked parent, so only the last name
    // is looked up again, and never followed.
    std::string proc_path() const;
};

// openat2 of the whole tree path beneath replica k's root, never following
// a link (a link as the last name gives ELOOP unless flags hold
// O_PATH|O_NOFOLLOW). The descriptor, or -1 with errno.
int open_in_replica(int k, std::string_view path, int flags, mode_t mode = 0) noexcept;

// Requests reach their names through descriptors kept for the directories
// they used last, instead of walking from the root each time: a request on
// a name in a directory already seen makes one system call on a replica,
// not three. Only requests use them, and only under the tree-shape lock
// (fs/kernel/requests.h), which a rename of a directory holds alone: what
// moves or removes a directory forgets the places at and beneath its
// paths (forget_directory_places) before another request can look.
// A directory's descriptor follows it wherever it goes, so a place
// forgotten late leads to the moved directory, never to another one.
//
// Kept only for a replica in service, and forgotten when it leaves or
// enters service (forget_replica_places): a resync may replace any
// directory of a replica out of service, or its whole root, and a
// replica out of service keeps no descriptor busy. At most
// kept_places_per_replica() per replica; a full set makes room by letting
// one go. A request holding a place keeps its descriptor open until it is
// done, whatever is forgotten meanwhile.
inline constexpr size_t kept_places_most = 512;
size_t kept_places_per_replica() noexcept;

// The descriptors the open-file table leaves free (the start sizes both):
// the kept places of every replica take at most half of them, and never
// more than kept_places_most each.
void size_kept_places(uint64_t spare_descriptors, int replicas) noexcept;

// The place of a tree path in replica k, through the kept descriptors
// (walked beneath the root, never following a link, where none is kept).
// 0, or -1 with errno (ENOENT, ENOTDIR, ELOOP for a link on the way, ...).
int request_place(int k, std::string_view path, replica_place& place) noexcept;

// As open_in_replica, through the kept descriptors.
int request_open(int k, std::string_view path, int flags, mode_t mode = 0) noexcept;

// Forgets, on every replica, the places of the tree path and of
// everything beneath it.
void forget_directory_places(std::string_view path) noexcept;

// Forgets every place of replica k.
void forget_replica_places(int k) noexcept;
