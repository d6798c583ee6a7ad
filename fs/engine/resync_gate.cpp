#include "fs/engine/resync_gate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include "fs/engine/change_journal.h"
#include "fs/engine/fd_table.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replicas.h"

namespace {

constexpr int shard_count = 64;

// Requests inside the gate, counted per shard so that each thread counts
// on its own cache line.
struct alignas(64) gate_shard {
    std::atomic<long> inside{0};
};

gate_shard shards[shard_count];
std::atomic<int> next_shard{0};
thread_local int thread_shard = -1;
thread_local int thread_depth = 0;  // nested entries count once

// Raised while the resync holds the gate closed.
std::atomic<bool> closing{false};
// Over the waits for the two conditions below; lock_order.h: #12, a leaf.
std::mutex gate_lock;
std::condition_variable gate_reopened;
std::condition_variable gate_drained;

// Raised by the resync while it registers; read by every change at its end.
std::atomic<bool> registering{false};

// The closer's stall handler, while one holds the gate closed; taken (set
// to null) by the request that calls it. Written under gate_lock.
std::atomic<gate_stall_handler> stall_handler{nullptr};
std::atomic<int64_t> stall_after_ms{0};
std::atomic<int64_t> last_beat_ms{0};
// Raised when the handler let the gate open under its closer.
std::atomic<bool> gate_broken{false};

int64_t steady_ms() noexcept
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Called by a request waiting at the gate, with gate_lock held through
// wait: when the closer has been silent too long, asks its handler (without
// the lock, which the closer may need to finish) and opens the gate if it
// agrees.
void open_if_closer_stalled(std::unique_lock<std::mutex>& wait) noexcept
{
    const gate_stall_handler handler = stall_handler.load();
    if (handler == nullptr || steady_ms() - last_beat_ms.load() <= stall_after_ms.load())
        return;
    // Asked once, by one request.
    if (stall_handler.exchange(nullptr) != handler)
        return;
    wait.unlock();
    const bool give_way = handler();
    wait.lock();
    if (give_way && closing.load()) {
        // What changes touch from now on is of no use to the closer: not
        // noted, so that a closer that never returns costs no memory.
        registering.store(false, std::memory_order_release);
        gate_broken.store(true);
        closing.store(false);
        gate_reopened.notify_all();
    }
}

long requests_inside() noexcept
{
    long total = 0;
    for (const gate_shard& shard : shards)
        total += shard.inside.load();
    return total;
}

void tell_the_closer() noexcept
{
    std::lock_guard<std::mutex> guard(gate_lock);
    gate_drained.notify_all();
}

std::mutex registry_lock;  // changed, registration_lost; lock_order.h: #11, a leaf
std::set<std::string> changed;       // protected by registry_lock
bool registration_lost = false;      // protected by registry_lock
// Written before registering is raised and cleared after it is lowered,
// both while no change runs: read without a lock by the changes that see
// registering raised.
std::vector<std::string> replica_prefixes;

void note(std::string_view path) noexcept
{
    std::lock_guard<std::mutex> guard(registry_lock);
    try {
        changed.emplace(path);
    } catch (...) {
        registration_lost = true;
    }
}

void note_handle(uint64_t handle) noexcept
{
    const int32_t* fds = fd_table_get(handle);
    if (fds == nullptr)
        return;
    int r = -1;
    if (const std::optional<std::string> path = open_file_path(fds, replica_prefixes, r))
        note(*path);
}

// The identity of the file open as handle on the first replica in service
// that has it: false when there is none.
bool open_file_identity(uint64_t handle, const int32_t*& fds, struct stat& st) noexcept
{
    fds = fd_table_get(handle);
    if (fds == nullptr)
        return false;
    for (int r = 0; r < state().replicas.count; ++r)
        if (fds[r] > 0 && replica_in_service(r) && fstat(fds[r], &st) == 0)
            return true;
    return false;
}

// The change journal's note of a write through handle: the file's
// current name, once per file since the last departure. Any later name of
// the file comes from a change of names, which notes it itself.
void journal_handle(uint64_t handle) noexcept
{
    const int32_t* fds = nullptr;
    struct stat st;
    if (!open_file_identity(handle, fds, st) || journal_file_noted(st.st_dev, st.st_ino))
        return;
    // A file without a name has nothing to note; it is looked at again at
    // its next write, as is one whose name could not be found.
    try {
        int used = -1;
        if (const std::optional<std::string> path = open_file_path(fds, journal_prefixes(), used))
            journal_note_file(st.st_dev, st.st_ino, *path);
    } catch (...) {
    }
}

}  // namespace

void note_changed_names(std::string_view first, std::string_view second) noexcept
{
    if (journal_recording()) {
        journal_note(first);
        if (!second.empty())
            journal_note(second);
    }
    if (!registering.load(std::memory_order_acquire))
        return;
    note(first);
    if (!second.empty())
        note(second);
}

void note_opened_file(uint64_t handle) noexcept
{
    const int32_t* fds = nullptr;
    struct stat st;
    if (journal_recording() && open_file_identity(handle, fds, st))
        journal_remember_file(st.st_dev, st.st_ino);
}

