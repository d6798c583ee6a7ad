#include "fs/engine/replica_workers.h"

#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "fs/engine/event_log.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replica_service.h"

namespace {

using clock_type = std::chrono::steady_clock;

// A replica that leaves service while a request waits for it is noticed
// within this time, without any wake-up from whoever disabled it.
constexpr auto service_recheck = std::chrono::milliseconds(50);

struct replica_worker {
    std::mutex lock;  // the queue and stopping; lock_order.h: #14, a leaf
    std::condition_variable wake;
    replica_slot* head = nullptr;  // protected by lock
    replica_slot* tail = nullptr;  // protected by lock
    bool stopping = false;         // protected by lock
    std::atomic<bool> busy{false};
    std::atomic<bool> exited{false};
    // Slots queued or running: a request runs its step itself only when
    // nothing is, so what the worker was given earlier is never overtaken.
    std::atomic<int> pending{0};
    // Where the replica's root lies (see set_replica_local).
    std::atomic<replica_medium> medium{replica_medium::remote};
    std::thread thread;
};

// Written in init and destroy only, when no request runs.
replica_worker* workers = nullptr;
int worker_count = 0;

// A request thread's job between two requests: held by nobody else.
struct job_cache {
    replica_job* job = nullptr;
    ~job_cache() { delete job; }
};
thread_local job_cache cached;

// Lets go of the slot (done, or abandoned when its request gave up on it)
// and drops the worker's reference; the last one out deletes the job.
void finish_slot(replica_slot& slot) noexcept
{
    replica_job& job = *slot.job;
    int orphan = 0;
    bool wake;
    {
        std::lock_guard<std::mutex> guard(job.lock);
        const bool given_up = slot.given_up();
        slot.state.store(given_up ? slot_state::abandoned : slot_state::done, std::memory_order_relaxed);
        // Given up before it was done: nobody takes what the step opened.
        if (given_up && slot.opened > 0) {
            orphan = slot.opened;
            slot.opened = 0;
        }
        wake = !given_up && --job.outstanding == 0;
    }
    // The request is woken once, by the last slot it waits for, and after
    // the lock is released so that it does not wake only to wait for it.
    // The worker's reference keeps the job alive until then.
    if (wake)
        job.finished.notify_all();
    if (orphan > 0)
        close(orphan);
    if (--job.references == 0)
        delete &job;
}

void run_slot(replica_slot& slot, int k) noexcept
{
    replica_job& job = *slot.job;
    bool run;
    {
        std::lock_guard<std::mutex> guard(job.lock);
        // A slot given up on stays so while a close in it runs.
        if (!slot.given_up())
            slot.state.store(slot_state::running, std::memory_order_relaxed);
        run = slot.state.load(std::memory_order_relaxed) == slot_state::running || slot.must_run;
    }
    if (run) {
        job_step& step = job.steps[slot.step];
        step.run(step.closure, slot, k);
    }
}

void run_replica_worker(replica_worker& worker, int k) noexcept
{
    while (true) {
        replica_slot* slot;
        {
            std::unique_lock<std::mutex> lock(worker.lock);
            worker.wake.wait(lock, [&] { return worker.head != nullptr || worker.stopping; });
            slot = worker.head;
            if (slot == nullptr)
                break;
            worker.head = slot->next;
            if (worker.head == nullptr)
                worker.tail = nullptr;
        }
        worker.busy.store(true);
        run_slot(*slot, k);
        worker.busy.store(false);
        finish_slot(*slot);
        worker.pending.fetch_sub(1);
    }
    worker.exited.store(true);
}

void enqueue(replica_worker& worker, replica_slot& slot) noexcept
{
    worker.pending.fetch_add(1);
    {
        std::lock_guard<std::mutex> guard(worker.lock);
        slot.next = nullptr;
        if (worker.tail != nullptr)
            worker.tail->next = &slot;
        else
            worker.head = &slot;
        worker.tail = &slot;
    }
    worker.wake.notify_one();
}

// Whether replica k is local and its worker holds nothing that a step run
// on the calling thread could overtake.
bool idle_local(int k) noexcept
{
    const replica_worker& worker = workers[k];
    return worker.medium.load(std::memory_order_relaxed) != replica_medium::remote &&
           worker.pending.load() == 0;
}

// Whether some replica other than k is in service.
bool other_in_service(int k) noexcept
{
    for (int j = 0; j < state().replicas.count; ++j)
        if (j != k && replica_in_service(j))
            return true;
    return false;
}

// The job of a new request: the thread's own when it has one of the right
// size, else a new one. Null when memory runs out.
replica_job* take_job() noexcept
{
    replica_job* job = cached.job;
    cached.job = nullptr;
    if (job == nullptr)
        job = new (std::nothrow) replica_job;
    if (job == nullptr)
        return nullptr;
    const int count = state().replicas.count;
    if (job->slot_count != count) {
        job->slots.reset(new (std::nothrow) replica_slot[count > 0 ? count : 1]);
        if (!job->slots) {
            delete job;
            return nullptr;
        }
        job->slot_count = count;
    }
    job->references.store(1);
    job->outstanding.store(0);
    job->clear_steps();
    for (int k = 0; k < job->slot_count; ++k) {
        replica_slot& slot = job->slots[k];
        slot.job = job;
        slot.next = nullptr;
        slot.state.store(slot_state::idle, std::memory_order_relaxed);
        slot.must_run = slot.missed = false;
        slot.fd = slot.opened = 0;
        slot.outcome = {outcome_kind::absent, 0};
        slot.value = 0;
        slot.error = 0;
    }
    return job;
}

}  // namespace

