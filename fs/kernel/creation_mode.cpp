// The mode of a new file, directory or node, from what the kernel hands
// over.
//
// With access control lists on (mount.cpp asks the kernel for both), the
// kernel leaves the caller's umask out of the mode and hands it over on
// its own: on a local filesystem the umask counts only where the
// directory carries no default list, since a default list stands in for
// it. So the mask is applied here when the directory has none; when it
// has one, the unmasked mode goes to the replicas, whose filesystems then
// give the new object the inherited list and the mode it allows, as they
// would for a local caller (vornelix itself runs with a mask of 0).
//
// Whether a directory has a default list is asked of one replica the
// first time a create there needs it, and kept with its node (node_table.h)
// until one is set or removed through the mount: a create whose mode the
// mask would not change, as with a mask of 0, asks nothing.
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "fs/kernel/node_table.h"
#include "fs/kernel/operations.h"
#include "fs/kernel/requests.h"

// Whether the directory node parent, at parent_path, has a default list:
// asked of one replica when the node table does not know. A directory
// that cannot be asked is taken as having none, and asked again next time.
static bool has_default_acl(fuse_ino_t parent, const std::string& parent_path) noexcept
{
    const default_acl known = node_default_acl(parent);
    if (known != default_acl::unknown)
        return known == default_acl::present;
    const int rc = fs_getxattr(parent_path.c_str(), "system.posix_acl_default", nullptr, 0);
    if (rc >= 0 || rc == -ENODATA || rc == -EOPNOTSUPP)
        note_default_acl(parent, rc > 0 ? default_acl::present : default_acl::absent);
    return rc > 0;
}

mode_t creation_mode(fuse_req_t request, fuse_ino_t parent, const std::string& path, mode_t mode) noexcept
{
    const struct fuse_ctx* context = fuse_req_ctx(request);
    const mode_t mask = context != nullptr ? context->umask & 0777 : 0;
    // Also what a kernel that masked the mode itself hands over.
    if ((mode & mask) == 0)
        return mode;
    std::string parent_path;
    try {
        const size_t slash = path.rfind('/');
        parent_path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    } catch (...) {
        return mode & ~mask;
    }
    return has_default_acl(parent, parent_path) ? mode : mode & ~mask;
}
