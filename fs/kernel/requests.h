// The kernel's requests, as libfuse's low-level API hands them over: by
// node number (node_table.h) and handle. Each turns its nodes into tree
// paths and runs the operation of operations.h, then replies; every reply
// is sent exactly once, and nothing unwinds into libfuse.
//
// The shape of the tree: an operation acts on the replicas by the paths it
// built from the node table, so the paths must not move under it. The
// kernel's own locks keep a name from changing while an operation on it
// or its directory runs; what they do not cover is a directory higher up
// being renamed, which moves every path beneath it. So every request that
// works by path holds the tree's shape shared, and a rename of a
// directory holds it alone (lock_order.h, #1). Renames of files, links,
// removals and everything else run side by side.
#pragma once

#include <fuse_lowlevel.h>

#include <shared_mutex>
#include <string>

#include "fs/kernel/node_table.h"

// lock_order.h, #1: the shape of the tree (see above).
std::shared_mutex& tree_shape() noexcept;

// What the mount options ask of the replies, set once before the mount:
// how long the kernel may keep what a reply told it without asking again,
// in seconds (a name's node, a node's attributes, a name's absence; 0: not
// kept), and how open files use the kernel's page cache (direct_io: not
// at all; kernel_cache: kept across opens).
struct reply_settings {
    double entry = 1.0;
    double attributes = 1.0;
    double absence = 0.0;
    bool direct_io = false;
    bool kernel_cache = false;
};
extern reply_settings kept_for;

// How many times a request that works by a path runs again when a change
// of names overlapped it (node_table.h, name_epoch).
inline constexpr int path_attempts = 8;

// Whether attributes that replica served answered for a node are another
// file's: an answer of the replica the node was learnt from with another
// device or inode number. (Another replica's answer cannot be compared.)
bool another_file(fuse_ino_t node, const struct stat& st, int served) noexcept;

// Tells the kernel to forget the attributes it holds of a node (mount.cpp).
void forget_kernel_attributes(fuse_ino_t node) noexcept;

// The paths of a node or of a name in a directory: -ENOENT for a node
// that has no name left (it was removed) or for the name the mount keeps
// at its root (reserved_name.h), -ESTALE for one the table does not know.
// new_path_in is for a name about to be made: the kept name is -EPERM.
int path_of(fuse_ino_t node, std::string& path) noexcept;
int path_in(fuse_ino_t parent, const char* name, std::string& path) noexcept;
int new_path_in(fuse_ino_t parent, const char* name, std::string& path) noexcept;

// Runs act(path) by the node's path; when a change of names overlapped it
// and doubtful(rc) says the answer may be another file's or none, lets
// the change settle and runs it again by the path built anew, at most
// path_attempts times. doubtful may put right what act did (close a file
// opened by a stale path) and set rc to the answer to give if it was the
// last attempt. The last rc.
template <typename Act, typename Doubtful>
int by_node_path(fuse_ino_t node, Act&& act, Doubtful&& doubtful) noexcept
{
    int rc = 0;
    for (int attempt = 0; attempt < path_attempts; ++attempt) {
        if (attempt > 0)
            let_names_settle();
        const name_epoch epoch = name_epoch_now();
        std::string path;
        if ((rc = path_of(node, path)) != 0)
            return rc;
        rc = act(path.c_str());
        if (!names_moved_since(epoch) || !doubtful(rc))
            return rc;
    }
    return rc;
}

// The entry of a name found or made, with the attributes the replica
// served answered (-1 unknown): the node learns the name and one more lookup. False when
// memory ran out.
bool make_entry(fuse_ino_t parent, const char* name, struct stat& st, int served,
                struct fuse_entry_param& entry) noexcept;

// Replies the entry of a name just found or made at path in the directory:
// looks the object up on the replica whose attributes the mount shows.
void reply_entry(fuse_req_t request, fuse_ino_t parent, const char* name,
                 const std::string& path) noexcept;

