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
#include <vector>

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
    int rc = path_in(parent, name, path);
    if (rc == 0)
        rc = fs_create(path.c_str(), mode, fi);
    if (rc != 0) {
        reply_status(request, rc);
        return;
    }
    struct stat st;
    int served = -1;
    if (const int seen = fs_fgetattr_served(&st, fi, served); seen != 0) {
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

void on_write(fuse_req_t request, fuse_ino_t node, const char* data, size_t size, off_t offset,
              struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    const int rc = fs_write(nullptr, data, size, offset, fi);
    if (rc < 0)
        reply_status(request, rc);
    else
        fuse_reply_write(request, static_cast<size_t>(rc));
    if (take_attributes_changed())
        forget_kernel_attributes(node);
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
    const int rc = fs_copy_file_range(in, in_at, out, out_at, size);
    if (rc < 0)
        reply_status(request, rc);
    else
        fuse_reply_write(request, static_cast<size_t>(rc));
    if (take_attributes_changed())
        forget_kernel_attributes(out_node);
}

namespace {

// An open directory: its listing (operations.h gives the layout) and where
// each entry starts, so that a position is an entry's index and stays
// valid for telldir and seekdir until the stream is read from the start
// again.
struct directory_stream {
    std::vector<char> entries;
    std::vector<size_t> starts;
    bool handed_out = false;
};

directory_stream* stream_of(const struct fuse_file_info* fi) noexcept
{
    return reinterpret_cast<directory_stream*>(static_cast<uintptr_t>(fi->fh));
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
            starts.push_back(at);
            at += sizeof(uint64_t) + 1 + std::strlen(entries.data() + at + sizeof(uint64_t) + 1) + 1;
        }
        stream.starts.swap(starts);
    } catch (...) {
        return -ENOMEM;
    }
    stream.entries.swap(entries);
    return 0;
}

}  // namespace

// The kernel has checked read permission on the directory; the listing is
// read here and handed out by the first readdir.
void on_opendir(fuse_req_t request, fuse_ino_t node, struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    const shape_hold shape(tree_shape());
    std::unique_ptr<directory_stream> stream(new (std::nothrow) directory_stream);
    if (!stream) {
        fuse_reply_err(request, ENOMEM);
        return;
    }
    if (const int rc = list_into(node, "opendir", *stream); rc != 0) {
        reply_status(request, rc);
        return;
    }
    fi->fh = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(stream.get()));
    if (fuse_reply_open(request, fi) == 0)
        stream.release();
}

// Read from the start again (rewinddir), the directory is listed afresh.
void on_readdir(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                struct fuse_file_info* fi) noexcept
{
    const request_scope scope(request);
    directory_stream& stream = *stream_of(fi);
    if (offset == 0 && stream.handed_out) {
        const shape_hold shape(tree_shape());
        if (const int rc = list_into(node, "readdir", stream); rc != 0) {
            reply_status(request, rc);
            return;
        }
    }
    stream.handed_out = true;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size != 0 ? size : 1]);
    if (!buffer) {
        fuse_reply_err(request, ENOMEM);
        return;
    }
    size_t used = 0;
    for (size_t index = offset < 0 ? 0 : static_cast<size_t>(offset); index < stream.starts.size(); ++index) {
        const char* at = stream.entries.data() + stream.starts[index];
        uint64_t inode;
        std::memcpy(&inode, at, sizeof inode);
        struct stat st;
        std::memset(&st, 0, sizeof st);
        st.st_ino = inode;
        st.st_mode = static_cast<mode_t>(static_cast<unsigned char>(at[sizeof inode])) << 12;
        const size_t needed = fuse_add_direntry(request, buffer.get() + used, size - used,
                                                at + sizeof inode + 1, &st, static_cast<off_t>(index + 1));
        if (needed > size - used)
            break;
        used += needed;
    }
    fuse_reply_buf(request, buffer.get(), used);
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
