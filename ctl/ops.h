// The FUSE operations of the control tree, and the channel to vornelix.
//
// Conventions: the operations answer 0, a byte count or -errno and never
// throw. node_permissions and ctl_permissions answer rwx bits (0..7), or -1
// with errno ENOMEM; ctl_permissions also answers permissions_no_node.
//
// Thread safety: the tree is read without a lock (it never changes after
// start-up). channel_lock is held from the first byte of a request to the
// last byte of its reply, so concurrent operations never mix their
// exchanges (a leaf: fs/lock_order.h, vornctl #2).
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include <fuse.h>

// The two ends of the control channel (requests out, replies in); null
// until start-up has opened them.
extern FILE* channel_in;
extern FILE* channel_out;
extern std::mutex channel_lock;  // fs/lock_order.h: vornctl #2

// One request and its reply as one step: 0 with the reply, or -1 when the
// channel failed (vornelix has gone, or the reply was malformed).
int exchange(std::string_view request, std::string& reply) noexcept;

// "The path names no node" from ctl_permissions. As a bit set it lacks only
// the search bit, so it passes read and write tests and fails search tests:
// the operation then finds no node and answers -ENOENT.
inline constexpr int permissions_no_node = -2;

inline constexpr int may_read = 4;
inline constexpr int may_write = 2;
inline constexpr int may_search = 1;

int node_permissions(uid_t uid, gid_t gid, const struct stat& attributes) noexcept;
int ctl_permissions(std::string_view path) noexcept;

int ctl_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) noexcept;
int ctl_truncate(const char* path, off_t size, struct fuse_file_info* fi) noexcept;
int ctl_open(const char* path, struct fuse_file_info* fi) noexcept;
int ctl_release(const char* path, struct fuse_file_info* fi) noexcept;
int ctl_read(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info* fi) noexcept;
int ctl_write(const char* path, const char* data, size_t size, off_t offset,
              struct fuse_file_info* fi) noexcept;
int ctl_statfs(const char* path, struct statvfs* st) noexcept;
int ctl_readdir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t offset,
                struct fuse_file_info* fi, enum fuse_readdir_flags flags) noexcept;
void* ctl_init(struct fuse_conn_info* connection, struct fuse_config* config) noexcept;
void ctl_destroy(void* private_data) noexcept;

// The table handed to FUSE: the operations above, every other slot left
// to the library's defaults.
void fill_ctl_operations(struct fuse_operations& table) noexcept;
