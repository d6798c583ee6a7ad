// Requests on names and attributes: the node numbers become tree paths,
// the operations of operations.h act on every replica (or ask one), and
// the node table follows the names that were made, removed and moved.
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <optional>
#include <string_view>

#include "fs/engine/reserved_name.h"
#include "fs/kernel/node_table.h"
#include "fs/kernel/operations.h"
#include "fs/kernel/request_context.h"
#include "fs/kernel/requests.h"

reply_settings kept_for;

std::shared_mutex& tree_shape() noexcept
{
    static std::shared_mutex shape;
    return shape;
}

int path_of(fuse_ino_t node, std::string& path) noexcept
{
    if (node_path(node, path))
        return 0;
    // A node that lost its last name was removed: a request that reached
    // it by a name as the removal ran meets the race's usual outcome.
    return node_known(node) ? -ENOENT : -ESTALE;
}

int path_in(fuse_ino_t parent, const char* name, std::string& path) noexcept
{
    if (is_reserved_root_name(parent == FUSE_ROOT_ID, name))
        return -ENOENT;
    return child_path(parent, name, path) ? 0 : -ESTALE;
}

int new_path_in(fuse_ino_t parent, const char* name, std::string& path) noexcept
{
    if (is_reserved_root_name(parent == FUSE_ROOT_ID, name))
        return -EPERM;
    return child_path(parent, name, path) ? 0 : -ESTALE;
}

bool another_file(fuse_ino_t node, const struct stat& st, int served) noexcept
{
    dev_t dev;
    ino_t ino;
    int replica;
    return node_identity(node, dev, ino, replica) && replica >= 0 && served == replica &&
           (st.st_dev != dev || st.st_ino != ino);
}

namespace {

using shape_hold = std::shared_lock<std::shared_mutex>;

void reply_status(fuse_req_t request, int rc) noexcept
{
    fuse_reply_err(request, rc < 0 ? -rc : 0);
}

// A request that only looks: any answer may be another file's when a
// change of names overlapped it.
template <typename Look>
int look_by_path(fuse_ino_t node, Look&& look) noexcept
{
    return by_node_path(node, look, [](int&) noexcept { return true; });
}

// The attributes of a node: by its path, or, for a file removed while
// open, through one of its handles.
int node_attributes(fuse_ino_t node, struct fuse_file_info* fi, struct stat& st) noexcept
{
    int rc;
    if (fi != nullptr) {
        rc = fs_fgetattr(nullptr, &st, fi);
    } else {
        // Attributes tell whose they are: only an answer of another file,
        // or none, is asked again when names moved meanwhile.
        int served = -1;
        rc = by_node_path(
            node, [&](const char* path) noexcept { return fs_getattr_served(path, &st, served); },
            [&](int& answer) noexcept {
                return answer == -ENOENT || answer == -ENOTDIR || (answer == 0 && another_file(node, st, served));
            });
        // Never another file's attributes: a node whose name still leads
        // elsewhere after the changes settled is a file gone.
        if (rc == 0 && another_file(node, st, served))
            rc = -ENOENT;
        if (rc == -ENOENT && !node_has_name(node)) {
            const borrowed_handle borrowed(node);
            if (borrowed.held()) {
                struct fuse_file_info open{};
                open.fh = borrowed.handle();
                rc = fs_fgetattr(nullptr, &st, &open);
            }
        }
    }
    if (rc == 0)
        show_node(node, st);
    return rc;
}

}  // namespace

bool make_entry(fuse_ino_t parent, const char* name, struct stat& st, int served,
                struct fuse_entry_param& entry) noexcept
{
    std::memset(&entry, 0, sizeof entry);
    entry.ino = learn_node(parent, name, st, served);
    entry.attr = st;
    entry.attr_timeout = kept_for.attributes;
    entry.entry_timeout = kept_for.entry;
    return entry.ino != 0;
}

namespace {

void reply_learned(fuse_req_t request, fuse_ino_t parent, const char* name, struct stat& st, int served) noexcept
{
    struct fuse_entry_param entry;
    if (!make_entry(parent, name, st, served, entry)) {
        fuse_reply_err(request, ENOMEM);
        return;
    }
    // An interrupted request: the kernel never took the entry.
    if (fuse_reply_entry(request, &entry) != 0)
        forget_node(entry.ino, 1);
}

}  // namespace

void reply_entry(fuse_req_t request, fuse_ino_t parent, const char* name, const std::string& path) noexcept
{
    struct stat st;
    int served = -1;
    if (const int rc = fs_getattr_served(path.c_str(), &st, served); rc != 0) {
        reply_status(request, rc);
        return;
    }
    reply_learned(request, parent, name, st, served);
}

