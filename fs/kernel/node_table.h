// The kernel's inodes and the names they are reached by.
//
// The kernel names a file by a node number it was given at lookup. One
// file is one node whatever name it was found under, so that its names
// share one page cache, one set of attributes and one lock in the kernel:
// nodes are keyed by the identity (device, inode) the file has on the
// replica that answered the lookup (the first in service in priority
// order, as for every attribute). The inode number the mount shows is that
// replica's: it is the same for every name of the file and stays the same
// when the kernel forgets the node and looks it up again. Only a change of
// that replica (it left service) gives files looked up afterwards the next
// replica's numbers.
//
// Operations on replicas still work by tree path: a node's path is built
// from its names, each a (parent node, name) pair, up to the root. A node
// keeps every name it was seen under, so that a hard-linked file stays
// reachable when one of its names goes; a node with no name left was
// removed while open and is reached through its open handles only.
//
// The lookup count is the kernel's: every entry replied adds one, forget
// takes them back, and at zero the node and its names go.
//
// One lock (lock_order.h) guards the table; nothing is called under it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr uint64_t root_node = 1;

// Starts the table with the root node, shown with the root's attributes.
void node_table_start(const struct stat& root) noexcept;
// Drops every node (the mount ended).
void node_table_clear() noexcept;

// The tree path of a node ("/" for the root): false when the node is
// unknown or has no name left.
bool node_path(uint64_t node, std::string& path) noexcept;
// The tree path of a name in a directory node.
bool child_path(uint64_t parent, std::string_view name, std::string& path) noexcept;

// A name found or made in a directory, with the attributes its replica
// answered: the node of that file (made when new) gets one more lookup and
// the name. The node number, and the attributes with the number to show;
// 0 when memory ran out.
// replica: the replica that answered (-1 unknown), which the node keeps
// so that later answers are compared with its identity only when they come
// from the same replica.
uint64_t learn_node(uint64_t parent, std::string_view name, struct stat& st, int replica = -1) noexcept;
// Whether the table holds the node, and whether it still has a name.
bool node_known(uint64_t node) noexcept;
bool node_has_name(uint64_t node) noexcept;
// The identity a node was learnt by: its device and inode number on the
// replica that answered, and that replica (-1 unknown). False for an
// unknown node.
bool node_identity(uint64_t node, dev_t& dev, ino_t& ino, int& replica) noexcept;
// The attributes of a known node with the number it shows.
void show_node(uint64_t node, struct stat& st) noexcept;
// The kernel lets go of count lookups.
void forget_node(uint64_t node, uint64_t count) noexcept;

// A name removed, or moved (rename; a name it replaced goes).
void drop_name(uint64_t parent, std::string_view name) noexcept;
void move_name(uint64_t parent, std::string_view name, uint64_t new_parent,
               std::string_view new_name) noexcept;
// Whether the name in the directory is known as a directory, or unknown.
bool name_may_be_directory(uint64_t parent, std::string_view name) noexcept;

// Whether a directory node carries a default access control list, as far
// as the table knows: a create under it applies the caller's umask only
// when it carries none (creation_mode.cpp). Learnt when a create first
// needs it, unknown again when one is set or removed through the mount,
// and gone with the node. Unknown for a node the table does not hold.
enum class default_acl : uint8_t { unknown, absent, present };
default_acl node_default_acl(uint64_t node) noexcept;
void note_default_acl(uint64_t node, default_acl known) noexcept;
// Attributes the kernel asks for again and again, which a node is
// remembered to lack: the file capability (security.capability), asked
// before every write to know whether one must be dropped, and the access
// control list (system.posix_acl_access), asked at every permission check
// by someone other than the owner, since the kernel keeps no list of a
// FUSE file between checks. An absence is kept from the first time a
// replica answered it until the attribute is set or removed through the
// mount (a chmod or a change of owner never adds one), and goes with the
// node; a new file is a new node. False for a node the table does not
// hold. A request that asks a replica takes the node's count of such
// changes first (watched_changes) and notes the absence with it: an answer
// that a change overtook is not kept.
enum class watched_attribute : uint8_t { capability, access_acl };
bool node_lacks(uint64_t node, watched_attribute attribute) noexcept;
uint64_t watched_changes(uint64_t node) noexcept;
void note_absent(uint64_t node, watched_attribute attribute, uint64_t changes_seen) noexcept;
void note_watched_change(uint64_t node, watched_attribute attribute) noexcept;

// The handles open on a node, for requests on a node that lost its names.
// Such a request borrows a handle that another open of the file owns, so
// the handle's release waits until every borrower has given it back.
void note_open_handle(uint64_t node, uint64_t handle) noexcept;
void note_closed_handle(uint64_t node, uint64_t handle) noexcept;

class borrowed_handle {
public:
    explicit borrowed_handle(uint64_t node) noexcept;
    ~borrowed_handle();
    borrowed_handle(const borrowed_handle&) = delete;
    borrowed_handle& operator=(const borrowed_handle&) = delete;

    // Whether the node had a handle to lend, and which.
    bool held() const noexcept { return held_; }
    uint64_t handle() const noexcept { return handle_; }

private:
    uint64_t node_;
    uint64_t handle_ = 0;
    bool held_ = false;
};

// Counts for tests and measurements: nodes and names held.
size_t node_count() noexcept;
size_t name_count() noexcept;

// Changes of names as they happen. A request that works by a path built
// from the table may meet a rename or removal that has changed the
// replicas and not yet the table: its path then led to another file, or to
// nothing. Every change of names (rename, unlink, rmdir) runs inside a
// name_change, from before it acts on the replicas until after it updated
// the table; a request takes the epoch before it builds its path and, if
// names moved since, builds the path again and runs once more.
struct name_epoch {
    uint64_t generation;
    bool busy;
};
name_epoch name_epoch_now() noexcept;
bool names_moved_since(const name_epoch& epoch) noexcept;
// Waits, a little at most, until no change of names is running: a request
// about to run again lets the change it met finish its update first.
void let_names_settle() noexcept;

class name_change {
public:
    name_change() noexcept;
    ~name_change();
    name_change(const name_change&) = delete;
    name_change& operator=(const name_change&) = delete;
};

// learn_node for a lookup that took epoch before it built its path: 0, and
// nothing learnt, when names moved since (the lookup runs again).
uint64_t learn_node_since(uint64_t parent, std::string_view name, struct stat& st, int replica,
                          const name_epoch& epoch) noexcept;