// The mode a new object at path in the directory parent is made with:
// the kernel's, less the caller's umask unless the directory carries a
// default access control list (creation_mode.cpp).
mode_t creation_mode(fuse_req_t request, fuse_ino_t parent, const std::string& path, mode_t mode) noexcept;

// Requests on names and attributes (node_requests.cpp).
void on_lookup(fuse_req_t request, fuse_ino_t parent, const char* name) noexcept;
void on_forget(fuse_req_t request, fuse_ino_t node, uint64_t count) noexcept;
void on_forget_multi(fuse_req_t request, size_t count, struct fuse_forget_data* forgets) noexcept;
void on_getattr(fuse_req_t request, fuse_ino_t node, struct fuse_file_info* fi) noexcept;
void on_setattr(fuse_req_t request, fuse_ino_t node, struct stat* attributes, int to_set,
                struct fuse_file_info* fi) noexcept;
void on_readlink(fuse_req_t request, fuse_ino_t node) noexcept;
void on_mknod(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode, dev_t device) noexcept;
void on_mkdir(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode) noexcept;
void on_unlink(fuse_req_t request, fuse_ino_t parent, const char* name) noexcept;
void on_rmdir(fuse_req_t request, fuse_ino_t parent, const char* name) noexcept;
void on_symlink(fuse_req_t request, const char* text, fuse_ino_t parent, const char* name) noexcept;
void on_rename(fuse_req_t request, fuse_ino_t parent, const char* name, fuse_ino_t new_parent,
               const char* new_name, unsigned int flags) noexcept;
void on_link(fuse_req_t request, fuse_ino_t node, fuse_ino_t new_parent, const char* new_name) noexcept;
void on_statfs(fuse_req_t request, fuse_ino_t node) noexcept;
void on_setxattr(fuse_req_t request, fuse_ino_t node, const char* name, const char* value, size_t size,
                 int flags) noexcept;
void on_getxattr(fuse_req_t request, fuse_ino_t node, const char* name, size_t size) noexcept;
void on_listxattr(fuse_req_t request, fuse_ino_t node, size_t size) noexcept;
void on_removexattr(fuse_req_t request, fuse_ino_t node, const char* name) noexcept;

// Requests on open files and directories (handle_requests.cpp).
void on_open(fuse_req_t request, fuse_ino_t node, struct fuse_file_info* fi) noexcept;
void on_create(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode,
               struct fuse_file_info* fi) noexcept;
void on_read(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
             struct fuse_file_info* fi) noexcept;
void on_write(fuse_req_t request, fuse_ino_t node, const char* data, size_t size, off_t offset,
              struct fuse_file_info* fi) noexcept;
void on_flush(fuse_req_t request, fuse_ino_t node, struct fuse_file_info* fi) noexcept;
void on_release(fuse_req_t request, fuse_ino_t node, struct fuse_file_info* fi) noexcept;
void on_fsync(fuse_req_t request, fuse_ino_t node, int datasync, struct fuse_file_info* fi) noexcept;
void on_fallocate(fuse_req_t request, fuse_ino_t node, int mode, off_t offset, off_t length,
                  struct fuse_file_info* fi) noexcept;
void on_lseek(fuse_req_t request, fuse_ino_t node, off_t offset, int whence, struct fuse_file_info* fi) noexcept;
void on_copy_file_range(fuse_req_t request, fuse_ino_t in_node, off_t in_at, struct fuse_file_info* in,
                        fuse_ino_t out_node, off_t out_at, struct fuse_file_info* out, size_t size,
                        int flags) noexcept;
void on_opendir(fuse_req_t request, fuse_ino_t node, struct fuse_file_info* fi) noexcept;
void on_readdir(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                struct fuse_file_info* fi) noexcept;
void on_readdirplus(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                    struct fuse_file_info* fi) noexcept;
void on_releasedir(fuse_req_t request, fuse_ino_t node, struct fuse_file_info* fi) noexcept;
void on_fsyncdir(fuse_req_t request, fuse_ino_t node, int datasync, struct fuse_file_info* fi) noexcept;