void on_lookup(fuse_req_t request, fuse_ino_t parent, const char* name) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    for (int attempt = 0;; ++attempt) {
        if (attempt > 0)
            let_names_settle();
        const name_epoch epoch = name_epoch_now();
        std::string path;
        if (const int rc = path_in(parent, name, path); rc != 0) {
            reply_status(request, rc);
            return;
        }
        struct stat st;
        int served = -1;
        const int rc = fs_getattr_served(path.c_str(), &st, served);
        if (attempt + 1 < path_attempts && names_moved_since(epoch))
            continue;
        if (rc == 0) {
            // The table takes the name only while no change of names has
            // overlapped the lookup.
            struct fuse_entry_param entry;
            std::memset(&entry, 0, sizeof entry);
            entry.ino = learn_node_since(parent, name, st, served, epoch);
            if (entry.ino == 0 && attempt + 1 < path_attempts)
                continue;
            if (entry.ino == 0 && !make_entry(parent, name, st, served, entry)) {
                fuse_reply_err(request, ENOMEM);
                return;
            }
            entry.attr = st;
            entry.attr_timeout = kept_for.attributes;
            entry.entry_timeout = kept_for.entry;
            if (fuse_reply_entry(request, &entry) != 0)
                forget_node(entry.ino, 1);
            return;
        }
        if (rc == -ENOENT && kept_for.absence > 0) {
            // An entry of node 0: the kernel keeps the name's absence.
            struct fuse_entry_param absent;
            std::memset(&absent, 0, sizeof absent);
            absent.entry_timeout = kept_for.absence;
            fuse_reply_entry(request, &absent);
        } else {
            reply_status(request, rc);
        }
        return;
    }
}

void on_forget(fuse_req_t request, fuse_ino_t node, uint64_t count) noexcept
{
    forget_node(node, count);
    fuse_reply_none(request);
}

void on_forget_multi(fuse_req_t request, size_t count, struct fuse_forget_data* forgets) noexcept
{
    for (size_t i = 0; i < count; ++i)
        forget_node(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(request);
}

void on_getattr(fuse_req_t request, fuse_ino_t node, struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    struct stat st;
    if (const int rc = node_attributes(node, fi, st); rc != 0) {
        reply_status(request, rc);
        return;
    }
    fuse_reply_attr(request, &st, kept_for.attributes);
}

namespace {

// The changes of one setattr, in the order a local filesystem's chmod,
// chown, truncate and utimensat would come: mode, owner, size, times.
// By path, or through a handle for a file without a name left.
int change_attributes(const std::string* path, struct fuse_file_info* fi, const struct stat& to,
                      int to_set) noexcept
{
    if (to_set & FUSE_SET_ATTR_MODE) {
        const int rc = path != nullptr ? fs_chmod(path->c_str(), to.st_mode) : fs_fchmod(fi, to.st_mode);
        if (rc != 0)
            return rc;
    }
    if (to_set & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) {
        const uid_t uid = (to_set & FUSE_SET_ATTR_UID) ? to.st_uid : static_cast<uid_t>(-1);
        const gid_t gid = (to_set & FUSE_SET_ATTR_GID) ? to.st_gid : static_cast<gid_t>(-1);
        const int rc = path != nullptr ? fs_chown(path->c_str(), uid, gid) : fs_fchown(fi, uid, gid);
        if (rc != 0)
            return rc;
    }
    if (to_set & FUSE_SET_ATTR_SIZE) {
        const int rc = fi != nullptr ? fs_ftruncate(nullptr, to.st_size, fi) : fs_truncate(path->c_str(), to.st_size);
        if (rc != 0)
            return rc;
    }
    if (to_set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) {
        struct timespec times[2];
        times[0] = (to_set & FUSE_SET_ATTR_ATIME_NOW) ? timespec{0, UTIME_NOW}
                   : (to_set & FUSE_SET_ATTR_ATIME)   ? to.st_atim
                                                      : timespec{0, UTIME_OMIT};
        times[1] = (to_set & FUSE_SET_ATTR_MTIME_NOW) ? timespec{0, UTIME_NOW}
                   : (to_set & FUSE_SET_ATTR_MTIME)   ? to.st_mtim
                                                      : timespec{0, UTIME_OMIT};
        const int rc = path != nullptr ? fs_utimens(path->c_str(), times) : fs_futimens(fi, times);
        if (rc != 0)
            return rc;
    }
    return 0;
}

}  // namespace

void on_setattr(fuse_req_t request, fuse_ino_t node, struct stat* attributes, int to_set,
                struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    std::string path;
    int rc = path_of(node, path);
    struct fuse_file_info open{};
    if (rc == 0) {
        rc = change_attributes(&path, fi, *attributes, to_set);
    } else if (fi != nullptr) {
        rc = change_attributes(nullptr, fi, *attributes, to_set);
    } else if (!(to_set & FUSE_SET_ATTR_SIZE)) {
        // Any descriptor takes a change of mode, owner or times; a size
        // needs one open for writing, which only the caller's own handle
        // is known to be.
        const borrowed_handle borrowed(node);
        if (borrowed.held()) {
            open.fh = borrowed.handle();
            rc = change_attributes(nullptr, &open, *attributes, to_set);
            struct stat st;
            if (rc == 0)
                rc = node_attributes(node, &open, st);
            if (rc == 0)
                fuse_reply_attr(request, &st, kept_for.attributes);
            else
                reply_status(request, rc);
            return;
        }
    }
    struct stat st;
    if (rc == 0)
        rc = node_attributes(node, fi, st);
    if (rc != 0) {
        reply_status(request, rc);
        return;
    }
    fuse_reply_attr(request, &st, kept_for.attributes);
}

void on_readlink(fuse_req_t request, fuse_ino_t node) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    char text[PATH_MAX + 1];
    const int rc = look_by_path(node, [&text](const char* path) noexcept {
        return fs_readlink(path, text, sizeof text);
    });
    if (rc != 0) {
        reply_status(request, rc);
        return;
    }
    fuse_reply_readlink(request, text);
}

