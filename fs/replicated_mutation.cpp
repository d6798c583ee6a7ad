#include "fs/replicated_mutation.h"

#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/caller.h"

int give_to_caller(const std::string& replica_path) noexcept
{
    const caller_identity caller = current_caller();
    gid_t group = caller.gid;
    const size_t slash = replica_path.rfind('/');
    if (slash != std::string::npos) {
        // The parent is everything before the last '/', or "/" itself.
        char parent[PATH_MAX];
        const size_t length = slash == 0 ? 1 : slash;
        if (length < sizeof parent) {
            std::memcpy(parent, replica_path.data(), length);
            parent[length] = '\0';
            struct stat st;
            if (stat(parent, &st) == 0 && (st.st_mode & S_ISGID))
                group = st.st_gid;
        }
    }
    return lchown(replica_path.c_str(), caller.uid, group);
}

bool parent_of(const std::string& replica_path, std::string& parent) noexcept
{
    try {
        std::string copy = replica_path;
        parent = dirname(copy.data());
        return true;
    } catch (...) {
        errno = ENOMEM;
        return false;
    }
}