void change_gate_enter() noexcept
{
    if (thread_depth++ > 0)
        return;
    if (thread_shard < 0)
        thread_shard = next_shard.fetch_add(1) % shard_count;
    std::atomic<long>& inside = shards[thread_shard].inside;
    for (;;) {
        // Counted first, then the flag looked at: the closer raises the
        // flag first, then reads the counts, so one of the two sees the
        // other.
        inside.fetch_add(1);
        if (!closing.load())
            return;
        inside.fetch_sub(1);
        tell_the_closer();
        std::unique_lock<std::mutex> wait(gate_lock);
        while (closing.load()) {
            gate_reopened.wait_for(wait, std::chrono::milliseconds(50));
            if (closing.load())
                open_if_closer_stalled(wait);
        }
    }
}

void change_gate_leave() noexcept
{
    if (--thread_depth > 0)
        return;
    shards[thread_shard].inside.fetch_sub(1);
    if (closing.load())
        tell_the_closer();
}

handle_gate_hold::handle_gate_hold(uint64_t handle, bool changes) noexcept
    : handle_(handle), changes_(changes)
{
    change_gate_enter();
}

handle_gate_hold::~handle_gate_hold()
{
    if (changes_ && journal_recording())
        journal_handle(handle_);
    if (changes_ && registering.load(std::memory_order_acquire))
        note_handle(handle_);
    change_gate_leave();
}

std::string root_prefix(int root_fd)
{
    char link[PATH_MAX];
    const std::string proc = "/proc/self/fd/" + std::to_string(root_fd);
    const ssize_t n = readlink(proc.c_str(), link, sizeof link);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof link) || link[0] != '/')
        return "";
    return std::string(link, static_cast<size_t>(n));
}

std::optional<std::string> open_file_path(const int32_t* fds, const std::vector<std::string>& prefixes,
                                          int& r) noexcept
{
    try {
        for (r = 0; r < state().replicas.count && r < static_cast<int>(prefixes.size()); ++r) {
            if (fds[r] <= 0 || !replica_in_service(r) || prefixes[r].empty())
                continue;
            char link[PATH_MAX];
            const std::string proc = "/proc/self/fd/" + std::to_string(fds[r]);
            const ssize_t n = readlink(proc.c_str(), link, sizeof link);
            if (n <= 0 || n == static_cast<ssize_t>(sizeof link))
                continue;
            const std::string_view seen(link, static_cast<size_t>(n));
            const std::string& prefix = prefixes[r];
            const std::string_view rest = prefix == "/" ? seen : seen.substr(std::min(seen.size(), prefix.size()));
            if (prefix != "/" && (seen.substr(0, prefix.size()) != prefix || rest.empty() || rest[0] != '/'))
                continue;
            // A removed file reads "... (deleted)": only a name that still
            // leads to the same file counts.
            struct stat open_file, named;
            unique_fd found(open_in_replica(r, rest, O_PATH | O_NOFOLLOW));
            if (!found || fstat(found.get(), &named) == -1 || fstat(fds[r], &open_file) == -1 ||
                named.st_dev != open_file.st_dev || named.st_ino != open_file.st_ino)
                return std::nullopt;
            return std::string(rest);
        }
    } catch (...) {
    }
    return std::nullopt;
}

void start_registering(std::vector<std::string> prefixes) noexcept
{
    {
        // Taken so that no change runs while the prefixes are replaced.
        change_gate_exclusive gate;
        replica_prefixes = std::move(prefixes);
        std::lock_guard<std::mutex> guard(registry_lock);
        changed.clear();
        registration_lost = false;
        registering.store(true, std::memory_order_release);
    }
}

std::vector<std::string> take_changed_paths(bool& lost) noexcept
{
    std::set<std::string> taken;
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        taken.swap(changed);
        lost = registration_lost;
    }
    std::vector<std::string> paths;
    try {
        paths.assign(taken.begin(), taken.end());
    } catch (...) {
        // The paths taken are gone with it: the last step must know.
        std::lock_guard<std::mutex> guard(registry_lock);
        registration_lost = lost = true;
    }
    return paths;
}

size_t changed_path_count() noexcept
{
    std::lock_guard<std::mutex> guard(registry_lock);
    return changed.size();
}

const std::vector<std::string>& registering_prefixes() noexcept
{
    return replica_prefixes;
}

change_gate_exclusive::change_gate_exclusive(gate_stall_handler on_stall, int64_t stall_ms) noexcept
{
    std::unique_lock<std::mutex> wait(gate_lock);
    closing.store(true);
    // A request leaving tells; the timeout only guards against a wake-up
    // missed between a count and the wait.
    while (requests_inside() != 0)
        gate_drained.wait_for(wait, std::chrono::milliseconds(10));
    gate_broken.store(false);
    last_beat_ms.store(steady_ms());
    stall_after_ms.store(stall_ms);
    stall_handler.store(on_stall);
}

change_gate_exclusive::~change_gate_exclusive()
{
    {
        std::lock_guard<std::mutex> guard(gate_lock);
        stall_handler.store(nullptr);
        closing.store(false);
    }
    gate_reopened.notify_all();
}

bool change_gate_exclusive::broken() const noexcept
{
    return gate_broken.load();
}

void change_gate_beat() noexcept
{
    last_beat_ms.store(steady_ms());
}

void stop_registering() noexcept
{
    registering.store(false, std::memory_order_release);
    std::lock_guard<std::mutex> guard(registry_lock);
    changed.clear();
    registration_lost = false;
    replica_prefixes.clear();
}