namespace {

// A new name in a directory: made by make(path), then replied as an entry.
template <typename Make>
void make_name(fuse_req_t request, fuse_ino_t parent, const char* name, Make&& make) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    std::string path;
    int rc = new_path_in(parent, name, path);
    if (rc == 0)
        rc = make(path);
    if (rc != 0) {
        reply_status(request, rc);
        return;
    }
    reply_entry(request, parent, name, path);
}

// A name removed by remove(path).
template <typename Remove>
void remove_name(fuse_req_t request, fuse_ino_t parent, const char* name, Remove&& remove) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    std::string path;
    int rc = path_in(parent, name, path);
    {
        const name_change change;
        if (rc == 0)
            rc = remove(path.c_str());
        if (rc == 0)
            drop_name(parent, name);
    }
    reply_status(request, rc);
}

}  // namespace

void on_mknod(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode, dev_t device) noexcept
{
    make_name(request, parent, name, [=](const std::string& path) noexcept {
        return fs_mknod(path.c_str(), creation_mode(request, parent, path, mode), device);
    });
}

void on_mkdir(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode) noexcept
{
    make_name(request, parent, name, [=](const std::string& path) noexcept {
        return fs_mkdir(path.c_str(), creation_mode(request, parent, path, mode));
    });
}

void on_symlink(fuse_req_t request, const char* text, fuse_ino_t parent, const char* name) noexcept
{
    make_name(request, parent, name, [text](const std::string& path) noexcept {
        return fs_symlink(text, path.c_str());
    });
}

void on_unlink(fuse_req_t request, fuse_ino_t parent, const char* name) noexcept
{
    remove_name(request, parent, name, [](const char* path) noexcept { return fs_unlink(path); });
}

void on_rmdir(fuse_req_t request, fuse_ino_t parent, const char* name) noexcept
{
    remove_name(request, parent, name, [](const char* path) noexcept { return fs_rmdir(path); });
}

void on_rename(fuse_req_t request, fuse_ino_t parent, const char* name, fuse_ino_t new_parent,
               const char* new_name, unsigned int flags) noexcept
{
    const request_scope scope(request);
    if (flags != 0) {
        fuse_reply_err(request, EINVAL);
        return;
    }
    // A directory moved moves every path beneath it: nothing may be
    // working by one of them meanwhile.
    std::shared_lock<std::shared_mutex> shared(tree_shape(), std::defer_lock);
    std::unique_lock<std::shared_mutex> alone(tree_shape(), std::defer_lock);
    const bool may_be_directory = name_may_be_directory(parent, name);
    if (may_be_directory)
        alone.lock();
    else
        shared.lock();
    std::string from;
    std::string to;
    int rc = path_in(parent, name, from);
    if (rc == 0)
        rc = new_path_in(new_parent, new_name, to);
    {
        const name_change change;
        if (rc == 0)
            rc = fs_rename(from.c_str(), to.c_str(), may_be_directory);
        if (rc == 0)
            move_name(parent, name, new_parent, new_name);
    }
    reply_status(request, rc);
}

