#include <cstring>

#include "fs/kernel/operations.h"

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
    table.utime = nullptr;
    table.open = fs_open;
    table.read = fs_read;
    table.write = fs_write;
    table.statfs = fs_statfs;
    table.flush = fs_flush;
    table.release = fs_release;
    table.fsync = fs_fsync;
    table.setxattr = fs_setxattr;
    table.getxattr = fs_getxattr;
    table.listxattr = fs_listxattr;
    table.removexattr = fs_removexattr;
    table.opendir = fs_opendir;
    table.readdir = fs_readdir;
    table.releasedir = fs_releasedir;
    table.fsyncdir = fs_fsyncdir;
    table.init = fs_init;
    table.destroy = fs_destroy;
    // The kernel answers access() itself from the mode: the tree is
    // mounted with its permission checks (main.cpp).
    table.access = nullptr;
    table.create = fs_create;
    table.ftruncate = fs_ftruncate;
    table.fgetattr = fs_fgetattr;
    table.lock = nullptr;
    table.utimens = fs_utimens;
    table.bmap = nullptr;
    // Times marked "now" or "leave as it is" reach utimens as such, so a
    // one-sided change (touch -m, touch -a) is never lost.
    table.flag_utime_omit_ok = 1;
    table.ioctl = nullptr;
    table.poll = nullptr;
    table.write_buf = nullptr;
    table.read_buf = nullptr;
    table.flock = nullptr;
    table.fallocate = fs_fallocate;
}
