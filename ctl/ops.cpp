#include "ctl/ops.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "common/caller.h"
#include "common/frame.h"
#include "common/group_membership.h"
#include "common/resync_figures.h"
#include "ctl/check_script.h"
#include "ctl/tree.h"

FILE* channel_in = nullptr;
FILE* channel_out = nullptr;
std::mutex channel_lock;  // one exchange; fs/lock_order.h: vornctl #2, a leaf

namespace {

bool grants(int bits, int wanted) noexcept
{
    return (bits & wanted) == wanted;
}

// The replica directory that is the path's first component, and with it
// the replica number that the requests name.
const ctl_node* replica_of(std::string_view path, int* index) noexcept
{
    return find_node(path, tree_root.children, 0, index);
}

bool is_status(const ctl_node& node) noexcept
{
    return node.name == status_name;
}

bool is_script(const ctl_node& node) noexcept
{
    return node.name == script_name;
}

bool is_progress(const ctl_node& node) noexcept
{
    return node.name == progress_name;
}

const ctl_node* lookup(std::string_view path) noexcept
{
    if (path == "/")
        return &tree_root;
    return find_node(path, tree_root.children, -1);
}

// The replica's state digit, through one stat exchange; -1 on failure.
int fetch_state(int replica, char& digit) noexcept
{
    char request[16];
    snprintf(request, sizeof request, "stat:%02X", static_cast<unsigned>(replica));
    std::string reply;
    if (exchange(request, reply) != 0 || reply.empty())
        return -1;
    digit = reply[0];
    return 0;
}

// The figures of a resync of the replica, through one prog exchange: idle
// when none writes it, and from a vornelix that does not know the request
// (it answers "ERR"); -1 when the channel failed.
int fetch_progress(int replica, resync_figures& figures) noexcept
{
    char request[16];
    snprintf(request, sizeof request, "prog:%02X", static_cast<unsigned>(replica));
    std::string reply;
    if (exchange(request, reply) != 0)
        return -1;
    (void)parse_resync_figures(reply, figures);
    return 0;
}

// The progress text of one exchange, made when the file is opened and
// kept with the open file: a reader that reads it in pieces gets the
// pieces of one text, while the figures go on moving. Null when it could
// not be had (each read then asks anew).
std::string* progress_snapshot(int replica) noexcept
{
    resync_figures figures;
    if (fetch_progress(replica, figures) != 0)
        return nullptr;
    try {
        return new std::string(progress_text(figures));
    } catch (...) {
        return nullptr;
    }
}

// The progress file from offset on: the open file's text, or that of a
// new exchange.
int read_progress(int replica, const std::string* kept, char* buffer, size_t size, off_t offset) noexcept
{
    try {
        std::string asked;
        if (kept == nullptr) {
            resync_figures figures;
            if (fetch_progress(replica, figures) != 0)
                return -EIO;
            asked = progress_text(figures);
        }
        const std::string& text = kept != nullptr ? *kept : asked;
        if (offset < 0 || static_cast<size_t>(offset) >= text.size())
            return 0;
        const size_t count = std::min(size, text.size() - static_cast<size_t>(offset));
        memcpy(buffer, text.data() + offset, count);
        return static_cast<int>(count);
    } catch (...) {
        return -ENOMEM;
    }
}

// The node that path names, once the caller holds the wanted rights on
// checked (the node itself, or its parent for getattr): 0, or the
// operation's reply (-ENOMEM, -EACCES, -ENOENT).
int reach(std::string_view checked, int wanted, std::string_view path, const ctl_node*& node) noexcept
{
    const int bits = ctl_permissions(checked);
    if (bits == -1)
        return -ENOMEM;
    if (!grants(bits, wanted))
        return -EACCES;
    node = lookup(path);
    return node != nullptr ? 0 : -ENOENT;
}

// The file a read or write names: as reach, and -ENOSYS for the root.
int reach_node(std::string_view path, int wanted, const ctl_node*& node) noexcept
{
    if (const int refused = reach(path, wanted, path, node))
        return refused;
    return node == &tree_root ? -ENOSYS : 0;
}

}  // namespace

int exchange(std::string_view request, std::string& reply) noexcept
{
    std::lock_guard<std::mutex> guard(channel_lock);
    if (channel_in == nullptr || channel_out == nullptr)
        return -1;
    if (write_frame(channel_out, request) != 0)
        return -1;
    return read_message(channel_in, reply);
}

