// Lookups: one replica in service answers, chosen round-robin (high
// priority first); when it fails, the next one in the order is tried, so a
// lookup succeeds while any replica in service can answer it. A replica
// that failed before another one answered is logged, never disabled: a
// lookup changes nothing.
//
// An absent name is an answer, not a failure: a name missing everywhere is
// never logged, and a name missing on one replica but found on another is
// looked at again on the first while the name's order is held, so that a
// change of that name still on its way through the replicas is not taken
// for a disagreement. Only a name still missing then is logged.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "fs/errors.h"
#include "fs/event_log.h"
#include "fs/name_order.h"
#include "fs/operations.h"
#include "fs/replica_access.h"
#include "fs/replicas.h"
#include "fs/replicated_mutation.h"

namespace {

struct directory_closer {
    void operator()(DIR* dir) const noexcept { closedir(dir); }
};
using directory_stream = std::unique_ptr<DIR, directory_closer>;

bool is_absence(int error) noexcept
{
    return error == ENOENT || error == ENOTDIR;
}

// Whether the name exists on replica k now.
bool name_exists(int k, const char* path) noexcept
{
    replica_place place;
    struct stat st;
    return find_place(k, path, place) == 0 &&
           fstatat(place.dir, place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void log_passed_failures(const char* path, int* errors, const char* word) noexcept
{
    bool absence = false;
    for (int k = 0; k < replica_count; ++k)
        absence = absence || is_absence(errors[k]);
    if (absence) {
        // Once no change of the name is under way, replicas that agree
        // about it (all holding it, or none) had only met a change half
        // done: nothing to log.
        name_order_hold order(path);
        int present = 0;
        int absent = 0;
        for (int k = 0; k < replica_count; ++k)
            if (replica_in_service(k))
                ++(name_exists(k, path) ? present : absent);
        if (present == 0 || absent == 0)
            for (int k = 0; k < replica_count; ++k)
                if (is_absence(errors[k]))
                    errors[k] = 0;
    }
    // Replica order, not the order of the attempts, so that the log reads
    // the same whichever replica the rotation started with.
    for (int k = 0; k < replica_count; ++k)
        if (errors[k] != 0)
            write_log(word, replica_table[k].root, errors[k]);
}

// The attempt loop of every lookup. attempt(k) answers 0 when replica k
// served the request, a positive errno when it failed (the next one is
// tried), or a negative reply that ends the request at once. Answers 0, the
// last replica's -errno when all that were tried failed, or -EINVAL when no
// replica could be tried at all.
template <typename Attempt>
int serve_from_one_replica(const char* path, const char* word, Attempt&& attempt) noexcept
{
    std::unique_ptr<int[]> errors = zeroed_slots<int>(replica_count);
    if (!errors)
        return -ENOMEM;
    int failures = 0;
    int last_error = 0;
    read_turns turns;
    for (int i = 0; i < replica_count; ++i) {
        const int k = choose_replica(turns, i);
        if (k < 0 || !replica_in_service(k))
            continue;
        const int rc = attempt(k);
        if (rc == 0) {
            if (failures != 0)
                log_passed_failures(path, errors.get(), word);
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

// Hands every entry of the stream to the kernel in one go (next offset 0),
// each with only its inode number and file type.
int list_directory(DIR* dir, void* buffer, fuse_fill_dir_t filler, off_t offset) noexcept
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

// The directory at the tree path in replica k, as a stream. Null with errno.
DIR* open_directory(int k, const char* path) noexcept
{
    const int fd = open_in_replica(k, path, O_RDONLY | O_DIRECTORY);
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

// A directory stream kept in a FUSE handle between opendir and releasedir.
DIR* handle_directory(const struct fuse_file_info* fi) noexcept
{
    return fi == nullptr ? nullptr : reinterpret_cast<DIR*>(static_cast<uintptr_t>(fi->fh));
}

}  // namespace

int fs_getattr(const char* path, struct stat* st) noexcept
{
    return serve_from_one_replica(path, "getattr", [path, st](int k) noexcept {
        replica_place place;
        if (find_place(k, path, place) == -1 ||
            fstatat(place.dir, place.name.c_str(), st, AT_SYMLINK_NOFOLLOW) == -1)
            return failure_errno();
        return 0;
    });
}

int fs_statfs(const char* path, struct statvfs* st) noexcept
{
    return serve_from_one_replica(path, "statfs", [st](int k) noexcept {
        return fstatvfs(replica_table[k].root_fd, st) == -1 ? failure_errno() : 0;
    });
}

int fs_readlink(const char* path, char* buffer, size_t size) noexcept
{
    // No room even for the terminating NUL.
    if (size == 0)
        return -EINVAL;
    return serve_from_one_replica(path, "readlink", [path, buffer, size](int k) noexcept {
        replica_place place;
        if (find_place(k, path, place) == -1)
            return failure_errno();
        const ssize_t length = readlinkat(place.dir, place.name.c_str(), buffer, size - 1);
        if (length == -1)
            return failure_errno();
        buffer[length] = '\0';
        return 0;
    });
}

// The kernel has checked read permission on the directory; the listing is
// taken from one replica's stream, kept until releasedir so that a listing
// read in several parts comes from one replica.
int fs_opendir(const char* path, struct fuse_file_info* fi) noexcept
{
    directory_stream dir;
    const int rc = serve_from_one_replica(path, "opendir", [&dir, path](int k) noexcept {
        dir.reset(open_directory(k, path));
        return dir ? 0 : failure_errno();
    });
    if (rc != 0)
        return rc;
    fi->fh = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(dir.release()));
    return 0;
}

int fs_readdir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t offset,
               struct fuse_file_info* fi) noexcept
{
    if (DIR* kept = handle_directory(fi))
        return list_directory(kept, buffer, filler, offset);
    directory_stream dir;
    const int rc = serve_from_one_replica(path, "readdir", [&dir, path](int k) noexcept {
        dir.reset(open_directory(k, path));
        return dir ? 0 : failure_errno();
    });
    if (rc != 0)
        return rc;
    return list_directory(dir.get(), buffer, filler, offset);
}

int fs_releasedir(const char*, struct fuse_file_info* fi) noexcept
{
    directory_stream dir(handle_directory(fi));
    fi->fh = 0;
    return 0;
}

// Directory entries made durable on every replica in service.
int fs_fsyncdir(const char* path, int datasync, struct fuse_file_info*) noexcept
{
    return replicate_change(mutation_variant::strict, "fsyncdir", "fsyncdir", [&](int k) noexcept {
        unique_fd fd(open_in_replica(k, path, O_RDONLY | O_DIRECTORY));
        if (!fd)
            return replica_failed(failure_errno());
        return call_outcome(datasync ? fdatasync(fd.get()) : fsync(fd.get()));
    });
}

// The value of one "user." attribute, from one replica. An attribute that
// is not there (ENODATA) or a buffer too small (ERANGE) is the answer.
int fs_getxattr(const char* path, const char* name, char* value, size_t size) noexcept
{
    if (!is_user_attribute(name))
        return -EOPNOTSUPP;
    ssize_t length = 0;
    const int rc = serve_from_one_replica(path, "getxattr", [&](int k) noexcept {
        replica_place place;
        if (find_place(k, path, place) == -1)
            return failure_errno();
        try {
            length = lgetxattr(place.proc_path().c_str(), name, value, size);
        } catch (...) {
            return ENOMEM;
        }
        if (length >= 0)
            return 0;
        return errno == ENODATA || errno == ERANGE ? -errno : failure_errno();
    });
    return rc != 0 ? rc : static_cast<int>(length);
}

// Keeps the "user." names of a NUL-separated list; the new length.
static size_t keep_user_names(char* list, size_t length) noexcept
{
    size_t kept = 0;
    for (size_t at = 0; at < length;) {
        const size_t name_length = strnlen(list + at, length - at);
        if (is_user_attribute(list + at)) {
            std::memmove(list + kept, list + at, name_length);
            kept += name_length;
            list[kept++] = '\0';
        }
        at += name_length + 1;
    }
    return kept;
}

// The "user." names of the object, from one replica.
int fs_listxattr(const char* path, char* list, size_t size) noexcept
{
    size_t length = 0;
    const int rc = serve_from_one_replica(path, "listxattr", [&](int k) noexcept {
        replica_place place;
        if (find_place(k, path, place) == -1)
            return failure_errno();
        try {
            const std::string at = place.proc_path();
            std::string names;
            for (int attempt = 0; attempt < 4; ++attempt) {
                const ssize_t needed = llistxattr(at.c_str(), nullptr, 0);
                if (needed < 0)
                    return failure_errno();
                names.resize(static_cast<size_t>(needed) + 1);
                const ssize_t got = llistxattr(at.c_str(), names.data(), names.size());
                if (got >= 0) {
                    length = keep_user_names(names.data(), static_cast<size_t>(got));
                    if (size != 0 && length > size)
                        return -ERANGE;
                    if (size != 0)
                        std::memcpy(list, names.data(), length);
                    return 0;
                }
                if (errno != ERANGE)
                    return failure_errno();
            }
            return -ERANGE;
        } catch (...) {
            return ENOMEM;
        }
    });
    return rc != 0 ? rc : static_cast<int>(length);
}
