// Per-replica workers: every system call on a replica that is not local
// runs on that replica's own thread, so that a replica that stops
// answering holds up no request for longer than the deadline. A local
// replica (set_replica_local) is served by the request itself while its
// worker is idle.
//
// Threads and queues: one worker thread per replica, started in init
// (after FUSE has put the process in the background) and told to stop in
// destroy. Each has a FIFO queue; a request puts its step for replica k on
// worker k's queue, so every replica receives the changes in the order the
// requests were queued, and the name and write-order stripes that the
// request holds while it waits keep the order of conflicting requests
// exactly as when the replicas were visited one after the other. Replicas
// on different devices work on one request at the same time.
//
// Jobs: a request's work is one job, a heap object with one slot per
// replica (the step's inputs and results), room for the step's closure and
// two texts (the paths). The job is reference-counted: the request holds
// one reference and every queued slot one more. A request thread keeps its
// job for the next request when nobody else holds it, so the hot paths
// allocate nothing.
//
// Deadline: the request waits for every slot it queued until the deadline
// (-o replica_timeout), counted from the request's start or, when no
// replica has answered by then, from the first answer: replicas that are
// all slow together (one large fsync each) are not taken for hung. A
// replica whose slot is not done by then is logged (the operation and the
// seconds waited) and disabled, unless it is the last replica in service,
// which is waited for as long as it takes; the request goes on with the
// replicas that answered and never queues anything for that replica again.
// A read waits for one replica at a time: past the deadline it is given up
// when another replica in service can be tried instead. Its slot
// is given up: not run if not started yet, and a worker stuck in a system
// call finishes it some day with nobody reading its result. A replica that leaves service while a
// request waits for it (a timeout of another request, or the
// administrator's "2") is not waited for any more.
//
// What a step may touch, since it can outlive its request: the closure
// (copied into the job, so it captures by value: scalars, the job's texts,
// pointers to memory that the replica's worker alone uses), the job's
// texts and data, and its own slot. It writes only into its slot, and
// never touches the request's memory. A loop of several calls asks
// still_wanted() before each further call.
//
// Descriptors of a replica are closed by its worker (close_on_replica),
// or, for a local replica, at once when the worker holds nothing, so a
// descriptor number is never reused while an earlier step of that worker
// may still use it.
//
// A job lock and a worker's queue lock are leaves (lock_order.h, #13,
// #14): the log and record locks are taken by the request thread after
// the wait.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "fs/engine/replicas.h"

struct replica_job;

// The outcome of one replica's step, as the replicated changes tally it.
enum class outcome_kind { refused, failed, ownership_failed, times_failed, succeeded, absent };

// What happened on one replica; error is a positive errno value (0 on
// success).
struct replica_outcome {
    outcome_kind kind;
    int error;
};

// Where one replica's slot is in its request; docs/replica_workers.md
// draws the transitions. A worker moves a slot only while it holds it
// (queued to running to done, given_up to abandoned), under the job lock;
// the request moves it under the same lock while a worker may hold it, and
// alone otherwise. Atomic, so that the request may look at its slots
// without the lock: the one move a worker makes on a slot the request let
// go (to abandoned) still reads as given up.
enum class slot_state : uint8_t {
    idle,       // nothing handed over for the current step
    held,       // submitted, left for the request to run itself in its wait
    queued,     // on its worker's queue
    running,    // its step is running (on the worker, or inline)
    done,       // its step ended; the next wait collects it
    answered,   // done and collected by a wait; idle again at the next step
    given_up,   // the request stopped waiting while a worker held it
    abandoned,  // given up, and the worker has let go of it since
};

