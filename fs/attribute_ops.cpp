// placeholder until the attribute operations land
#include <cerrno>
#include "fs/operations.h"
int fs_chmod(const char*, mode_t) noexcept { return -ENOSYS; }
int fs_chown(const char*, uid_t, gid_t) noexcept { return -ENOSYS; }
int fs_truncate(const char*, off_t) noexcept { return -ENOSYS; }
int fs_utime(const char*, struct utimbuf*) noexcept { return -ENOSYS; }
