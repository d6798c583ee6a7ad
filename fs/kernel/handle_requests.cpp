// Requests on open files and directories. A file's handle is its slot in
// the open-file table (file_ops.cpp); the node keeps its handles, so that
// a file removed while open is still reached through them. A directory's
// handle holds its listing, read whole from one replica.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "fs/engine/reserved_name.h"
#include "fs/kernel/node_table.h"
#include "fs/kernel/operations.h"
#include "fs/kernel/request_context.h"
#include "fs/kernel/requests.h"

namespace {

using shape_hold = std::shared_lock<std::shared_mutex>;

void reply_status(fuse_req_t request, int rc) noexcept
{
    fuse_reply_err(request, rc < 0 ? -rc : 0);
}

void apply_open_settings(struct fuse_file_info* fi) noexcept
{
    fi->direct_io = kept_for.direct_io ? 1 : 0;
    fi->keep_cache = kept_for.kernel_cache ? 1 : 0;
}

// The file is closed again when the kernel never took its handle (the
// request was interrupted).
void close_unclaimed(fuse_ino_t node, struct fuse_file_info* fi) noexcept
{
    note_closed_handle(node, fi->fh);
    (void)fs_release(nullptr, fi);
}

}  // namespace

// A file opened by a path that a change of names overlapped may be
// another file: it is closed and opened again by the path built anew.
void on_open(fuse_req_t request, fuse_ino_t node, struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    const int rc = by_node_path(
        node, [fi](const char* path) noexcept { return fs_open(path, fi); },
        [node, fi](int& answer) noexcept {
            if (answer == -ENOENT || answer == -ENOTDIR)
                return true;
            struct stat st;
            int served = -1;
            if (answer != 0 || fs_fgetattr_served(&st, fi, served) != 0 || !another_file(node, st, served))
                return false;
            // Another file: never handed out for this one.
            (void)fs_release(nullptr, fi);
            answer = -ENOENT;
            return true;
        });
    if (rc != 0) {
        reply_status(request, rc);
        return;
    }
    note_open_handle(node, fi->fh);
    apply_open_settings(fi);
    if (fuse_reply_open(request, fi) != 0)
        close_unclaimed(node, fi);
}

void on_create(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode,
               struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    std::string path;
    int rc = new_path_in(parent, name, path);
    struct stat st;
    int served = -1;
    if (rc == 0)
        rc = fs_create(path.c_str(), creation_mode(request, parent, path, mode), fi, &st, &served);
    if (rc != 0) {
        reply_status(request, rc);
        return;
    }
    if (const int seen = served < 0 ? fs_fgetattr_served(&st, fi, served) : 0; seen != 0) {
        (void)fs_release(nullptr, fi);
        reply_status(request, seen);
        return;
    }
    struct fuse_entry_param entry;
    if (!make_entry(parent, name, st, served, entry)) {
        (void)fs_release(nullptr, fi);
        fuse_reply_err(request, ENOMEM);
        return;
    }
    note_open_handle(entry.ino, fi->fh);
    apply_open_settings(fi);
    if (fuse_reply_create(request, &entry, fi) != 0) {
        close_unclaimed(entry.ino, fi);
        forget_node(entry.ino, 1);
    }
}

void on_read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size != 0 ? size : 1]);
    if (!buffer) {
        fuse_reply_err(request, ENOMEM);
        return;
    }
    const int rc = fs_read(nullptr, buffer.get(), size, offset, fi);
    if (rc < 0) {
        reply_status(request, rc);
        return;
    }
    fuse_reply_buf(request, buffer.get(), static_cast<size_t>(rc));
}

namespace {

// The count a write (or a copy) wrote, or its error; a set-group-ID bit the
// daemon dropped on the way makes the kernel forget the node's attributes.
void reply_written(fuse_req_t request, fuse_ino_t node, int rc) noexcept
{
    if (rc < 0)
        reply_status(request, rc);
    else
        fuse_reply_write(request, static_cast<size_t>(rc));
    if (take_attributes_changed())
        forget_kernel_attributes(node);
}

}  // namespace

void on_write(fuse_req_t request, fuse_ino_t node, const char* data, size_t size, off_t offset,
              struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    reply_written(request, node, fs_write(nullptr, data, size, offset, fi));
}

void on_flush(fuse_req_t request, fuse_ino_t, struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    reply_status(request, fs_flush(nullptr, fi));
}

