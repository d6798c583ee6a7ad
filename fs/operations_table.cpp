#include <cstring>

#include "fs/operations.h"

static_assert(sizeof(struct fuse_operations) == 280,
              "the FUSE 2.5 operations table has 35 slots");

// Slots left null get the FUSE library's own default.
void fill_operations(struct fuse_operations& table) noexcept
{
    std::memset(&table, 0, sizeof table);
    table.getattr = fs_getattr;
    table.readlink = fs_readlink;
    table.getdir = nullptr;
    table.mknod = fs_mknod;
    table.mkdir = fs_mkdir;
    table.unlink = fs_unlink;
    table.rmdir = fs_rmdir;
    table.symlink = fs_symlink;
    table.rename = fs_rename;
    table.link = fs_link;
    table.chmod = fs_chmod;
    table.chown = fs_chown;
    table.truncate = fs_truncate;
    table.utime = fs_utime;
    table.open = fs_open;
    table.read = fs_read;
    table.write = fs_write;
    table.statfs = fs_statfs;
    table.flush = fs_flush;
    table.release = fs_release;
    table.fsync = fs_fsync;
    table.setxattr = nullptr;
    table.getxattr = nullptr;
    table.listxattr = nullptr;
    table.removexattr = nullptr;
    table.opendir = nullptr;
    table.readdir = fs_readdir;
    table.releasedir = nullptr;
    table.fsyncdir = nullptr;
    table.init = fs_init;
    table.destroy = fs_destroy;
    table.access = fs_access;
    table.create = nullptr;
    table.ftruncate = nullptr;
    table.fgetattr = nullptr;
}
