#include "fs/resync/resync.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs/engine/change_journal.h"
#include "fs/engine/event_log.h"
#include "fs/engine/fd_table.h"
#include "fs/engine/handle_stripes.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replica_record.h"
#include "fs/engine/replica_service.h"
#include "fs/engine/replica_workers.h"
#include "fs/engine/replicas.h"
#include "fs/engine/resync_gate.h"
#include "fs/resync/resync_copy.h"
#include "fs/resync/resync_plan.h"
#include "fs/resync/resync_progress.h"

namespace {

// Registered paths fewer than this are left to the last step.
constexpr size_t last_step_paths = 64;
// Passes over the registered paths before the last step, whatever is left.
constexpr int most_passes = 16;
constexpr time_t progress_interval = 10;

std::mutex resync_lock;  // the two below; lock_order.h: #7, after service_lock
bool thread_to_join = false;  // protected by resync_lock
pthread_t resync_thread;      // protected by resync_lock

std::atomic<bool> running{false};
std::atomic<bool> stop_requested{false};

struct resync_job {
    std::vector<int> targets;  // one after the other, each from a replica in service
};
resync_job job;  // written before the thread starts, read by it only

// Raised when the last step was given up at the deadline (set by a request
// waiting at the gate, read by the resync thread afterwards).
std::atomic<bool> given_up_at_deadline{false};
// The replica whose last step runs (the stall handler's; job is the
// resync thread's own).
std::atomic<int> last_step_target{-1};

bool still_resyncing(int k) noexcept
{
    return state_of(k) == replica_state::behind;
}

// The gate's stall handler: the last step has been inside one call on the
// source or the replica for the deadline. Under the record lock, so that it
// never crosses the step's own return to service: the replica leaves the
// resync (disabled, behind) and the changes waiting at the gate go on.
bool give_up_last_step() noexcept
{
    const int k = last_step_target.load();
    const std::unique_lock<std::mutex> recorded = hold_records();
    if (!compare_and_set(k, replica_state::behind, {replica_state::disabled, time(nullptr)}))
        return false;
    // Only once the state is ours: a replica the administrator disabled
    // meanwhile keeps the administrator's reason.
    replica_at(k).left_for.store(departure::unreachable);
    given_up_at_deadline.store(true);
    char line[96];
    std::snprintf(line, sizeof line, "resync's last step: no answer in %.1f s,", state().work.timeout_ms / 1000.0);
    write_log(line, replica_at(k).root, ETIMEDOUT);
    return true;
}

time_t monotonic_seconds() noexcept
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return now.tv_sec;
}

// The first replica in service, high priority first; -1 when none is.
int choose_source() noexcept
{
    for (int pass = 0; pass < 2; ++pass)
        for (int k = 0; k < state().replicas.count; ++k)
            if ((replica_at(k).low_priority != 0) == (pass == 1) && replica_in_service(k))
                return k;
    return -1;
}

std::string counts_text(const copy_context& context)
{
    return std::to_string(context.entries) + " entries, " + std::to_string(context.bytes) + " bytes";
}

// Why a resync ended early, for the log.
struct stop_reason {
    int error = 0;
    std::string word;
    bool disable = true;  // the replica goes back to disabled
};

stop_reason copy_stop_reason(const copy_context& context, int error, int source, int target)
{
    if (stop_requested.load())
        return {0, "resync interrupted by the unmount, the replica stays behind", false};
    if (given_up_at_deadline.load())
        return {0, "resync abandoned at the deadline, the replica stays behind", false};
    if (state_of(target) != replica_state::behind)
        return {0, "resync abandoned, the administrator changed the replica's state", false};
    if (!replica_in_service(source))
        return {0, "resync abandoned, its source " + replica_at(source).root + " left service", true};
    return {error,
            "resync stopped at " + context.failure.path +
                (context.failure.on_target ? " on the replica" : " on the source " + replica_at(source).root),
            true};
}

// Gives one open file a descriptor on the resynced replica, opened by the
// file's current name with the flags of its descriptor on a replica in
// service; a file without a name has nothing there to write.
struct handle_fix {
    int target = -1;
    int error = 0;
    std::string path;  // of the file that failed
};