void on_link(fuse_req_t request, fuse_ino_t node, fuse_ino_t new_parent, const char* new_name) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    std::string from;
    std::string to;
    int rc = path_of(node, from);
    if (rc == 0)
        rc = new_path_in(new_parent, new_name, to);
    if (rc == 0)
        rc = fs_link(from.c_str(), to.c_str());
    if (rc != 0) {
        reply_status(request, rc);
        return;
    }
    reply_entry(request, new_parent, new_name, to);
}

void on_statfs(fuse_req_t request, fuse_ino_t) noexcept
{
    const request_scope scope(request);
    struct statvfs st;
    if (const int rc = fs_statfs("/", &st); rc != 0) {
        reply_status(request, rc);
        return;
    }
    fuse_reply_statfs(request, &st);
}

namespace {

// The attributes whose absence the node table keeps, by name.
std::optional<watched_attribute> watched(std::string_view name) noexcept
{
    if (name == "security.capability")
        return watched_attribute::capability;
    if (name == "system.posix_acl_access")
        return watched_attribute::access_acl;
    return std::nullopt;
}

// A change by the node's path (the kernel holds the file's lock, so no
// rename or removal of it runs meanwhile), replied with its status.
template <typename Change>
void change_by_path(fuse_req_t request, fuse_ino_t node, Change&& change) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    std::string path;
    int rc = path_of(node, path);
    if (rc == 0)
        rc = change(path.c_str());
    reply_status(request, rc);
}

// An attribute the node table keeps knowledge of (a default access
// control list, a file capability) set or removed through the mount: what
// it knew goes.
void forget_known_attribute(fuse_ino_t node, std::string_view attribute) noexcept
{
    if (attribute == "system.posix_acl_default")
        note_default_acl(node, default_acl::unknown);
    else if (const std::optional<watched_attribute> known = watched(attribute))
        note_watched_change(node, *known);
}

}  // namespace

void on_setxattr(fuse_req_t request, fuse_ino_t node, const char* name, const char* value, size_t size,
                 int flags) noexcept
{
    change_by_path(request, node, [=](const char* path) noexcept {
        const int rc = fs_setxattr(path, name, value, size, flags);
        forget_known_attribute(node, name);
        return rc;
    });
}

void on_removexattr(fuse_req_t request, fuse_ino_t node, const char* name) noexcept
{
    change_by_path(request, node, [=](const char* path) noexcept {
        const int rc = fs_removexattr(path, name);
        forget_known_attribute(node, name);
        return rc;
    });
}

namespace {

// Replies an answer of bytes: its length when the caller asked for the
// length only (size 0), else the bytes.
template <typename Read>
void reply_bytes(fuse_req_t request, fuse_ino_t node, size_t size, Read&& read) noexcept
{
    std::unique_ptr<char[]> buffer(size != 0 ? new (std::nothrow) char[size] : nullptr);
    if (size != 0 && !buffer) {
        fuse_reply_err(request, ENOMEM);
        return;
    }
    const int rc = look_by_path(node, [&](const char* path) noexcept { return read(path, buffer.get()); });
    if (rc < 0)
        reply_status(request, rc);
    else if (size == 0)
        fuse_reply_xattr(request, static_cast<size_t>(rc));
    else
        fuse_reply_buf(request, buffer.get(), static_cast<size_t>(rc));
}

}  // namespace

void on_getxattr(fuse_req_t request, fuse_ino_t node, const char* name, size_t size) noexcept
{
    // The kernel asks for the file capability before every write, and for
    // the access control list at every check of someone else's rights: a
    // file known to have none answers without a replica.
    const std::optional<watched_attribute> known = watched(name);
    if (known && node_lacks(node, *known)) {
        fuse_reply_err(request, ENODATA);
        return;
    }
    const uint64_t changes = known ? watched_changes(node) : 0;
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    int last = 0;  // the answer of the last run, the one replied
    reply_bytes(request, node, size, [name, size, &last](const char* path, char* buffer) noexcept {
        return last = fs_getxattr(path, name, buffer, size);
    });
    if (known && last == -ENODATA)
        note_absent(node, *known, changes);
}

void on_listxattr(fuse_req_t request, fuse_ino_t node, size_t size) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    reply_bytes(request, node, size, [size](const char* path, char* buffer) noexcept {
        return fs_listxattr(path, buffer, size);
    });
}