int node_permissions(uid_t uid, gid_t gid, const struct stat& attributes) noexcept
{
    return class_triple(attributes.st_mode, attributes.st_uid, attributes.st_gid, {uid, gid});
}

int ctl_permissions(std::string_view path) noexcept
{
    const caller_identity caller = current_caller();
    if (caller.uid == 0 || caller.gid == 0)
        return 7;

    int bits = node_permissions(caller.uid, caller.gid, tree_root.attributes);
    if (bits < 0 || path == "/")
        return bits;
    if (!grants(bits, may_search))
        return 0;

    const ctl_node* replica = replica_of(path, nullptr);
    if (replica == nullptr)
        return permissions_no_node;
    bits = node_permissions(caller.uid, caller.gid, replica->attributes);
    if (bits < 0 || path == replica->name)
        return bits;
    if (!grants(bits, may_search))
        return 0;

    const ctl_node* node = find_node(path.substr(replica->name.size()), replica->children, -1);
    if (node == nullptr)
        return permissions_no_node;
    return node_permissions(caller.uid, caller.gid, node->attributes);
}

int ctl_getattr(const char* path, struct stat* st, struct fuse_file_info*) noexcept
{
    std::string parent;
    if (!parent_path(path, parent))
        return -ENOMEM;
    const ctl_node* node = nullptr;
    if (const int refused = reach(parent.empty() ? "/" : parent, may_read | may_search, path, node))
        return refused;
    *st = node->attributes;
    return 0;
}

int ctl_truncate(const char*, off_t, struct fuse_file_info*) noexcept
{
    // Shell redirections open status files with O_TRUNC: let that pass so
    // that "echo 2 > status" reaches write.
    return 0;
}

int ctl_open(const char* path, struct fuse_file_info* fi) noexcept
{
    const int flags = fi->flags;
    if (flags & O_CREAT)
        return -EACCES;
    int needed;
    if (flags & (O_WRONLY | O_APPEND | O_TRUNC))
        needed = may_write;
    else if ((flags & O_ACCMODE) == O_RDWR)
        needed = may_read | may_write;
    else if (flags & O_EXCL)
        return -EACCES;
    else
        needed = may_read;

    const int bits = ctl_permissions(path);
    if (bits == -1)
        return -ENOMEM;
    if (bits == 0 || !grants(bits, needed))
        return -EACCES;
    const ctl_node* node = lookup(path);
    if (node == nullptr)
        return -ENOENT;
    // The progress text is longer than the size the file shows: the
    // kernel must ask for every read rather than stop at that size.
    if (is_progress(*node)) {
        fi->direct_io = 1;
        int replica = -1;
        if (replica_of(path, &replica) != nullptr)
            fi->fh = reinterpret_cast<uintptr_t>(progress_snapshot(replica));
    }
    return 0;
}

int ctl_release(const char*, struct fuse_file_info* fi) noexcept
{
    delete reinterpret_cast<std::string*>(static_cast<uintptr_t>(fi->fh));
    fi->fh = 0;
    return 0;
}

int ctl_read(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info* fi) noexcept
{
    const std::string_view name(path);
    const ctl_node* node = nullptr;
    if (const int refused = reach_node(name, may_read, node))
        return refused;
    if (!is_status(*node) && !is_script(*node) && !is_progress(*node))
        return -ENOSYS;
    // The status file is one character long: a read past it is the end of
    // the file, not the digit again (or a reader looping until EOF would
    // never stop).
    if (is_status(*node) && (offset >= 1 || size == 0))
        return 0;

    int replica = -1;
    if (replica_of(name, &replica) == nullptr)
        return -ENOENT;
    if (is_progress(*node))
        return read_progress(replica, fi != nullptr ? reinterpret_cast<const std::string*>(static_cast<uintptr_t>(fi->fh)) : nullptr,
                             buffer, size, offset);
    char digit;
    const bool answered = fetch_state(replica, digit) == 0;
    if (is_status(*node)) {
        if (!answered)
            return -EIO;
        buffer[0] = digit;
        return 1;
    }
    // The script is read by a monitor that must hear CRITICAL, not an
    // error that some shells take for an empty script.
    if (!answered)
        return static_cast<int>(fill_daemon_gone_script(offset, size, buffer));
    // Only a replica being resynced has figures to show.
    resync_figures figures;
    if (digit == '1' && fetch_progress(replica, figures) != 0)
        return static_cast<int>(fill_daemon_gone_script(offset, size, buffer));
    return static_cast<int>(fill_check_script(digit, figures, offset, size, buffer));
}

