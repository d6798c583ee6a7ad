// placeholder until the namespace operations land
#include <cerrno>
#include "fs/operations.h"
int fs_mkdir(const char*, mode_t) noexcept { return -ENOSYS; }
int fs_mknod(const char*, mode_t, dev_t) noexcept { return -ENOSYS; }
int fs_unlink(const char*) noexcept { return -ENOSYS; }
int fs_rmdir(const char*) noexcept { return -ENOSYS; }
int fs_symlink(const char*, const char*) noexcept { return -ENOSYS; }
int fs_rename(const char*, const char*) noexcept { return -ENOSYS; }
int fs_link(const char*, const char*) noexcept { return -ENOSYS; }
