#include "fs/resync/healing.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fs/engine/event_log.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replicas.h"
#include "fs/resync/resync.h"

namespace {

enum class probe_state : uint8_t { none, outstanding, answered, silent };

// What the healing thread and its probes share. The probes keep it alive
// for as long as they hang, so it outlives the thread and the replica
// table alike.
struct probe_board {
    std::mutex lock;  // the two below; lock_order.h: #15, a leaf
    std::condition_variable changed;
    bool stopping = false;
    std::vector<probe_state> probes;  // by replica
};

std::shared_ptr<probe_board> board;  // set by heal_start, read by the thread
std::thread heal_thread;             // started by heal_start, joined by heal_stop
std::atomic<uint64_t> rounds{0};

// Whether replica k may come back by itself now.
bool waits_for_healing(int k) noexcept
{
    return state_of(k) == replica_state::disabled && heals_by_itself(replica_at(k).left_for.load());
}

void probe(const std::shared_ptr<probe_board>& shared, int k, const std::string& root) noexcept
{
    pthread_setname_np(pthread_self(), "vornelix-probe");
    bool answered = false;
    const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st;
        answered = fstat(fd, &st) == 0;
        close(fd);
    }
    {
        const std::lock_guard<std::mutex> held(shared->lock);
        shared->probes[static_cast<size_t>(k)] = answered ? probe_state::answered : probe_state::silent;
    }
    shared->changed.notify_all();
}

// Starts the probe of replica k, marked outstanding by the caller; false
// when no thread could be had (the mark is taken back).
bool start_probe(const std::shared_ptr<probe_board>& shared, int k) noexcept
{
    try {
        // The replica under the mount point is reached through the
        // descriptor kept of that directory; its "." would be the
        // daemon's own working directory.
        std::string where = replica_at(k).root;
        if (where == mount_point_replica_root)
            where = "/proc/self/fd/" + std::to_string(state().mount.directory);
        std::thread(probe, shared, k, std::move(where)).detach();
        return true;
    } catch (...) {
        const std::lock_guard<std::mutex> held(shared->lock);
        shared->probes[static_cast<size_t>(k)] = probe_state::none;
        return false;
    }
}

void heal(int k) noexcept
{
    // The administrator may have spoken since the round looked.
    if (!waits_for_healing(k))
        return;
    // Refused (a resync runs, the worker is still inside a call given up
    // on, no source): the next round probes again and tries again.
    if (resync_start(k) == 0)
        write_event("replica answers again: resync started by itself", replica_at(k).root);
}

void heal_loop(const std::shared_ptr<probe_board>& shared) noexcept
{
    // Signals are for libfuse's handlers in the request threads; the probes
    // inherit the mask.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    pthread_setname_np(pthread_self(), "vornelix-heal");

    using clock_type = std::chrono::steady_clock;
    const auto interval = std::chrono::milliseconds(state().work.heal_interval_ms);
    const int count = state().replicas.count;
    auto next_round = clock_type::now() + interval;
    // Room for every replica now: a round never allocates.
    std::vector<int> to_heal, to_probe;
    try {
        to_heal.reserve(static_cast<size_t>(count));
        to_probe.reserve(static_cast<size_t>(count));
    } catch (...) {
        write_log("healing thread", state().mount.path, ENOMEM);
        return;
    }
    std::unique_lock<std::mutex> held(shared->lock);
    while (!shared->stopping) {
        shared->changed.wait_until(held, next_round);
        if (shared->stopping)
            break;
        to_heal.clear();
        to_probe.clear();
        const bool round = clock_type::now() >= next_round;
        for (int k = 0; k < count; ++k) {
            probe_state& last = shared->probes[static_cast<size_t>(k)];
            if (last == probe_state::outstanding)
                continue;
            const bool answered = last == probe_state::answered;
            if (answered || round)
                last = probe_state::none;
            if (!waits_for_healing(k))
                continue;
            if (answered) {
                to_heal.push_back(k);
            } else if (round) {
                last = probe_state::outstanding;
                to_probe.push_back(k);
            }
        }
        if (round) {
            rounds.fetch_add(1);
            next_round = clock_type::now() + interval;
        }
        held.unlock();
        for (const int k : to_heal)
            heal(k);
        for (const int k : to_probe)
            start_probe(shared, k);
        held.lock();
    }
}

}  // namespace

bool heal_start() noexcept
{
    if (state().work.heal_interval_ms <= 0)
        return true;
    try {
        board = std::make_shared<probe_board>();
        board->probes.assign(static_cast<size_t>(state().replicas.count), probe_state::none);
        heal_thread = std::thread(heal_loop, board);
    } catch (...) {
        board.reset();
        write_log("healing thread", state().mount.path, EAGAIN);
        return false;
    }
    return true;
}

void heal_stop() noexcept
{
    if (!heal_thread.joinable())
        return;
    {
        const std::lock_guard<std::mutex> held(board->lock);
        board->stopping = true;
    }
    board->changed.notify_all();
    heal_thread.join();
    board.reset();
}

uint64_t heal_rounds() noexcept
{
    return rounds.load();
}
