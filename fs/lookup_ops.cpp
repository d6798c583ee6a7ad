// Lookups: one replica in service answers, chosen round-robin (high
// priority first); when it fails, the next one in the order is tried, so a
// lookup succeeds while any replica in service can answer it. A replica
// that failed before another one answered is logged, never disabled: a
// lookup changes nothing, and the failure may be the caller's own (a name
// missing everywhere is never logged).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "fs/event_log.h"
#include "fs/operations.h"
#include "fs/permissions.h"
#include "fs/replicas.h"
#include "fs/replicated_mutation.h"

namespace {

struct directory_closer {
    void operator()(DIR* dir) const noexcept { closedir(dir); }
};
using directory_stream = std::unique_ptr<DIR, directory_closer>;

}  // namespace

// errno as a positive error number; a call that failed without saying why
// still counts as failed.
static int failure_errno() noexcept
{
    return errno != 0 ? errno : EIO;
}

static void log_passed_failures(const int* errors, const char* word) noexcept
{
    // Replica order, not the order of the attempts, so that the log reads
    // the same whichever replica the rotation started with.
    for (int k = 0; k < replica_count; ++k)
        if (errors[k] != 0)
            write_log(word, replica_table[k].root, errors[k]);
}

// The attempt loop of every lookup. attempt(replica path) answers 0 when
// the replica served the request, a positive errno when this replica failed
// (the next one is tried), or a negative reply that ends the request at
// once. Answers 0, the last replica's -errno when all that were tried
// failed, or -EINVAL when no replica could be tried at all.
template <typename Attempt>
static int serve_from_one_replica(const char* path, const char* word, Attempt&& attempt) noexcept
{
    std::unique_ptr<int[]> errors = zeroed_slots<int>(replica_count);
    if (!errors)
        return -ENOMEM;
    int failures = 0;
    int last_error = 0;
    read_turns turns;
    std::string replica;
    for (int i = 0; i < replica_count; ++i) {
        const int k = choose_replica(turns, i);
        if (k < 0 || !replica_in_service(k))
            continue;
        if (!replica_path(path, replica_table[k].root, replica))
            continue;
        const int rc = attempt(replica);
        if (rc == 0) {
            if (failures != 0)
                log_passed_failures(errors.get(), word);
            return 0;
        }
        if (rc < 0)
            return rc;
        errors[k] = rc;
        ++failures;
        last_error = -rc;
    }
    return failures != 0 ? last_error : -EINVAL;
}

int fs_getattr(const char* path, struct stat* st) noexcept
{
    return serve_from_one_replica(path, "getattr", [st](const std::string& replica) noexcept {
        if (check_path_search(replica.c_str()) != 0)
            return failure_errno();
        if (lstat(replica.c_str(), st) == -1)
            return failure_errno();
        return 0;
    });
}

int fs_statfs(const char* path, struct statvfs* st) noexcept
{
    return serve_from_one_replica(path, "statfs", [st](const std::string& replica) noexcept {
        if (check_path_search(replica.c_str()) != 0)
            return failure_errno();
        if (statvfs(replica.c_str(), st) == -1)
            return failure_errno();
        return 0;
    });
}

int fs_readlink(const char* path, char* buffer, size_t size) noexcept
{
    // No room even for the terminating NUL.
    if (size == 0)
        return -EINVAL;
    return serve_from_one_replica(path, "readlink", [buffer, size](const std::string& replica) noexcept {
        const int bits = link_permissions(replica.c_str());
        if (bits < 0)
            return failure_errno();
        if ((bits & may_read) == 0)
            return -EACCES;
        const ssize_t length = readlink(replica.c_str(), buffer, size - 1);
        if (length == -1)
            return failure_errno();
        buffer[length] = '\0';
        return 0;
    });
}

// Hands every entry of the stream to the kernel in one go (next offset 0),
// each with only its inode number and file type.
static int list_directory(DIR* dir, void* buffer, fuse_fill_dir_t filler, off_t offset) noexcept
{
    seekdir(dir, offset);
    while (true) {
        errno = 0;
        const struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            // A listing cut short by an error must not pass for the whole
            // directory.
            return errno != 0 ? -errno : 0;
        }
        struct stat st;
        std::memset(&st, 0, sizeof st);
        st.st_ino = entry->d_ino;
        st.st_mode = static_cast<mode_t>(entry->d_type) << 12;
        if (filler(buffer, entry->d_name, &st, 0) != 0)
            return 0;
    }
}

// The directory at the name itself: the kernel lists only what it saw as a
// directory, so a symbolic link found there is not followed out of the
// tree. Null with errno on failure.
static DIR* open_directory(const std::string& replica) noexcept
{
    const int fd = open(replica.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd == -1)
        return nullptr;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return dir;
}

int fs_readdir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t offset,
               struct fuse_file_info*) noexcept
{
    directory_stream dir;
    const int rc = serve_from_one_replica(path, "readdir", [&dir](const std::string& replica) noexcept {
        const int bits = path_permissions(replica.c_str());
        if (bits < 0)
            return failure_errno();
        if ((bits & may_read) == 0)
            return -EACCES;
        dir.reset(open_directory(replica));
        if (!dir)
            return failure_errno();
        return 0;
    });
    if (rc != 0)
        return rc;
    return list_directory(dir.get(), buffer, filler, offset);
}

int fs_access(const char* path, int mask) noexcept
{
    struct stat st;
    const int rc = fs_getattr(path, &st);
    if (rc < 0)
        return rc;
    const int bits = stat_permissions(st);
    if (bits < 0)
        return -failure_errno();
    if ((mask & ~bits) != 0)
        return -EACCES;
    // Not even root may execute a file that nobody may execute.
    if ((mask & X_OK) != 0 && !S_ISDIR(st.st_mode) && (st.st_mode & 0111) == 0)
        return -EACCES;
    return 0;
}
