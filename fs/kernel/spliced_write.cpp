#include "fs/kernel/spliced_write.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "fs/engine/replica_workers.h"
#include "fs/kernel/open_file.h"

namespace {

// This thread's copy pipes: one per replica beyond the first, made on
// first use and as large as the largest write they took.
struct copy_pipes {
    struct one {
        int read = -1;
        int write = -1;
        size_t size = 0;
    };
    std::vector<one> pipes;
    std::vector<int> sources;  // by replica, for the write under way
    ~copy_pipes()
    {
        for (one& p : pipes)
            close_pipe(p);
    }
    static void close_pipe(one& p) noexcept
    {
        if (p.read >= 0)
            close(p.read);
        if (p.write >= 0)
            close(p.write);
        p = one{};
    }
};

thread_local copy_pipes copies;

// A pipe of this thread that holds size bytes: false when it cannot be
// made or grown that large (a pipe's size has a limit that root may pass,
// and memory may run out).
bool ready_pipe(copy_pipes::one& p, size_t size) noexcept
{
    if (p.read < 0) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return false;
        p.read = ends[0];
        p.write = ends[1];
        p.size = static_cast<size_t>(fcntl(p.read, F_GETPIPE_SZ));
    }
    if (p.size >= size)
        return true;
    const int grown = fcntl(p.read, F_SETPIPE_SZ, static_cast<int>(size));
    if (grown < 0 || static_cast<size_t>(grown) < size)
        return false;
    p.size = static_cast<size_t>(grown);
    return true;
}

}  // namespace

bool read_pipe(int pipe, char* into, size_t size) noexcept
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(pipe, into + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == -1 && errno == EINTR)
            continue;
        return false;
    }
    return true;
}

const int* pipes_for_replicas(int pipe, size_t size, const bool* writes, int count) noexcept
{
    try {
        copies.sources.assign(static_cast<size_t>(count), 0);
        if (copies.pipes.size() < static_cast<size_t>(count))
            copies.pipes.resize(static_cast<size_t>(count));
    } catch (...) {
        return nullptr;
    }
    size_t used = 0;
    for (int r = 0; r < count; ++r) {
        if (!writes[r])
            continue;
        if (used == 0) {
            copies.sources[static_cast<size_t>(r)] = pipe;
            ++used;
            continue;
        }
        copy_pipes::one& p = copies.pipes[used - 1];
        bool made = ready_pipe(p, size);
        // tee copies what the pipe holds without consuming it; every byte
        // is there already, so one call copies them all.
        while (made) {
            const ssize_t n = tee(pipe, p.write, size, 0);
            if (n == -1 && errno == EINTR)
                continue;
            made = n >= 0 && static_cast<size_t>(n) == size;
            break;
        }
        if (!made) {
            for (size_t j = 0; j < used; ++j)
                copy_pipes::close_pipe(copies.pipes[j]);
            return nullptr;
        }
        copies.sources[static_cast<size_t>(r)] = p.read;
        ++used;
    }
    return copies.sources.data();
}

int64_t splice_fully(const replica_slot& slot, int pipe, size_t size, off_t offset, int& error) noexcept
{
    size_t done = 0;
    error = 0;
    while (done < size) {
        if (done > 0 && !still_wanted(slot)) {
            error = EIO;
            break;
        }
        loff_t at = offset + static_cast<off_t>(done);
        const ssize_t n = splice(pipe, nullptr, slot.fd, &at, size - done, 0);
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1 && errno == EINVAL) {
            // This descriptor takes no splice: the rest through memory.
            const size_t rest = size - done;
            std::unique_ptr<char[]> bytes(new (std::nothrow) char[rest]);
            if (!bytes || !read_pipe(pipe, bytes.get(), rest)) {
                error = bytes ? EIO : ENOMEM;
                break;
            }
            int late = 0;
            const int64_t written = write_fully(slot, bytes.get(), rest, at, late);
            done += static_cast<size_t>(written);
            error = late;
            break;
        }
        if (n == -1) {
            error = errno;
            break;
        }
        if (n == 0) {
            error = EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

bool pipe_empty(int pipe) noexcept
{
    int held = 0;
    return ioctl(pipe, FIONREAD, &held) == 0 && held == 0;
}

void drop_unemptied_copies() noexcept
{
    for (copy_pipes::one& p : copies.pipes)
        if (p.read >= 0 && !pipe_empty(p.read))
            copy_pipes::close_pipe(p);
}