// The errno of a refusal "ERR <errno>" from vornelix; EIO for anything
// else (a bare "ERR" included).
static int refusal_errno(const std::string& reply) noexcept
{
    if (reply.size() < 5 || reply.compare(0, 4, "ERR ") != 0)
        return EIO;
    int value = 0;
    for (size_t i = 4; i < reply.size(); ++i) {
        if (reply[i] < '0' || reply[i] > '9' || value > 4095)
            return EIO;
        value = value * 10 + (reply[i] - '0');
    }
    return value > 0 && value <= 4095 ? value : EIO;
}

int ctl_write(const char* path, const char* data, size_t size, off_t, struct fuse_file_info*) noexcept
{
    const std::string_view name(path);
    const ctl_node* node = nullptr;
    if (const int refused = reach_node(name, may_write, node))
        return refused;
    // "0" trusts, "1" resyncs, "2" disables, each with or without one
    // newline.
    if (size == 0 || size > 2 || !is_status(*node) || (size == 2 && data[1] != '\n') ||
        (data[0] != '0' && data[0] != '1' && data[0] != '2'))
        return -ENOSYS;

    int replica = -1;
    if (replica_of(name, &replica) == nullptr)
        return -ENOENT;
    const char* format = data[0] == '0' ? "trust:%02X" : data[0] == '1' ? "resync:%02X" : "disable:%02X";
    char request[24];
    snprintf(request, sizeof request, format, static_cast<unsigned>(replica));
    std::string reply;
    if (exchange(request, reply) != 0)
        return -EIO;
    if (reply.compare(0, 2, "OK") == 0)
        return static_cast<int>(size);
    return -refusal_errno(reply);
}

int ctl_statfs(const char*, struct statvfs* st) noexcept
{
    memset(st, 0, sizeof *st);
    st->f_bsize = 4096;
    st->f_frsize = 4096;
    st->f_blocks = 0xFFFFF;
    st->f_bfree = 0xFFFFF;
    st->f_bavail = 0xFFFFF;
    st->f_files = 0xFFFF;
    st->f_ffree = 0xFFFF;
    st->f_favail = 0xFFFF;
    st->f_namemax = 255;
    return 0;
}

int ctl_readdir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t, struct fuse_file_info*,
                enum fuse_readdir_flags) noexcept
{
    const ctl_node* node = nullptr;
    if (const int refused = reach(path, may_read | may_search, path, node))
        return refused;
    // Names, types and inode numbers only, even when the kernel asks for
    // attributes too (readdirplus): with the zero timeouts of ctl_init it
    // would drop them at once and ask getattr again.
    const auto names_only = static_cast<enum fuse_fill_dir_flags>(0);
    (void)filler(buffer, ".", &node->attributes, 0, names_only);
    for (const ctl_node& child : node->children) {
        if (filler(buffer, child.name.c_str() + 1, &child.attributes, 0, names_only) != 0)
            break;
    }
    return 0;
}

void* ctl_init(struct fuse_conn_info* connection, struct fuse_config* config) noexcept
{
    // The kernel shows the tree's inode numbers, not the library's own
    // (given in lookup order). With nothing cached, every stat reaches
    // getattr and its permission checks; a name the kernel remembered as
    // missing or present would answer any user.
    config->use_ino = 1;
    config->attr_timeout = 0;
    config->entry_timeout = 0;
    config->negative_timeout = 0;
    // Truncation stays a request of its own, as under libfuse 2: the
    // kernel sends a truncate, which always succeeds here, and then the
    // open without O_TRUNC, which checks the access mode alone.
    connection->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;
    return nullptr;
}

void ctl_destroy(void*) noexcept {}

void fill_ctl_operations(struct fuse_operations& table) noexcept
{
    memset(&table, 0, sizeof table);
    table.getattr = ctl_getattr;
    table.truncate = ctl_truncate;
    table.open = ctl_open;
    table.release = ctl_release;
    table.read = ctl_read;
    table.write = ctl_write;
    table.statfs = ctl_statfs;
    table.readdir = ctl_readdir;
    table.init = ctl_init;
    table.destroy = ctl_destroy;
}
