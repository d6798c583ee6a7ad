#include "fs/engine/change_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <utility>

#include "fs/engine/event_log.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replica_record.h"
#include "fs/engine/replica_workers.h"
#include "fs/engine/replicas.h"
#include "fs/engine/reserved_name.h"
#include "fs/engine/resync_gate.h"
#include "fs/engine/tree_walk.h"

namespace {

constexpr size_t remembered_most = journal_remembered_most;

// A replica's file, open for appending (and reading), shared with the
// appends under way on the replica's worker, which may outlive a
// departure. The appends of one file complete in the order they were
// handed over, so the first written bytes hold whole records only.
struct open_journal {
    unique_fd fd;
    std::atomic<uint64_t> written{0};
    int get() const noexcept { return fd.get(); }
};

struct journal_file {
    std::shared_ptr<open_journal> fd;
    uint64_t size = 0;  // bytes in the file, with those under way
    bool stopped = false;  // overflowed or unclean: no more names (the closed mark still)
};

// The appends of one name to the replicas' files, run on each replica's
// worker outside the journal lock and under the deadline: a replica that
// stops answering then leaves service like any other, instead of holding
// every change behind the lock.
struct journal_appends {
    std::string record;
    std::vector<std::shared_ptr<open_journal>> fds;  // by replica: none, or where it goes
    std::vector<bool> overflows;                  // by replica: the overflow record instead
};

struct journal_settings {
    bool off = false;
    uint64_t bound = default_journal_bytes;
};

std::mutex journal_lock;  // everything below; lock_order.h: #9a, after the record lock
std::vector<journal_file> files;  // by replica; empty before journal_load
// Names are looked up as they come, without a copy.
struct name_hash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>()(name); }
};
std::unordered_set<std::string, name_hash, std::equal_to<>> noted_names;
struct file_id_hash {
    size_t operator()(const std::pair<dev_t, ino_t>& id) const noexcept
    {
        return std::hash<uint64_t>()(static_cast<uint64_t>(id.second) * 0x9e3779b97f4a7c15ull ^
                                     static_cast<uint64_t>(id.first));
    }
};
std::unordered_set<std::pair<dev_t, ino_t>, file_id_hash> noted_files;
std::vector<std::string> prefixes;
journal_settings settings;
std::atomic<bool> recording{false};

journal_settings read_settings() noexcept
{
    journal_settings read;
    const char* off = std::getenv("VORNELIX_JOURNAL");
    read.off = off != nullptr && std::strcmp(off, "off") == 0;
    // A bound that is not a number of bytes is ignored rather than taken
    // as 0, which would overflow every journal at its first name.
    if (const char* bound = std::getenv("VORNELIX_JOURNAL_BYTES"); bound != nullptr && *bound != '\0') {
        char* end = nullptr;
        const unsigned long long bytes = std::strtoull(bound, &end, 10);
        if (*end == '\0' && bytes > 0)
            read.bound = bytes;
    }
    return read;
}

// Opens replica k's file with flags, making it where it is missing: a
// name added to the root moves the root's times on this replica alone, so
// they are put back. (A file only opened or truncated leaves them; putting
// them back then could undo a change that ran in the root meanwhile.) The
// descriptor, or -errno.
int open_journal_file(int k, int flags) noexcept
{
    const int opened = open_replica_root(k);
    if (opened < 0)
        return opened;
    unique_fd root(opened);
    int fd = openat(root.get(), journal_file_name.data(), flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd != -1 || errno != ENOENT)
        return fd == -1 ? -errno : fd;
    struct stat before;
    if (fstat(root.get(), &before) == -1)
        return -errno;
    fd = openat(root.get(), journal_file_name.data(), flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd == -1)
        return -errno;
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    (void)futimens(root.get(), times);
    return fd;
}

