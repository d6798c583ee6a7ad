#include "fs/resync_gate.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>

#include "fs/fd_table.h"
#include "fs/name_order.h"
#include "fs/replica_access.h"
#include "fs/replicas.h"

namespace {

constexpr int shard_count = 64;

struct alignas(64) handle_shard {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};

handle_shard shards[shard_count];
std::atomic<int> next_shard{0};
thread_local int thread_shard = -1;

// Raised by the resync while it registers; read by every change at its end.
std::atomic<bool> registering{false};

std::mutex registry_lock;
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

void lock_shards() noexcept
{
    for (handle_shard& shard : shards)
        pthread_mutex_lock(&shard.mutex);
}

void unlock_shards() noexcept
{
    for (int i = shard_count - 1; i >= 0; --i)
        pthread_mutex_unlock(&shards[i].mutex);
}

}  // namespace

void note_changed_names(std::string_view first, std::string_view second) noexcept
{
    if (!registering.load(std::memory_order_acquire))
        return;
    note(first);
    if (!second.empty())
        note(second);
}

handle_gate_hold::handle_gate_hold(uint64_t handle, bool changes) noexcept
    : handle_(handle), changes_(changes)
{
    if (thread_shard < 0)
        thread_shard = next_shard.fetch_add(1) % shard_count;
    shard_ = thread_shard;
    pthread_mutex_lock(&shards[shard_].mutex);
}

handle_gate_hold::~handle_gate_hold()
{
    if (changes_ && registering.load(std::memory_order_acquire))
        note_handle(handle_);
    pthread_mutex_unlock(&shards[shard_].mutex);
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
        for (r = 0; r < replica_count && r < static_cast<int>(prefixes.size()); ++r) {
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
        lost = true;
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

change_gate_exclusive::change_gate_exclusive() noexcept
{
    name_order_lock_all();
    lock_shards();
}

change_gate_exclusive::~change_gate_exclusive()
{
    unlock_shards();
    name_order_unlock_all();
}

void stop_registering() noexcept
{
    registering.store(false, std::memory_order_release);
    std::lock_guard<std::mutex> guard(registry_lock);
    changed.clear();
    registration_lost = false;
    replica_prefixes.clear();
}