void replica_job::clear_steps() noexcept
{
    for (int i = 0; i < step_count; ++i)
        steps[i].destroy(steps[i].closure);
    step_count = 0;
}

int64_t parse_replica_timeout(const char* text) noexcept
{
    int64_t seconds = 0;
    int64_t thousandths = 0;
    int whole_digits = 0;
    int decimals = -1;  // -1: no point seen
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '.' && decimals < 0) {
            decimals = 0;
        } else if (*p < '0' || *p > '9') {
            return -EINVAL;
        } else if (decimals < 0) {
            if (++whole_digits > 5)
                return -EINVAL;
            seconds = seconds * 10 + (*p - '0');
        } else {
            if (++decimals > 3)
                return -EINVAL;
            thousandths += (*p - '0') * (decimals == 1 ? 100 : decimals == 2 ? 10 : 1);
        }
    }
    if (whole_digits == 0 || decimals == 0)
        return -EINVAL;
    const int64_t ms = seconds * 1000 + thousandths;
    return ms > 0 ? ms : -EINVAL;
}

bool start_replica_workers(int count) noexcept
{
    workers = new (std::nothrow) replica_worker[count > 0 ? count : 1];
    if (workers == nullptr)
        return false;
    for (int k = 0; k < count; ++k) {
        try {
            workers[k].thread = std::thread(run_replica_worker, std::ref(workers[k]), k);
        } catch (...) {
            write_log("worker thread", replica_at(k).root, EAGAIN);
            worker_count = k;
            stop_replica_workers();
            return false;
        }
    }
    worker_count = count;
    return true;
}