void on_release(fuse_req_t request, fuse_ino_t node, struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    note_closed_handle(node, fi->fh);
    reply_status(request, fs_release(nullptr, fi));
}

void on_fsync(fuse_req_t request, fuse_ino_t, int datasync, struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    reply_status(request, fs_fsync(nullptr, datasync, fi));
}

void on_fallocate(fuse_req_t request, fuse_ino_t, int mode, off_t offset, off_t length,
                  struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    reply_status(request, fs_fallocate(nullptr, mode, offset, length, fi));
}

void on_lseek(fuse_req_t request, fuse_ino_t, off_t offset, int whence, struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    // The other kinds of seek the kernel answers itself.
    if (whence != SEEK_DATA && whence != SEEK_HOLE) {
        fuse_reply_err(request, EINVAL);
        return;
    }
    off_t found = 0;
    if (const int rc = fs_lseek(fi, offset, whence, found); rc != 0) {
        reply_status(request, rc);
        return;
    }
    fuse_reply_lseek(request, found);
}

void on_copy_file_range(fuse_req_t request, fuse_ino_t, off_t in_at, struct fuse_file_info* in,
                        fuse_ino_t out_node, off_t out_at, struct fuse_file_info* out, size_t size,
                        int flags) noexcept
{
    const request_scope scope(request);
    if (flags != 0) {
        fuse_reply_err(request, EINVAL);
        return;
    }
    reply_written(request, out_node, fs_copy_file_range(in, in_at, out, out_at, size));
}

namespace {

// An open directory: its listing (operations.h gives the layout) and where
// each entry starts, so that a position is an entry's index and stays
// valid for telldir and seekdir until the stream is read from the start
// again.
struct directory_stream {
    std::vector<char> entries;
    std::vector<size_t> starts;
    bool listed = false;
};

// One entry of a listing: its name, inode number and type.
struct listed_entry {
    struct stat st;
    const char* name;
};

directory_stream* stream_of(const struct fuse_file_info* fi) noexcept
{
    return reinterpret_cast<directory_stream*>(static_cast<uintptr_t>(fi->fh));
}

listed_entry entry_at(const directory_stream& stream, size_t index) noexcept
{
    const char* at = stream.entries.data() + stream.starts[index];
    listed_entry entry;
    uint64_t inode;
    std::memcpy(&inode, at, sizeof inode);
    entry.name = at + sizeof inode + 1;
    std::memset(&entry.st, 0, sizeof entry.st);
    entry.st.st_ino = inode;
    entry.st.st_mode = static_cast<mode_t>(static_cast<unsigned char>(at[sizeof inode])) << 12;
    return entry;
}

int list_into(fuse_ino_t node, const char* word, directory_stream& stream) noexcept
{
    std::string path;
    if (const int rc = path_of(node, path); rc != 0)
        return rc;
    std::vector<char> entries;
    if (const int rc = fs_list_directory(path.c_str(), word, entries); rc != 0)
        return rc;
    try {
        std::vector<size_t> starts;
        for (size_t at = 0; at + sizeof(uint64_t) + 1 < entries.size();) {
            const char* name = entries.data() + at + sizeof(uint64_t) + 1;
            if (!is_reserved_root_name(path == "/", name))
                starts.push_back(at);
            at += sizeof(uint64_t) + 1 + std::strlen(name) + 1;
        }
        stream.starts.swap(starts);
    } catch (...) {
        return -ENOMEM;
    }
    stream.entries.swap(entries);
    return 0;
}

bool dot_or_dot_dot(const char* name) noexcept
{
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// The entries from offset that fit in size bytes: size_of(entry) tells the
// bytes each needs, prepare(entries) is called once with those that fit,
// and add(i, entry, room, space, next offset) writes the i-th of them.
// The directory is listed at the first read and whenever it is read from
// the start again (rewinddir), as a local filesystem's listing shows what
// the directory holds when it is read.
template <typename SizeOf, typename Prepare, typename Add>
void reply_entries(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset, struct fuse_file_info* fi,
                   SizeOf&& size_of, Prepare&& prepare, Add&& add) noexcept
{
    directory_stream& stream = *stream_of(fi);
    if (offset == 0 || !stream.listed) {
        if (const int rc = list_into(node, "readdir", stream); rc != 0) {
            reply_status(request, rc);
            return;
        }
        stream.listed = true;
    }
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size != 0 ? size : 1]);
    std::vector<listed_entry> chunk;
    size_t total = 0;
    try {
        for (size_t index = offset < 0 ? 0 : static_cast<size_t>(offset); index < stream.starts.size(); ++index) {
            const listed_entry entry = entry_at(stream, index);
            const size_t needed = size_of(entry);
            if (total + needed > size)
                break;
            total += needed;
            chunk.push_back(entry);
        }
    } catch (...) {
        buffer.reset();
    }
    if (!buffer) {
        fuse_reply_err(request, ENOMEM);
        return;
    }
    prepare(chunk);
    size_t used = 0;
    const off_t first = offset < 0 ? 0 : offset;
    for (size_t i = 0; i < chunk.size(); ++i)
        used += add(i, chunk[i], buffer.get() + used, size - used, first + static_cast<off_t>(i) + 1);
    fuse_reply_buf(request, buffer.get(), used);
}

}  // namespace