// Opens the tree path on replica k through its worker, for the replica
// deadline at most (the open-file table is locked meanwhile): the
// descriptor, or -errno (-ETIMEDOUT for no answer in time; what the late
// call opens is closed by the worker).
int open_in_time(int k, const std::string& path, int flags) noexcept
{
    replica_work work;
    const char* at = work.keep_text(0, path.c_str());
    if (at == nullptr || !work.set_step([at, flags](replica_slot& slot, int j) noexcept {
            int fd = open_in_replica(j, at, flags);
            if (fd == 0) {
                // 0 in a descriptor array means "none".
                fd = fcntl(0, F_DUPFD_CLOEXEC, 1);
                close(0);
            }
            slot.error = fd < 0 ? failure_errno() : 0;
            slot.opened = fd > 0 ? fd : 0;
        }))
        return -ENOMEM;
    work.submit(k);
    work.wait_for_records();
    if (!work.answered(k))
        return -ETIMEDOUT;
    if (work.slot(k).opened <= 0)
        return work.slot(k).error != 0 ? -work.slot(k).error : -EIO;
    const int fd = work.slot(k).opened;
    work.slot(k).opened = 0;
    return fd;
}

void give_descriptor(uint64_t handle, int32_t* fds, void* context) noexcept
{
    handle_fix& fix = *static_cast<handle_fix*>(context);
    if (fix.error != 0)
        return;
    change_gate_beat();
    const int k = fix.target;
    // The array is the resync's only while the gate holds: a last step
    // given up at the deadline (under the record lock) gives it back.
    int previous = 0;
    {
        const std::unique_lock<std::mutex> recorded = hold_records();
        if (!still_resyncing(k)) {
            fix.error = ECANCELED;
            return;
        }
        previous = fds[k];
        fds[k] = 0;
    }
    if (previous > 0)
        close_on_replica(k, previous);
    int r = -1;
    const std::optional<std::string> path = open_file_path(fds, registering_prefixes(), r);
    if (!path)
        return;
    constexpr int kept = O_ACCMODE | O_APPEND | O_NONBLOCK | O_DSYNC | O_SYNC | O_NOATIME | O_LARGEFILE;
    const int flags = fcntl(fds[r], F_GETFL);
    const int fd = flags == -1 ? -failure_errno() : open_in_time(k, *path, (flags & kept) | O_NOCTTY);
    if (fd <= 0) {
        fix.error = fd < 0 ? -fd : EIO;
        try {
            fix.path = "the open file " + *path;
        } catch (...) {
        }
        return;
    }
    {
        const std::unique_lock<std::mutex> recorded = hold_records();
        if (!still_resyncing(k)) {
            close_on_replica(k, fd);
            fix.error = ECANCELED;
            return;
        }
        fds[k] = fd;
    }
    // Writes by root took their stripes from the descriptors at open: they
    // must look at the new one too.
    forget_handle_stripes(handle);
}

// The registered paths a resync copied, to be copied again from another
// source should this one leave service. Each once; whole is false once one
// could not be kept (memory ran out), and a switch then walks the tree.
struct copied_paths {
    std::set<std::string> paths;
    bool whole = true;
    void add(const std::string& path) noexcept
    {
        try {
            if (whole)
                paths.insert(path);
        } catch (...) {
            whole = false;
            paths.clear();
        }
    }
};

// The last step, while no change runs. 0, or -errno. The registered
// paths it copies are added to copied.
int last_step(copy_context& context, int k, int source, const copy_plan& plan, copied_paths& copied) noexcept
{
    bool lost = false;
    for (const std::string& path : take_changed_paths(lost)) {
        copied.add(path);
        if (sync_path(context, path) == -1)
            return -failure_errno();
    }
    if (lost) {
        context.failure = {"(registered changes)", false};
        return -ENOMEM;
    }
    if (!replica_in_service(source) || !still_resyncing(k))
        return -ECANCELED;
    change_gate_beat();
    if (syncfs(context.target_root) == -1) {
        const int error = errno;
        context.failure = {"/", true};
        return -error;
    }
    // Given up while in the call: the changes run again, and the open
    // files are theirs.
    if (!still_resyncing(k))
        return -ECANCELED;
    handle_fix fix;
    fix.target = k;
    fd_table_visit(give_descriptor, &fix);
    if (fix.error != 0) {
        context.failure = {fix.path, true};
        return -fix.error;
    }
    change_gate_beat();
    // Recorded current only while still the resync's: a last step given
    // up meanwhile leaves the replica behind, on disk as in memory.
    const std::unique_lock<std::mutex> recorded = record_return(k, still_resyncing);
    if (!still_resyncing(k))
        return -ECANCELED;
    write_event("resync complete, " + plan_outcome_text(plan) + counts_text(context) + ", back in service",
                replica_at(k).root);
    // Whoever sees it in service sees no resync of it any more.
    end_resync_progress();
    forget_replica_places(k);
    set_state(k, replica_state::in_service);
    return 0;
}

