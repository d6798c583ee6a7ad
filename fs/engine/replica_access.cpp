#include "fs/engine/replica_access.h"

#include <linux/openat2.h>
#include <sys/syscall.h>

#include <cerrno>

#include "fs/engine/replicas.h"

namespace {

constexpr unsigned long long confined =
    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

// openat2 with the confinement above. It answers EAGAIN when a concurrent
// rename may have let the walk escape; the walk then simply starts again.
int confined_open(int root, const char* relative, int flags, mode_t mode) noexcept
{
    struct open_how how {};
    how.flags = static_cast<unsigned long long>(flags) | O_CLOEXEC;
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = confined;
    for (int attempt = 0;; ++attempt) {
        const long fd = syscall(SYS_openat2, root, relative, &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN || attempt == 8)
            return static_cast<int>(fd);
    }
}

// The tree path without its leading '/': "." for the root.
std::string_view relative_of(std::string_view path) noexcept
{
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    return path.empty() ? std::string_view(".") : path;
}

}  // namespace

int open_replica_root(const char* root) noexcept
{
    return open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

std::string replica_place::proc_path() const
{
    return "/proc/self/fd/" + std::to_string(dir) + "/" + name;
}

int find_place(int k, std::string_view path, replica_place& place) noexcept
{
    try {
        const std::string_view relative = relative_of(path);
        const size_t slash = relative.rfind('/');
        place.owned.reset();
        place.dir = replica_at(k).root_fd;
        if (slash == std::string_view::npos) {
            place.name.assign(relative);
            return 0;
        }
        place.name.assign(relative.substr(slash + 1));
        const std::string parent(relative.substr(0, slash));
        const int fd = confined_open(replica_at(k).root_fd, parent.c_str(),
                                     O_PATH | O_DIRECTORY, 0);
        if (fd == -1)
            return -1;
        place.owned.reset(fd);
        place.dir = fd;
        return 0;
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

int open_in_replica(int k, std::string_view path, int flags, mode_t mode) noexcept
{
    try {
        const std::string relative(relative_of(path));
        return confined_open(replica_at(k).root_fd, relative.c_str(), flags, mode);
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}