struct replica_slot {
    replica_job* job = nullptr;
    replica_slot* next = nullptr;  // protected by the worker's queue lock
    std::atomic<slot_state> state{slot_state::idle};
    // Set by the request before the slot is queued: the step runs even
    // when its request gave up on it (a close).
    bool must_run = false;
    // The request's own: given up in the last wait (to be logged and
    // disabled after it).
    bool missed = false;
    // Whether the request stopped waiting for this slot: it is never waited
    // for or queued again within the request.
    bool given_up() const noexcept
    {
        const slot_state now = state.load(std::memory_order_relaxed);
        return now == slot_state::given_up || now == slot_state::abandoned;
    }
    // Input, set by the request before the slot is queued.
    int step = 0;  // which of the job's steps it runs
    int fd = 0;
    // A descriptor the step opened: closed by the worker when nobody is
    // left to take it.
    int opened = 0;
    // Results, written by the worker before done.
    replica_outcome outcome{outcome_kind::absent, 0};
    int64_t value = 0;
    int error = 0;
    struct stat st {};
    struct statvfs vfs {};
    std::vector<char> buffer;
};

constexpr size_t job_closure_capacity = 128;
// Steps one request may set: a step given up on may still run on a stuck
// worker, so a later step of the request never takes its place.
constexpr int job_step_capacity = 4;

struct job_step {
    alignas(std::max_align_t) unsigned char closure[job_closure_capacity];
    void (*run)(void* closure, replica_slot& slot, int k) noexcept = nullptr;
    void (*destroy)(void* closure) noexcept = nullptr;
};

struct replica_job {
    std::atomic<int> references{1};
    std::mutex lock;  // the slots' states; lock_order.h: #13, a leaf
    std::condition_variable finished;  // notified when outstanding reaches 0
    // Slots queued or running and not given up: changed under lock (the
    // request's increment before queuing happens before any decrement).
    std::atomic<int> outstanding{0};
    int slot_count = 0;
    std::unique_ptr<replica_slot[]> slots;
    std::string texts[2];
    std::vector<char> data;  // a write's bytes
    job_step steps[job_step_capacity];
    int step_count = 0;
    void clear_steps() noexcept;
    ~replica_job() { clear_steps(); }
};

// The deadline, and whether a local replica may be served inline, are the
// process state's work settings (process_state.h).

// Parses "SECONDS" with at most three decimals ("2", "0.5", "7.25"):
// milliseconds, or -EINVAL when the text is not such a number or is 0.
int64_t parse_replica_timeout(const char* text) noexcept;

// Starts one worker per replica (init). false when a thread cannot be
// started; requests then run their steps inline.
bool start_replica_workers(int count) noexcept;

// Tells every worker to stop and joins those that are idle; a worker stuck
// in a system call is left behind (destroy). false when one was: its step
// may still use the replica table when the call returns.
bool stop_replica_workers() noexcept;

// Looks at the filesystem under replica k's root (init, and after a resync
// opened the root again). A replica on a local filesystem (memory or this
// machine's block devices) has its step run by the request itself whenever
// its worker has nothing queued: a hand-over to a thread costs more than
// such a call, and such a filesystem stalls only with the machine's own
// disks. Every other replica is served by its worker alone, under the
// deadline.
enum class replica_medium { remote, memory, disk };
void set_replica_local(int k, int root_fd) noexcept;

// Whether replica k may report a write's failure only later, at close
// (a network filesystem does): true for every replica not known local.
bool replica_defers_errors(int k) noexcept;

// Whether replica k's worker is inside a step that its request gave up.
bool replica_worker_stuck(int k) noexcept;

// Closes a descriptor of replica k on its worker, after every step queued
// before (at once on a local replica whose worker holds nothing); nobody
// waits for it.
void close_on_replica(int k, int fd) noexcept;

// Whether the step of this slot still has someone waiting for it (false
// once its request gave up).
bool still_wanted(const replica_slot& slot) noexcept;

// One request's work on the replicas (see above).
class replica_work {
public:
    replica_work() noexcept;
    ~replica_work();
    replica_work(const replica_work&) = delete;
    replica_work& operator=(const replica_work&) = delete;

    // false when memory ran out: the request answers -ENOMEM.
    bool ready() const noexcept { return job_ != nullptr; }

    // A copy of text kept in the job (i is 0 or 1), for the closure to
    // capture; null when memory runs out.
    const char* keep_text(int i, const char* text) noexcept;

    // A copy of a write's bytes kept in the job: the request's buffer is
    // libfuse's, refilled with the next request while a write given up on
    // may still be reading it. Null when memory runs out.
    const char* keep_data(const char* bytes, size_t size) noexcept;

