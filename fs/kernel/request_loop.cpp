#include "fs/kernel/request_loop.h"

#include <linux/fuse.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <new>

#include <fuse.h>
#include <fuse_lowlevel.h>

namespace {

// Held around every request that opcode_takes_namespace_gate names (see
// request_loop.h); lock_order.h: #1, before libfuse's path locks.
std::mutex namespace_gate;

struct loop_state;

// One request thread and its receive buffer (not to be confused with the
// replicas' workers, replica_workers.h). They form a ring headed by the
// loop's own record.
struct request_thread {
    request_thread* prev = nullptr;
    request_thread* next = nullptr;
    pthread_t thread{};
    size_t buffer_size = 0;
    char* buffer = nullptr;
    loop_state* loop = nullptr;
    // What a receive fills in. They live here rather than on the thread's
    // stack: a thread cancelled in the receive leaves its frame without
    // the clean-up that a sanitizer build needs for stack objects whose
    // address was taken.
    struct fuse_buf request{};
    struct fuse_chan* channel = nullptr;
};

struct loop_state {
    std::mutex lock;  // the ring, the counts, exiting; lock_order.h: #15, a leaf
    struct fuse_session* session = nullptr;
    struct fuse_chan* channel = nullptr;
    request_thread head;
    int threads = 0;
    int idle = 0;
    bool exiting = false;
    int error = 0;
    sem_t finished;
};

// Idle threads kept waiting for requests beyond those at work.
constexpr int most_idle_threads = 10;

void link_thread(request_thread* t, request_thread* head)
{
    t->next = head;
    t->prev = head->prev;
    head->prev->next = t;
    head->prev = t;
}

void unlink_thread(request_thread* t)
{
    t->prev->next = t->next;
    t->next->prev = t->prev;
}

void free_thread(request_thread* t)
{
    std::free(t->buffer);
    delete t;
}

int start_request_thread(loop_state* loop);

uint32_t request_opcode(const struct fuse_buf& buffer)
{
    if ((buffer.flags & FUSE_BUF_IS_FD) || buffer.size < sizeof(struct fuse_in_header))
        return 0;
    return static_cast<const struct fuse_in_header*>(buffer.mem)->opcode;
}

// Not noexcept: a cancellation while waiting for a request unwinds
// through here (nothing is held at that point). The locks are taken and
// let go by hand, with no owner object on the frame that a cancellation
// abandons, for the reason the receive's results live in the thread's record.
void* serve_kernel_requests(void* data)
{
    request_thread* t = static_cast<request_thread*>(data);
    loop_state* loop = t->loop;
    while (!fuse_session_exited(loop->session)) {
        t->channel = loop->channel;
        std::memset(&t->request, 0, sizeof t->request);
        t->request.mem = t->buffer;
        t->request.size = t->buffer_size;

        pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
        const int received = fuse_session_receive_buf(loop->session, &t->request, &t->channel);
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
        if (received == -EINTR)
            continue;
        if (received <= 0) {
            if (received < 0) {
                fuse_session_exit(loop->session);
                loop->error = received;
            }
            break;
        }

        const uint32_t opcode = request_opcode(t->request);
        // A burst of forgets must not start a thread each.
        const bool forget = opcode == FUSE_FORGET || opcode == FUSE_BATCH_FORGET;
        // A request read is served even while the loop ends: a release
        // that the kernel sent just before the unmount would otherwise be
        // lost, and its handle with it.
        loop->lock.lock();
        if (!forget)
            --loop->idle;
        if (loop->idle == 0 && !loop->exiting)
            (void)start_request_thread(loop);
        loop->lock.unlock();

        const bool gated = opcode_takes_namespace_gate(opcode);
        if (gated)
            namespace_gate.lock();
        fuse_session_process_buf(loop->session, &t->request, t->channel);
        if (gated)
            namespace_gate.unlock();

        loop->lock.lock();
        if (!forget)
            ++loop->idle;
        if (loop->idle > most_idle_threads) {
            if (loop->exiting) {
                loop->lock.unlock();
                return nullptr;
            }
            unlink_thread(t);
            --loop->idle;
            --loop->threads;
            loop->lock.unlock();
            pthread_detach(t->thread);
            free_thread(t);
            return nullptr;
        }
        loop->lock.unlock();
    }
    sem_post(&loop->finished);
    return nullptr;
}

// Called with loop->lock held. 0, or -errno after a message on stderr.
int start_request_thread(loop_state* loop)
{
    request_thread* t = new (std::nothrow) request_thread;
    if (!t) {
        std::fputs("vornelix: no memory for a request thread\n", stderr);
        return -ENOMEM;
    }
    t->loop = loop;
    t->buffer_size = fuse_chan_bufsize(loop->channel);
    t->buffer = static_cast<char*>(std::malloc(t->buffer_size));
    if (!t->buffer) {
        std::fputs("vornelix: no memory for a request buffer\n", stderr);
        delete t;
        return -ENOMEM;
    }
    // Signals that end the mount are taken by the main thread only.
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    for (const int s : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        sigaddset(&blocked, s);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    const int rc = pthread_create(&t->thread, nullptr, serve_kernel_requests, t);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (rc != 0) {
        std::fprintf(stderr, "vornelix: cannot start a request thread: %s\n", std::strerror(rc));
        free_thread(t);
        return -rc;
    }
    link_thread(t, &loop->head);
    ++loop->idle;
    ++loop->threads;
    return 0;
}

}  // namespace

bool opcode_takes_namespace_gate(uint32_t opcode) noexcept
{
    switch (opcode) {
    // unlink stays out: its write lock is on a file, which lies on no
    // other request's path, and it takes all its locks at once or none.
    case FUSE_RENAME:
    case FUSE_RENAME2:
    case FUSE_LINK:
    case FUSE_RMDIR:
        return true;
    default:
        return false;
    }
}

int run_request_loop(struct fuse* f)
{
    loop_state loop;
    loop.session = fuse_get_session(f);
    loop.channel = fuse_session_next_chan(loop.session, nullptr);
    loop.head.prev = loop.head.next = &loop.head;
    sem_init(&loop.finished, 0, 0);

    int error;
    {
        const std::lock_guard<std::mutex> starting(loop.lock);
        error = start_request_thread(&loop);
    }
    if (error == 0) {
        // Interrupted by the signals that end the mount.
        while (!fuse_session_exited(loop.session))
            sem_wait(&loop.finished);

        {
            // Threads still waiting for a request stop there; a thread at
            // work finishes its request first (cancellation is off
            // meanwhile).
            const std::lock_guard<std::mutex> ending(loop.lock);
            for (request_thread* t = loop.head.next; t != &loop.head; t = t->next)
                pthread_cancel(t->thread);
            loop.exiting = true;
        }

        while (loop.head.next != &loop.head) {
            request_thread* t = loop.head.next;
            pthread_join(t->thread, nullptr);
            {
                const std::lock_guard<std::mutex> ending(loop.lock);
                unlink_thread(t);
            }
            free_thread(t);
        }
        error = loop.error;
    }
    sem_destroy(&loop.finished);
    fuse_session_reset(loop.session);
    return error;
}
