// The FUSE operations of the replicated tree. Every one answers 0, a byte
// count, or -errno, and is noexcept: nothing unwinds through libfuse.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <fuse_lowlevel.h>

#include <string_view>
#include <vector>

// Lookups (lookup_ops.cpp): one replica answers, round-robin with fallback
// (getattr by priority); statfs asks every replica.
int fs_getattr(const char* path, struct stat* st) noexcept;
// The same, telling which replica answered.
int fs_getattr_served(const char* path, struct stat* st, int& served) noexcept;
int fs_readlink(const char* path, char* buffer, size_t size) noexcept;
int fs_statfs(const char* path, struct statvfs* st) noexcept;
// What statfs answers for the mirror from the answers of the replicas that
// gave one (count >= 1): the smallest size, free and available space
// (compared in bytes, given in the smallest fragment size), file counts
// and name length among them.
struct statvfs smallest_filesystem(const struct statvfs* answers, int count) noexcept;
// The entries of the directory at path, read whole from one replica (the
// first in service in priority order, whose inode numbers the mount
// shows): for each, its inode number (8 bytes), file type (1 byte) and
// NUL-terminated name. word names the request in the log.
int fs_list_directory(const char* path, const char* word, std::vector<char>& entries) noexcept;
// The attributes of names in the directory at path, read now on the
// replica whose attributes the mount shows (served): found[i] for
// names[i], all zero for a name not there.
int fs_attributes_in_directory(const char* path, const std::vector<std::string_view>& names,
                               std::vector<struct stat>& found, int& served) noexcept;
int fs_fsyncdir(const char* path, int datasync, struct fuse_file_info* fi) noexcept;
int fs_getxattr(const char* path, const char* name, char* value, size_t size) noexcept;
int fs_listxattr(const char* path, char* list, size_t size) noexcept;

// Names (namespace_ops.cpp): applied to every replica in service.
int fs_mkdir(const char* path, mode_t mode) noexcept;
int fs_mknod(const char* path, mode_t mode, dev_t device) noexcept;
int fs_unlink(const char* path) noexcept;
int fs_rmdir(const char* path) noexcept;
int fs_symlink(const char* from, const char* to) noexcept;
// may_be_directory: false only for a name known to be no directory's,
// whose rename moves or replaces no directory.
int fs_rename(const char* from, const char* to, bool may_be_directory = true) noexcept;
int fs_link(const char* from, const char* to) noexcept;

// Attributes (attribute_ops.cpp).
int fs_chmod(const char* path, mode_t mode) noexcept;
int fs_chown(const char* path, uid_t uid, gid_t gid) noexcept;
int fs_truncate(const char* path, off_t size) noexcept;
int fs_utimens(const char* path, const struct timespec times[2]) noexcept;
int fs_setxattr(const char* path, const char* name, const char* value, size_t size,
                int flags) noexcept;
int fs_removexattr(const char* path, const char* name) noexcept;

// Open files (file_ops.cpp).
int fs_open(const char* path, struct fuse_file_info* fi) noexcept;
// The new file's attributes, as the replica whose attributes the mount
// shows saw them, go to made and served when given (served -1: unknown).
int fs_create(const char* path, mode_t mode, struct fuse_file_info* fi, struct stat* made = nullptr,
              int* served = nullptr) noexcept;
int fs_fgetattr(const char* path, struct stat* st, struct fuse_file_info* fi) noexcept;
int fs_fgetattr_served(struct stat* st, struct fuse_file_info* fi, int& served) noexcept;
int fs_ftruncate(const char* path, off_t size, struct fuse_file_info* fi) noexcept;
int fs_fallocate(const char* path, int mode, off_t offset, off_t length,
                 struct fuse_file_info* fi) noexcept;
int fs_read(const char* path, char* buffer, size_t size, off_t offset,
            struct fuse_file_info* fi) noexcept;
int fs_write(const char* path, const char* data, size_t size, off_t offset,
             struct fuse_file_info* fi) noexcept;
int fs_flush(const char* path, struct fuse_file_info* fi) noexcept;
int fs_release(const char* path, struct fuse_file_info* fi) noexcept;
int fs_fsync(const char* path, int datasync, struct fuse_file_info* fi) noexcept;
// Ranges of open files (file_ranges.cpp): where data or a hole starts
// (SEEK_DATA, SEEK_HOLE), from the replica whose attributes the mount
// shows, into found; and a copy between two open files that each replica
// makes within itself, answering the count copied.
int fs_lseek(struct fuse_file_info* fi, off_t offset, int whence, off_t& found) noexcept;
int fs_copy_file_range(struct fuse_file_info* in, off_t in_at, struct fuse_file_info* out, off_t out_at,
                       size_t size) noexcept;
// Attributes changed through an open file's descriptors, for a file
// removed while open.
int fs_fchmod(struct fuse_file_info* fi, mode_t mode) noexcept;
int fs_fchown(struct fuse_file_info* fi, uid_t uid, gid_t gid) noexcept;
int fs_futimens(struct fuse_file_info* fi, const struct timespec times[2]) noexcept;

// Life cycle (lifecycle.cpp): once the mount exists, and once it ended.
void fs_init() noexcept;
void fs_destroy() noexcept;
// Whether destroy left a thread inside a call on a replica that stopped
// answering: the process must then end without its exit handlers (static
// destructors, a leak checker that would stop every thread and wait for
// that one forever).
bool threads_left_behind() noexcept;