// Leaves replica k's file empty: no journal. The file itself stays, so
// that a departure, while changes run in the root, only ever opens it and
// never adds the name. Made where it is missing only while no change can
// run in the root: at start-up, and on a replica not yet back in service.
void empty_file(int k) noexcept
{
    files[k] = journal_file{};
    const int fd = open_journal_file(k, O_WRONLY | O_TRUNC);
    // A root that cannot hold the file holds no journal either, which is
    // all an empty file says; a departure that cannot start one there
    // says so.
    if (fd == -ENOENT || fd == -EACCES || fd == -EROFS || fd == -ENOSPC || fd == -EDQUOT)
        return;
    if (fd < 0)
        write_log("emptying the change journal", replica_at(k).root, -fd);
    else
        close(fd);
}

// Appends a record to replica k's file: false when it could not.
bool append(int k, std::string_view record) noexcept
{
    journal_file& file = files[k];
    const ssize_t n = write(file.fd->get(), record.data(), record.size());
    if (n == static_cast<ssize_t>(record.size())) {
        file.size += record.size();
        file.fd->written += record.size();
        return true;
    }
    // A short write leaves a cut record: the file is truncated for good.
    write_log("writing the change journal", replica_at(k).root, n < 0 ? errno : ENOSPC);
    file.stopped = true;
    return false;
}

// Starts replica k's file afresh (whatever it held is of no use now).
bool start_file(int k) noexcept
{
    const int fd = open_journal_file(k, O_RDWR | O_TRUNC | O_APPEND);
    files[k] = journal_file{};
    if (fd < 0) {
        write_log("starting the change journal", replica_at(k).root, -fd);
        return false;
    }
    try {
        files[k].fd = std::make_shared<open_journal>();
        files[k].fd->fd.reset(fd);
    } catch (...) {
        close(fd);
        return false;
    }
    return append(k, journal_header);
}