    // Copies the step into the job: step(slot, k) does replica k's part
    // and writes its results into slot. The slots queued afterwards run it.
    // false when the request already set as many steps as a job holds.
    template <typename Step>
    bool set_step(Step&& step) noexcept
    {
        using closure = std::decay_t<Step>;
        static_assert(sizeof(closure) <= job_closure_capacity, "step closure too large");
        static_assert(alignof(closure) <= alignof(std::max_align_t), "step closure over-aligned");
        static_assert(std::is_nothrow_copy_constructible_v<closure>, "step closure may throw");
        if (job_ == nullptr || job_->step_count == job_step_capacity)
            return false;
        for (int k = 0; k < job_->slot_count; ++k)
            if (job_->slots[k].state.load(std::memory_order_relaxed) == slot_state::answered)
                job_->slots[k].state.store(slot_state::idle, std::memory_order_relaxed);
        job_step& next = job_->steps[job_->step_count++];
        new (next.closure) closure(std::forward<Step>(step));
        next.run = [](void* c, replica_slot& slot, int k) noexcept { (*static_cast<closure*>(c))(slot, k); };
        next.destroy = [](void* c) noexcept { static_cast<closure*>(c)->~closure(); };
        return true;
    }

    replica_slot& slot(int k) noexcept { return job_->slots[k]; }

    // Sets every slot's input descriptor from an open file's array (slots
    // given up on keep theirs: a stuck worker may still read it).
    void load_descriptors(const int32_t* fds) noexcept
    {
        for (int k = 0; k < job_->slot_count; ++k)
            if (!job_->slots[k].given_up())
                job_->slots[k].fd = fds[k];
    }

    // Whether every replica in service that holds a descriptor in fds
    // runs this request's steps on the calling thread; if so they always
    // will, so a step may read the request's own memory (a write's bytes,
    // without a copy).
    bool stays_on_this_thread(const int32_t* fds) noexcept;

    // Queues replica k's step (its worker, or inline without workers or
    // for an idle local replica); nothing for a replica given up on
    // earlier in the request.
    void submit(int k) noexcept;

    // The request's calls wait on the device (fsync, a synchronous
    // write): replicas on disks run them side by side, one on the calling
    // thread and the others on their workers, which gains more than a
    // hand-over costs.
    void waits_on_device() noexcept { device_wait_ = true; }

    // Waits until every queued slot is done or its replica left service,
    // or the deadline passes; then logs and disables the replicas that
    // missed it (word names the operation) and gives up the rest.
    void wait(const char* word) noexcept { wait_for(word, false); }

    // For steps on replicas' records, which may be out of service (one
    // being trusted, one that left): waits for every queued slot, in
    // service or not, until the deadline, then gives up on the rest and
    // disables nothing, for a caller that cannot disable from where it is.
    void wait_for_records() noexcept { wait_for(nullptr, true); }

    // Whether replica k ran the current step to its end within a wait.
    bool answered(int k) const noexcept
    {
        return job_->slots[k].state.load(std::memory_order_relaxed) == slot_state::answered;
    }

    // Whether replica k was given up: it missed the deadline in a wait of
    // this request (or left service before answering).
    bool timed_out(int k) const noexcept { return job_->slots[k].given_up(); }

    // Whether replica k's slot was handed over for the current step (to
    // its worker or to this thread), so that its step takes care of what
    // it was given (a descriptor to close) even when given up.
    bool handed_over(int k) const noexcept
    {
        return job_->slots[k].state.load(std::memory_order_relaxed) != slot_state::idle;
    }

private:
    // Runs the steps submit() left to this thread (closes_only: only
    // those that must run whatever becomes of the request).
    void run_deferred(bool closes_only) noexcept;

    void wait_for(const char* word, bool records) noexcept;

    // Whether replica k's step runs on the calling thread: k is local and
    // its worker idle, and k is not one of several disk replicas that a
    // device wait runs side by side (the first of those still runs here).
    bool runs_here(int k) noexcept;

    replica_job* job_ = nullptr;
    bool pinned_ = false;  // every step runs on the calling thread (stays_on_this_thread)
    bool device_wait_ = false;
    bool kept_here_ = false;  // a replica run side by side already runs here
};