// Everything before the last step: the plan's paths, then the registered
// ones, pass after pass while they are many (each added to copied), and
// what was copied made durable. 0, or -1 with errno.
int copy_before_last_step(copy_context& context, const copy_plan& plan, copied_paths& copied)
{
    resync_progress& progress = current_resync_progress();
    progress.entries_todo.store(plan.from_journal ? plan.paths.size() : 0);
    progress.entries_done.store(0);
    for (const std::string& path : plan.paths) {
        if (sync_path(context, path) == -1)
            return -1;
        if (plan.from_journal)
            progress.entries_done.fetch_add(1, std::memory_order_relaxed);
    }
    for (int pass = 0; pass < most_passes && changed_path_count() > last_step_paths; ++pass) {
        bool lost = false;
        for (const std::string& path : take_changed_paths(lost)) {
            copied.add(path);
            if (sync_path(context, path) == -1)
                return -1;
        }
    }
    // What was copied reaches the disk before the replica is recorded as
    // current: most of it now, while changes run, the rest in the last step.
    if (syncfs(context.target_root) == -1) {
        context.failure = {"/", true};
        return -1;
    }
    return 0;
}

// The replica a resync whose source left service goes on from, or -1
// when it cannot go on.
int next_source(int k, int source) noexcept
{
    if (stop_requested.load() || given_up_at_deadline.load() || state_of(k) != replica_state::behind ||
        replica_in_service(source))
        return -1;
    return choose_source();
}

// Answers with registration stopped whatever happens; throws only for
// want of memory.
void run_resync(int k, int source)
{
    const std::string& root = replica_at(k).root;
    write_event("resync from " + replica_at(source).root + " started", root);
    begin_resync_progress(k);
    const auto began = std::chrono::steady_clock::now();

    // A disk replaced while the replica was out is mounted over its root
    // now: open the root again. (The replica under the mount point has only
    // the directory kept from before the mount.)
    unique_fd previous_root;
    int open_error = 0;
    if (root != mount_point_replica_root) {
        const int fresh = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fresh == -1)
            open_error = errno;
        else
            previous_root.reset(fresh);
    }
    std::vector<std::string> prefixes;
    try {
        for (int r = 0; r < state().replicas.count; ++r)
            prefixes.push_back(root_prefix(r == k && previous_root ? previous_root.get() : replica_at(r).root_fd.load()));
    } catch (...) {
        open_error = ENOMEM;
    }
    if (open_error != 0) {
        write_log("resync stopped at /", root, open_error);
        disable_replica(k, false, open_error);
        return;
    }
    // Registering starts before the journal is read: a change is in one or
    // the other, or both.
    start_registering(std::move(prefixes));
    if (previous_root) {
        // Nobody uses a replica's root while it is out of service.
        const int fresh = previous_root.release();
        previous_root.reset(replica_at(k).root_fd.exchange(fresh));
        set_replica_local(k, fresh);
    }
    copy_plan plan = plan_copy(k, source);
    plan.began = began;
    write_event(plan_text(plan), root);

    copy_context context;
    context.source_root = replica_at(source).root_fd;
    context.target_root = replica_at(k).root_fd;
    time_t next_progress = monotonic_seconds() + progress_interval;
    resync_progress& progress = current_resync_progress();
    context.stop = [&]() noexcept {
        change_gate_beat();
        if (!plan.from_journal)
            progress.entries_done.store(context.entries, std::memory_order_relaxed);
        progress.bytes.store(context.bytes, std::memory_order_relaxed);
        if (stop_requested.load() || !replica_in_service(source) || state_of(k) != replica_state::behind)
            return true;
        if (monotonic_seconds() >= next_progress) {
            try {
                write_event("resync copied " + counts_text(context) + " so far", root);
            } catch (...) {
            }
            next_progress = monotonic_seconds() + progress_interval;
        }
        return false;
    };

    // The registered paths copied so far: copied again from another
    // source should this one leave service.
    copied_paths copied;
    for (;;) {
        int rc = copy_before_last_step(context, plan, copied);
        int error = rc == -1 ? errno : 0;
        // Chosen under the gate: a replica leaving after it would leave
        // none to go on from.
        int next = -1;
        last_step_target.store(k);
        {
            change_gate_exclusive gate(give_up_last_step, std::max<int64_t>(state().work.timeout_ms, 1000));
            if (rc == 0 && (rc = last_step(context, k, source, plan, copied)) != 0)
                error = -rc;
            if (rc != 0 && !gate.broken())
                next = next_source(k, source);
            if (next >= 0) {
                // Registering goes on: what changes meanwhile is copied
                // from the next source.
            } else if (gate.broken()) {
                // Changes run again: registering stops while none does.
                change_gate_exclusive again;
                stop_registering();
            } else {
                stop_registering();
            }
        }
        if (rc == 0)
            return;
        if (next < 0) {
            const stop_reason reason = copy_stop_reason(context, error, source, k);
            write_log(reason.word, root, reason.error);
            // Only the replica's own failure says whether it can be
            // reached: a source's failure leaves the reason it was out for.
            const departure before = replica_at(k).left_for.load();
            if (reason.disable)
                disable_replica(k, false, context.failure.on_target ? reason.error : 0);
            if (reason.disable && !context.failure.on_target)
                replica_at(k).left_for.store(before);
            return;
        }
        write_event("resync source " + replica_at(source).root + " left service, going on from " +
                        replica_at(next).root,
                    root);
        source = next;
        context.source_root = replica_at(source).root_fd;
        // The new source's journal, when it reaches back far enough, holds
        // the same names; what was registered is copied again with them.
        plan = plan_copy(k, source);
        if (plan.from_journal && copied.whole) {
            plan.paths.insert(plan.paths.end(), copied.paths.begin(), copied.paths.end());
            collapse_paths(plan.paths);
        } else if (plan.from_journal) {
            plan = copy_plan{};
            plan.why_walk = "the names copied from the last source were not all kept";
            plan.paths.assign(1, "/");
        }
        plan.began = began;
        write_event(plan_text(plan), root);
    }
}

