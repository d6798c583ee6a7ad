// placeholder until the lookups land
#include <cerrno>
#include "fs/operations.h"
int fs_getattr(const char*, struct stat*) noexcept { return -ENOSYS; }
int fs_readlink(const char*, char*, size_t) noexcept { return -ENOSYS; }
int fs_readdir(const char*, void*, fuse_fill_dir_t, off_t, struct fuse_file_info*) noexcept { return -ENOSYS; }
int fs_statfs(const char*, struct statvfs*) noexcept { return -ENOSYS; }
int fs_access(const char*, int) noexcept { return -ENOSYS; }