bool stop_replica_workers() noexcept
{
    if (workers == nullptr)
        return true;
    for (int k = 0; k < worker_count; ++k) {
        {
            std::lock_guard<std::mutex> guard(workers[k].lock);
            workers[k].stopping = true;
        }
        workers[k].wake.notify_one();
    }
    // Idle workers end at once; a worker still in a system call after a
    // second is stuck there, and must not keep the daemon from exiting.
    const auto give_up = clock_type::now() + std::chrono::seconds(1);
    bool left_behind = false;
    for (int k = 0; k < worker_count; ++k) {
        while (!workers[k].exited.load() && clock_type::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (workers[k].exited.load()) {
            workers[k].thread.join();
        } else {
            workers[k].thread.detach();
            left_behind = true;
        }
    }
    // A worker left behind still holds its record; it goes with the process.
    if (!left_behind)
        delete[] workers;
    workers = nullptr;
    worker_count = 0;
    return !left_behind;
}

// Filesystems whose calls are answered by this machine's own memory or
// block devices. A network or FUSE filesystem (or one not listed) can stop
// answering while the machine goes on: only the worker's deadline bounds
// the wait for it.
replica_medium medium_of(long type) noexcept
{
    switch (type) {
    case TMPFS_MAGIC:
    case RAMFS_MAGIC:
        return replica_medium::memory;
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
        return replica_medium::disk;
    default:
        return replica_medium::remote;
    }
}

void set_replica_local(int k, int root_fd) noexcept
{
    if (workers == nullptr || k >= worker_count)
        return;
    struct statfs fs {};
    const bool known = state().work.inline_allowed && root_fd >= 0 && fstatfs(root_fd, &fs) == 0;
    workers[k].medium.store(known ? medium_of(static_cast<long>(fs.f_type)) : replica_medium::remote);
}

bool replica_defers_errors(int k) noexcept
{
    return workers == nullptr || k >= worker_count ||
           workers[k].medium.load(std::memory_order_relaxed) == replica_medium::remote;
}

bool replica_worker_stuck(int k) noexcept
{
    return workers != nullptr && k < worker_count && workers[k].busy.load();
}

bool still_wanted(const replica_slot& slot) noexcept
{
    std::lock_guard<std::mutex> guard(slot.job->lock);
    return !slot.given_up();
}

void close_on_replica(int k, int fd) noexcept
{
    if (fd <= 0)
        return;
    if (workers == nullptr || k >= worker_count || idle_local(k)) {
        close(fd);
        return;
    }
    replica_work work;
    if (!work.ready()) {
        close(fd);
        return;
    }
    if (!work.set_step([fd](replica_slot&, int) noexcept { close(fd); })) {
        close(fd);
        return;
    }
    work.slot(k).must_run = true;
    work.submit(k);
}

replica_work::replica_work() noexcept : job_(take_job()) {}

replica_work::~replica_work()
{
    if (job_ == nullptr)
        return;
    // A slot never handed to anyone: a close still runs.
    run_deferred(true);
    int running = 0;
    {
        std::lock_guard<std::mutex> guard(job_->lock);
        for (int k = 0; k < job_->slot_count; ++k) {
            replica_slot& slot = job_->slots[k];
            switch (slot.state.load(std::memory_order_relaxed)) {
            case slot_state::queued:
            case slot_state::running:
                slot.state.store(slot_state::given_up, std::memory_order_relaxed);
                ++running;
                break;
            case slot_state::given_up:
                ++running;
                break;
            default:
                break;
            }
        }
    }
    // A worker whose slot is done lets go of the job a moment later: the
    // job stays this thread's for its next request once they all have.
    while (job_->references.load() > 1 + running)
        std::this_thread::yield();
    if (--job_->references > 0)
        return;  // the last worker out deletes it
    if (cached.job == nullptr)
        cached.job = job_;
    else
        delete job_;
}

const char* replica_work::keep_text(int i, const char* text) noexcept
{
    if (job_ == nullptr)
        return nullptr;
    try {
        job_->texts[i].assign(text);
    } catch (...) {
        return nullptr;
    }
    return job_->texts[i].c_str();
}

const char* replica_work::keep_data(const char* bytes, size_t size) noexcept
{
    if (job_ == nullptr)
        return nullptr;
    try {
        job_->data.assign(bytes, bytes + size);
    } catch (...) {
        return nullptr;
    }
    return job_->data.data();
}

void replica_work::submit(int k) noexcept
{
    replica_slot& slot = job_->slots[k];
    if (slot.given_up())
        return;
    // No worker holds the slot: it is idle, done or answered.
    slot.step = job_->step_count - 1;
    if (workers == nullptr || k >= worker_count) {
        slot.state.store(slot_state::running, std::memory_order_relaxed);
        job_step& step = job_->steps[slot.step];
        step.run(step.closure, slot, k);
        slot.state.store(slot_state::done, std::memory_order_relaxed);
        return;
    }
    if (pinned_ || runs_here(k)) {
        // Run by wait(), after the other replicas' slots are queued, so
        // that those work meanwhile.
        slot.state.store(slot_state::held, std::memory_order_relaxed);
        return;
    }
    slot.state.store(slot_state::queued, std::memory_order_relaxed);
    ++job_->references;
    ++job_->outstanding;
    enqueue(workers[k], slot);
}

bool replica_work::runs_here(int k) noexcept
{
    if (!idle_local(k))
        return false;
    const replica_medium medium = workers[k].medium.load(std::memory_order_relaxed);
    if (!device_wait_ || medium != replica_medium::disk)
        return true;
    // One of them is this thread's share; the others' workers run meanwhile.
    if (kept_here_)
        return false;
    kept_here_ = true;
    return true;
}

bool replica_work::stays_on_this_thread(const int32_t* fds) noexcept
{
    if (workers == nullptr)
        return true;
    bool all_here = true;
    for (int k = 0; k < job_->slot_count && all_here; ++k)
        if (fds[k] > 0 && replica_in_service(k) && k < worker_count && !runs_here(k))
            all_here = false;
    kept_here_ = false;
    if (!all_here)
        return false;
    pinned_ = true;
    return true;
}

void replica_work::run_deferred(bool closes_only) noexcept
{
    // Outside the job lock, which a step may take.
    for (int k = 0; k < job_->slot_count; ++k) {
        replica_slot& slot = job_->slots[k];
        if (slot.state.load(std::memory_order_relaxed) != slot_state::held)
            continue;
        if (!closes_only || slot.must_run) {
            job_step& step = job_->steps[slot.step];
            step.run(step.closure, slot, k);
        }
        std::lock_guard<std::mutex> guard(job_->lock);
        slot.state.store(slot_state::done, std::memory_order_relaxed);
    }
}

void replica_work::wait_for(const char* word, bool records) noexcept
{
    const auto started = clock_type::now();
    run_deferred(false);
    const auto timeout = std::chrono::milliseconds(state().work.timeout_ms);
    auto deadline = started + timeout;
    bool answer_seen = false;
    bool any_late = false;
    {
        std::unique_lock<std::mutex> lock(job_->lock);
        while (true) {
            int pending = 0;
            int last_pending = -1;
            bool answered_now = false;
            for (int k = 0; k < job_->slot_count; ++k) {
                const slot_state state = job_->slots[k].state.load(std::memory_order_relaxed);
                if (state == slot_state::done)
                    answered_now = true;
                else if ((state == slot_state::queued || state == slot_state::running) &&
                         (records || replica_in_service(k)))
                    ++pending, last_pending = k;
            }
            const auto now = clock_type::now();
            if (answered_now && !answer_seen) {
                // Replicas that all work slowly (one large fsync each) are
                // not late: the others get the deadline again from the
                // first answer.
                answer_seen = true;
                deadline = std::max(deadline, now + timeout);
            }
            if (pending == 0)
                break;
            // Past the deadline, a replica is given up when another one
            // answered, or, waited for alone, when another could serve
            // instead; the last one in service is waited for as long as it
            // takes.
            if (now >= deadline &&
                (records || answer_seen || (pending == 1 && other_in_service(last_pending))))
                break;
            job_->finished.wait_until(lock, now >= deadline ? now + service_recheck
                                                            : std::min(deadline, now + service_recheck));
        }
        for (int k = 0; k < job_->slot_count; ++k) {
            replica_slot& slot = job_->slots[k];
            const slot_state state = slot.state.load(std::memory_order_relaxed);
            slot.missed = state == slot_state::queued || state == slot_state::running;
            if (state == slot_state::done)
                slot.state.store(slot_state::answered, std::memory_order_relaxed);
            if (slot.missed) {
                slot.state.store(slot_state::given_up, std::memory_order_relaxed);
                if (workers != nullptr)
                    --job_->outstanding;
                any_late = true;
            }
        }
    }
    if (!any_late || records)
        return;
    const double waited = std::chrono::duration<double>(clock_type::now() - started).count();
    char line[96];
    std::snprintf(line, sizeof line, "%s: no answer in %.1f s,", word, waited);
    for (int k = 0; k < job_->slot_count; ++k) {
        // The last replica in service stays: without it nothing would be
        // left to answer at all.
        if (!job_->slots[k].missed || !replica_in_service(k) || !other_in_service(k))
            continue;
        write_log(line, replica_at(k).root, ETIMEDOUT);
        disable_replica(k, false, ETIMEDOUT);
    }
}