void* resync_thread_main(void*) noexcept
{
    // Signals are for libfuse's handlers in the request threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    pthread_setname_np(pthread_self(), "vornelix-resync");
    for (const int k : job.targets) {
        // The administrator may have changed a waiting replica's state.
        if (stop_requested.load() || state_of(k) != replica_state::behind)
            continue;
        const int source = choose_source();
        if (source < 0) {
            write_log("resync stopped, no replica in service to copy from", replica_at(k).root, 0);
            continue;
        }
        given_up_at_deadline.store(false);
        try {
            run_resync(k, source);
        } catch (...) {
            {
                change_gate_exclusive gate;
                stop_registering();
            }
            write_log("resync stopped", replica_at(k).root, ENOMEM);
            disable_replica(k, false);
        }
        end_resync_progress();
    }
    running.store(false);
    return nullptr;
}

// Starts the thread for job: 0 or -errno. Called with the resync lock
// held and nothing running.
int start_thread() noexcept
{
    stop_requested.store(false);
    given_up_at_deadline.store(false);
    running.store(true);
    const int err = pthread_create(&resync_thread, nullptr, resync_thread_main, nullptr);
    if (err != 0) {
        running.store(false);
        return -err;
    }
    thread_to_join = true;
    return 0;
}

}  // namespace

int resync_start(int k) noexcept
{
    std::lock_guard<std::mutex> guard(resync_lock);
    if (running.load())
        return -EBUSY;
    if (thread_to_join) {
        pthread_join(resync_thread, nullptr);
        thread_to_join = false;
    }
    if (k < 0 || k >= state().replicas.count || replica_in_service(k))
        return -EINVAL;
    // A call that the replica's worker is still inside, given up on at a
    // deadline, could land on the replica after the copy of its name.
    if (replica_worker_stuck(k))
        return -EBUSY;
    if (choose_source() < 0)
        return -EINVAL;
    try {
        job.targets.assign(1, k);
    } catch (...) {
        return -ENOMEM;
    }
    const replica_status previous = exchange_status(k, {replica_state::behind});
    const int err = start_thread();
    if (err != 0)
        set_state(k, previous.state, previous.disabled_at);
    return err;
}

int resync_fill(const std::vector<int>& targets) noexcept
{
    std::lock_guard<std::mutex> guard(resync_lock);
    if (running.load() || targets.empty())
        return -EBUSY;
    try {
        job.targets = targets;
    } catch (...) {
        return -ENOMEM;
    }
    return start_thread();
}

bool resync_stop() noexcept
{
    std::lock_guard<std::mutex> guard(resync_lock);
    stop_requested.store(true);
    if (!thread_to_join)
        return true;
    // The copy looks at the request between entries and between pieces of
    // a file; only a call that does not return keeps it longer.
    const auto give_up = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(std::max<int64_t>(state().work.timeout_ms, 1000));
    while (running.load() && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    thread_to_join = false;
    if (running.load()) {
        pthread_detach(resync_thread);
        return false;
    }
    pthread_join(resync_thread, nullptr);
    return true;
}
