// Ranges of open files: where the data and the holes are (lseek with
// SEEK_DATA and SEEK_HOLE), answered by the replica whose attributes the
// mount shows, and copies from one open file to another, which each
// replica makes within itself, so that no byte crosses the daemon and a
// filesystem that can share or clone extents does so.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "fs/engine/fd_table.h"
#include "fs/engine/replica_workers.h"
#include "fs/engine/replicas.h"
#include "fs/engine/resync_gate.h"
#include "fs/engine/write_order.h"
#include "fs/kernel/open_file.h"
#include "fs/kernel/operations.h"

int fs_lseek(struct fuse_file_info* fi, off_t offset, int whence, off_t& found) noexcept
{
    const handle_gate_hold gate(fi->fh, false);
    const int32_t* fds = fd_table_get(fi->fh);
    if (!fds)
        return -EINVAL;
    replica_work work;
    // The offset found lands in st.st_size: value carries the outcome only,
    // as a count would.
    if (!work.set_step([offset, whence](replica_slot& slot, int) noexcept {
            const off_t at = lseek(slot.fd, offset, whence);
            slot.value = at == -1 ? -1 : 0;
            slot.error = at == -1 ? failure_errno() : 0;
            slot.st.st_size = at;
        }))
        return -ENOMEM;
    const int rc = serve_from_one_descriptor(work, fds, "lseek", read_order::by_priority);
    if (rc != 0)
        return rc;
    for (int r = 0; r < state().replicas.count; ++r)
        if (work.answered(r) && work.slot(r).value == 0) {
            found = work.slot(r).st.st_size;
            return 0;
        }
    return -EIO;
}

namespace {

// Copies within one replica, from in to out, until size bytes or the end
// of in: copy_file_range where the filesystem offers it, else through a
// buffer. The count copied; error is the errno that stopped it early.
int64_t copy_fully(const replica_slot& slot, int in, off_t in_at, int out, off_t out_at, size_t size,
                   int& error) noexcept
{
    size_t done = 0;
    bool by_buffer = false;
    std::vector<char> buffer;
    error = 0;
    while (done < size) {
        if (done > 0 && !still_wanted(slot)) {
            error = EIO;
            break;
        }
        ssize_t n;
        if (!by_buffer) {
            loff_t from = in_at + static_cast<off_t>(done);
            loff_t to = out_at + static_cast<off_t>(done);
            n = copy_file_range(in, &from, out, &to, size - done, 0);
            if (n == -1 && (errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL)) {
                by_buffer = true;
                continue;
            }
        } else {
            try {
                buffer.resize(std::min<size_t>(size - done, 1 << 20));
            } catch (...) {
                error = ENOMEM;
                break;
            }
            n = pread(in, buffer.data(), buffer.size(), in_at + static_cast<off_t>(done));
            if (n > 0) {
                const ssize_t read = n;
                ssize_t put = 0;
                while (put < read) {
                    const ssize_t w = pwrite(out, buffer.data() + put, static_cast<size_t>(read - put),
                                             out_at + static_cast<off_t>(done) + put);
                    if (w == -1 && errno == EINTR)
                        continue;
                    if (w <= 0) {
                        error = w == 0 ? EIO : errno;
                        return static_cast<int64_t>(done) + put;
                    }
                    put += w;
                }
            }
        }
        if (n == -1) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (n == 0)
            break;  // the end of in
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

}  // namespace

int fs_copy_file_range(struct fuse_file_info* in, off_t in_at, struct fuse_file_info* out, off_t out_at,
                       size_t size) noexcept
{
    const handle_gate_hold reading(in->fh, false);
    const handle_gate_hold writing(out->fh, true);
    const int32_t* in_fds = fd_table_get(in->fh);
    const int32_t* out_fds = fd_table_get(out->fh);
    if (!in_fds || !out_fds)
        return -EINVAL;
    replica_work work;
    open_file_view view;
    if (const int viewed = view_open_file(work, out_fds, "copy_file_range", view))
        return viewed;
    if (const int dropped = drop_group_id_for_writer(work, view))
        return dropped;
    // value carries the replica's source descriptor in, and its count out.
    if (!work.set_step([in_at, out_at, size](replica_slot& slot, int) noexcept {
            const int source = static_cast<int>(slot.value);
            slot.value = source > 0 ? copy_fully(slot, source, in_at, slot.fd, out_at, size, slot.error) : -1;
            if (source <= 0)
                slot.error = EBADF;
        }))
        return -ENOMEM;
    {
        write_order_hold hold(view.stripes);
        for (int r = 0; r < state().replicas.count; ++r)
            if (out_fds[r] > 0 && replica_in_service(r)) {
                work.slot(r).value = in_fds[r];
                work.submit(r);
            }
        work.wait("copy_file_range");
        fd_table_note_write(out->fh);
    }
    return settle_counts(work, "copy_file_range");
}