// The kernel has checked read permission on the directory; the listing is
// read by the first readdir.
void on_opendir(fuse_req_t request, fuse_ino_t, struct fuse_file_info* fi) noexcept
{
    std::unique_ptr<directory_stream> stream(new (std::nothrow) directory_stream);
    if (!stream) {
        fuse_reply_err(request, ENOMEM);
        return;
    }
    fi->fh = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(stream.get()));
    if (fuse_reply_open(request, fi) == 0)
        stream.release();
}

void on_readdir(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    reply_entries(
        request, node, size, offset, fi,
        [request](const listed_entry& entry) noexcept {
            return fuse_add_direntry(request, nullptr, 0, entry.name, nullptr, 0);
        },
        [](const std::vector<listed_entry>&) noexcept {},
        [request](size_t, const listed_entry& entry, char* room, size_t space, off_t next) noexcept {
            return fuse_add_direntry(request, room, space, entry.name, &entry.st, next);
        });
}

// With each entry, its node and attributes read now on the replica whose
// attributes the mount shows, so that a listing followed by a look at
// every entry (ls -l) needs no lookups. An entry comes without them (the
// kernel then looks it up) when it is "." or "..", when it is gone, or
// when a change of names overlapped the request: the name may lead
// elsewhere by now.
void on_readdirplus(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                    struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    const name_epoch epoch = name_epoch_now();
    std::vector<struct stat> found;
    int served = -1;
    const auto prepare = [&](const std::vector<listed_entry>& chunk) noexcept {
        std::string path;
        try {
            std::vector<std::string_view> names;
            for (const listed_entry& entry : chunk)
                names.emplace_back(dot_or_dot_dot(entry.name) ? "" : entry.name);
            if (path_of(node, path) != 0 || fs_attributes_in_directory(path.c_str(), names, found, served) != 0)
                found.clear();
        } catch (...) {
            found.clear();
        }
    };
    const auto add = [&](size_t i, const listed_entry& entry, char* room, size_t space, off_t next) noexcept {
        struct fuse_entry_param param;
        std::memset(&param, 0, sizeof param);
        param.attr = entry.st;
        if (i < found.size() && found[i].st_ino != 0 && !dot_or_dot_dot(entry.name)) {
            struct stat st = found[i];
            param.ino = learn_node_since(node, entry.name, st, served, epoch);
            if (param.ino != 0) {
                param.attr = st;
                param.attr_timeout = kept_for.attributes;
                param.entry_timeout = kept_for.entry;
            }
        }
        return fuse_add_direntry_plus(request, room, space, entry.name, &param, next);
    };
    reply_entries(
        request, node, size, offset, fi,
        [request](const listed_entry& entry) noexcept {
            return fuse_add_direntry_plus(request, nullptr, 0, entry.name, nullptr, 0);
        },
        prepare, add);
}

void on_releasedir(fuse_req_t request, fuse_ino_t, struct fuse_file_info* fi) noexcept
{
    delete stream_of(fi);
    fuse_reply_err(request, 0);
}

void on_fsyncdir(fuse_req_t request, fuse_ino_t node, int datasync, struct fuse_file_info*) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    std::string path;
    int rc = path_of(node, path);
    if (rc == 0)
        rc = fs_fsyncdir(path.c_str(), datasync, nullptr);
    reply_status(request, rc);
}