// Reads the first size bytes of a file: false when it could not (or it
// is larger than anything this daemon writes).
bool read_prefix(int fd, uint64_t size, std::string& text)
{
    if (size > settings.bound + (1u << 20))
        return false;
    text.resize(static_cast<size_t>(size));
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = pread(fd, text.data() + got, text.size() - got, static_cast<off_t>(got));
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Reads a whole file (read_prefix).
bool read_whole(int fd, std::string& text)
{
    struct stat st;
    return fstat(fd, &st) == 0 && read_prefix(fd, static_cast<uint64_t>(st.st_size), text);
}

// At start-up, replica k's file with some replica out of service.
void go_on_with(int k)
{
    const int opened = open_replica_root(k);
    if (opened < 0)
        return;
    unique_fd root(opened);
    unique_fd fd(openat(root.get(), journal_file_name.data(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return;
    std::string text;
    uint64_t closed_at = 0;
    journal_file& file = files[k];
    file.fd = std::make_shared<open_journal>();
    const bool clean =
        read_whole(fd.get(), text) && journal_closed_cleanly(text, closed_at) && ftruncate(fd.get(), closed_at) == 0;
    file.fd->fd = std::move(fd);
    file.size = clean ? closed_at : text.size();
    file.fd->written = file.size;
    if (clean) {
        recording.store(true);
        return;
    }
    append(k, journal_unclean_record);
    file.stopped = true;
    write_event("change journal not closed cleanly, a resync from this replica walks the whole tree",
                replica_at(k).root);
}

// The replicas' root prefixes, which name an open file's path, anew.
void refresh_prefixes()
{
    prefixes.clear();
    for (int r = 0; r < state().replicas.count; ++r)
        prefixes.push_back(root_prefix(replica_at(r).root_fd.load()));
}

bool any_out_of_service(int except) noexcept
{
    for (int j = 0; j < state().replicas.count; ++j)
        if (j != except && !replica_in_service(j))
            return true;
    return false;
}

// Called with the journal lock held: the appends that note path, handed
// to the replicas' workers (run at once on a local replica with nothing
// queued); false when there are none to wait for.
bool note_locked(std::string_view path, replica_work& work) noexcept
{
    if (!recording.load(std::memory_order_relaxed) || is_reserved_path(path))
        return false;
    try {
        if (noted_names.find(path) != noted_names.end())
            return false;
        if (noted_names.size() >= remembered_most)
            noted_names.clear();
        noted_names.emplace(path);
        auto appends = std::make_shared<journal_appends>();
        appends->record = journal_name_record(path);
        appends->fds.resize(files.size());
        appends->overflows.resize(files.size());
        bool any = false;
        for (size_t j = 0; j < files.size(); ++j) {
            journal_file& file = files[j];
            const int k = static_cast<int>(j);
            if (!file.fd || file.stopped || !replica_in_service(k) || replica_worker_stuck(k))
                continue;
            appends->fds[j] = file.fd;
            if (file.size + appends->record.size() + journal_overflow_record.size() > settings.bound) {
                appends->overflows[j] = true;
                file.size += journal_overflow_record.size();
                file.stopped = true;
                write_event("change journal full, a resync from this replica walks the whole tree",
                            replica_at(j).root);
            } else {
                file.size += appends->record.size();
            }
            any = true;
        }
        if (!any || !work.ready())
            return false;
        std::shared_ptr<const journal_appends> shared = appends;
        if (!work.set_step([shared](replica_slot& slot, int k) noexcept {
                const std::string_view bytes = shared->overflows[k] ? journal_overflow_record
                                                                    : std::string_view(shared->record);
                const ssize_t n = write(shared->fds[k]->get(), bytes.data(), bytes.size());
                if (n == static_cast<ssize_t>(bytes.size()))
                    shared->fds[k]->written += bytes.size();
                slot.value = n;
                slot.error = n < 0 ? errno : n == static_cast<ssize_t>(bytes.size()) ? 0 : ENOSPC;
            }))
            return false;
        // Handed over in the lock's order: each file takes its records in
        // the order the names were noted.
        for (size_t j = 0; j < files.size(); ++j)
            if (appends->fds[j])
                work.submit(static_cast<int>(j));
        return true;
    } catch (...) {
        // Not noted: a name missing from the journal would be a resync
        // missing a change, so no journal may be trusted from here.
        for (journal_file& file : files)
            if (file.fd && !file.stopped) {
                (void)!write(file.fd->get(), journal_overflow_record.data(), journal_overflow_record.size());
                file.stopped = true;
            }
        return false;
    }
}

// Waits for the appends handed over, outside the lock: a replica that
// misses the deadline leaves service; a file that took less than its
// record is cut for good (the resync from it walks the tree).
void finish_appends(replica_work& work) noexcept
{
    work.wait("journal");
    std::lock_guard<std::mutex> guard(journal_lock);
    for (size_t j = 0; j < files.size(); ++j) {
        const int k = static_cast<int>(j);
        if (!work.answered(k) || work.slot(k).error == 0 || !files[j].fd || files[j].stopped)
            continue;
        write_log("writing the change journal", replica_at(k).root, work.slot(k).error);
        files[j].stopped = true;
    }
}

}  // namespace

void journal_load() noexcept
{
    std::lock_guard<std::mutex> guard(journal_lock);
    settings = read_settings();
    try {
        files.clear();
        files.resize(state().replicas.count);
        const bool someone_out = any_out_of_service(-1);
        for (int k = 0; k < state().replicas.count; ++k) {
            if (!replica_in_service(k))
                continue;
            if (!someone_out || settings.off)
                empty_file(k);
            else
                go_on_with(k);
        }
        refresh_prefixes();
    } catch (...) {
        files.clear();
        recording.store(false);
    }
}

void journal_departure(int k, uint64_t generation) noexcept
{
    std::lock_guard<std::mutex> guard(journal_lock);
    if (files.empty() || settings.off)
        return;
    // The departing replica's own file misses what follows: never closed
    // cleanly again, and emptied at its return.
    files[k] = journal_file{};
    try {
        const std::string start = journal_start_record(replica_identity(k), generation);
        for (int j = 0; j < state().replicas.count; ++j) {
            if (j == k || !replica_in_service(j) || replica_worker_stuck(j))
                continue;
            // A file that stopped is started again: the replicas it
            // covered fall back to the walk, this one need not.
            if ((!files[j].fd || files[j].stopped) && !start_file(j))
                continue;
            if (!append(j, start))
                continue;
            recording.store(true);
        }
        noted_names.clear();
        noted_files.clear();
        refresh_prefixes();
    } catch (...) {
        // Without memory the start record may be missing: the replica's
        // resync then walks the tree, as it says.
    }
}

void journal_return(int k) noexcept
{
    std::lock_guard<std::mutex> guard(journal_lock);
    if (files.empty())
        return;
    empty_file(k);
    if (any_out_of_service(k))
        return;
    for (int j = 0; j < state().replicas.count; ++j)
        if (files[j].fd && replica_in_service(j))
            empty_file(j);
    recording.store(false);
    noted_names.clear();
    noted_files.clear();
}

void journal_close() noexcept
{
    std::lock_guard<std::mutex> guard(journal_lock);
    recording.store(false);
    for (size_t k = 0; k < files.size(); ++k) {
        journal_file& file = files[k];
        // A file that stopped takes the mark too: its own records keep it
        // from being trusted, and the next start need not call it unclean.
        if (!file.fd || replica_worker_stuck(static_cast<int>(k)))
            continue;
        if (!append(static_cast<int>(k), journal_closed_record))
            continue;  // append logged it
        if (fsync(file.fd->get()) == -1)
            write_log("closing the change journal", replica_at(k).root, errno);
    }
    files.clear();
}

bool journal_recording() noexcept
{
    return recording.load(std::memory_order_relaxed);
}

void journal_note(std::string_view path) noexcept
{
    replica_work work;
    std::unique_lock<std::mutex> guard(journal_lock);
    if (!note_locked(path, work))
        return;
    guard.unlock();
    finish_appends(work);
}

bool journal_file_noted(dev_t dev, ino_t ino) noexcept
{
    std::lock_guard<std::mutex> guard(journal_lock);
    if (!recording.load(std::memory_order_relaxed))
        return true;
    try {
        return noted_files.count({dev, ino}) > 0;
    } catch (...) {
        return false;
    }
}

void journal_remember_file(dev_t dev, ino_t ino) noexcept
{
    journal_note_file(dev, ino, {});
}

void journal_note_file(dev_t dev, ino_t ino, std::string_view path) noexcept
{
    replica_work work;
    std::unique_lock<std::mutex> guard(journal_lock);
    if (!recording.load(std::memory_order_relaxed))
        return;
    const bool handed_over = !path.empty() && note_locked(path, work);
    try {
        if (noted_files.size() >= remembered_most)
            noted_files.clear();
        noted_files.insert({dev, ino});
    } catch (...) {
        // Not remembered: noted again at the next write.
    }
    guard.unlock();
    if (handed_over)
        finish_appends(work);
}

std::vector<std::string> journal_prefixes()
{
    std::lock_guard<std::mutex> guard(journal_lock);
    return prefixes;
}

journal_scan journal_for(int source, std::string_view identity, uint64_t generation)
{
    std::shared_ptr<open_journal> file;
    {
        std::lock_guard<std::mutex> guard(journal_lock);
        if (settings.off)
            return {journal_verdict::not_covered, {}};
        if (files.empty() || source < 0 || source >= static_cast<int>(files.size()) || !files[source].fd)
            return {journal_verdict::not_covered, {}};
        file = files[source].fd;
    }
    // Outside the lock, which every change takes: the file only grows,
    // and what is written of it holds whole records.
    std::string text;
    if (!read_prefix(file->get(), file->written.load(), text))
        return {journal_verdict::malformed, {}};
    return scan_journal(text, identity, generation);
}
