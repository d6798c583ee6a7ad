#include "fs/engine/replica_access.h"

#include <linux/openat2.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "fs/engine/replicas.h"

struct kept_directory {
    unique_fd fd;
};

namespace {

constexpr unsigned long long confined =
    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

// openat2 with the confinement above. It answers EAGAIN when a concurrent
// rename may have let the walk escape; the walk then simply starts again.
int confined_open(int root, const char* relative, int flags, mode_t mode) noexcept
{
    struct open_how how {};
    how.flags = static_cast<unsigned long long>(flags) | O_CLOEXEC;
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = confined;
    for (int attempt = 0;; ++attempt) {
        const long fd = syscall(SYS_openat2, root, relative, &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN || attempt == 8)
            return static_cast<int>(fd);
    }
}

// The tree path without its leading '/': "." for the root.
std::string_view relative_of(std::string_view path) noexcept
{
    while (!path.empty() && path.front() == '/')
        path.remove_prefix(1);
    return path.empty() ? std::string_view(".") : path;
}

using kept_places = std::vector<std::shared_ptr<const kept_directory>>;

// Moves out the places of the relative path and of everything beneath it
// ("." for all), so that their descriptors close outside the lock.
void take_places(directory_places& places, std::string_view relative, kept_places& out)
{
    auto& kept = places.kept;
    if (relative == ".") {
        // Room first: a move that cannot be completed would leave empty
        // places in the set.
        out.reserve(out.size() + kept.size());
        for (auto& entry : kept)
            out.push_back(std::move(entry.second));
        kept.clear();
        return;
    }
    if (auto it = kept.find(relative); it != kept.end()) {
        out.push_back(std::move(it->second));
        kept.erase(it);
    }
    // "a/b/" up to "a/b0": '0' follows '/'.
    std::string low(relative);
    low += '/';
    std::string high(relative);
    high += '0';
    const auto last = kept.lower_bound(high);
    for (auto it = kept.lower_bound(low); it != last;) {
        out.push_back(std::move(it->second));
        it = kept.erase(it);
    }
}

void forget_places(int k, std::string_view relative) noexcept
{
    kept_places dropped;
    directory_places& places = replica_at(k).places;
    try {
        const std::lock_guard<std::mutex> held(places.lock);
        ++places.epoch;
        take_places(places, relative, dropped);
    } catch (...) {
        // Out of memory for the list: forget them all, closing under the
        // lock, rather than keep one that may be wrong.
        const std::lock_guard<std::mutex> held(places.lock);
        places.kept.clear();
    }
}

}  // namespace

int open_replica_root(const char* root) noexcept
{
    return open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

std::string replica_place::proc_path() const
{
    return "/proc/self/fd/" + std::to_string(dir) + "/" + name;
}

int open_in_replica(int k, std::string_view path, int flags, mode_t mode) noexcept
{
    try {
        const std::string relative(relative_of(path));
        return confined_open(replica_at(k).root_fd, relative.c_str(), flags, mode);
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

int request_place(int k, std::string_view path, replica_place& place) noexcept
{
    try {
        const std::string_view relative = relative_of(path);
        const size_t slash = relative.rfind('/');
        place.owned.reset();
        place.kept.reset();
        place.dir = replica_at(k).root_fd;
        if (slash == std::string_view::npos) {
            place.name.assign(relative);
            return 0;
        }
        place.name.assign(relative.substr(slash + 1));
        const std::string_view parent = relative.substr(0, slash);
        if (!replica_in_service(k)) {
            place.owned.reset(confined_open(replica_at(k).root_fd, std::string(parent).c_str(),
                                            O_PATH | O_DIRECTORY, 0));
            if (!place.owned)
                return -1;
            place.dir = place.owned.get();
            return 0;
        }
        directory_places& places = replica_at(k).places;
        uint64_t epoch;
        {
            const std::lock_guard<std::mutex> held(places.lock);
            if (const auto it = places.kept.find(parent); it != places.kept.end()) {
                place.kept = it->second;
                place.dir = place.kept->fd.get();
                return 0;
            }
            epoch = places.epoch;
        }
        auto fresh = std::make_shared<kept_directory>();
        fresh->fd.reset(confined_open(replica_at(k).root_fd, std::string(parent).c_str(),
                                      O_PATH | O_DIRECTORY, 0));
        if (!fresh->fd)
            return -1;
        place.dir = fresh->fd.get();
        place.kept = fresh;
        kept_places dropped;
        const std::lock_guard<std::mutex> held(places.lock);
        // A forgetting since the walk may concern this very directory:
        // the request uses what it walked, but nothing is kept.
        if (places.epoch != epoch || !replica_in_service(k))
            return 0;
        // What the request walked serves it even if it cannot be kept. A
        // full set lets one go: working through more directories than it
        // holds costs a walk now and then, not all of them again.
        try {
            dropped.reserve(1);
            if (!places.kept.empty() && places.kept.size() >= kept_places_per_replica()) {
                const auto let_go = places.kept.begin();
                dropped.push_back(std::move(let_go->second));
                places.kept.erase(let_go);
            }
            places.kept.emplace(std::string(parent), std::move(fresh));
        } catch (...) {
        }
        return 0;
    } catch (...) {
        errno = ENOMEM;
        return -1;
    }
}

namespace {
std::atomic<size_t> kept_places_limit{kept_places_most};
}

size_t kept_places_per_replica() noexcept
{
    return kept_places_limit.load(std::memory_order_relaxed);
}

void size_kept_places(uint64_t spare_descriptors, int replicas) noexcept
{
    const uint64_t each = replicas > 0 ? spare_descriptors / 2 / static_cast<uint64_t>(replicas) : 0;
    kept_places_limit.store(each < kept_places_most ? static_cast<size_t>(each) : kept_places_most,
                            std::memory_order_relaxed);
}

int request_open(int k, std::string_view path, int flags, mode_t mode) noexcept
{
    replica_place place;
    if (request_place(k, path, place) == -1)
        return -1;
    return confined_open(place.dir, place.name.c_str(), flags, mode);
}

void forget_directory_places(std::string_view path) noexcept
{
    const std::string_view relative = relative_of(path);
    for (int k = 0; k < state().replicas.count; ++k)
        forget_places(k, relative);
}

void forget_replica_places(int k) noexcept
{
    forget_places(k, ".");
}
