#include "fs/control/control_server.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>

#include "common/frame.h"
#include "common/resync_figures.h"
#include "fs/engine/errors.h"
#include "fs/engine/event_log.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replica_service.h"
#include "fs/engine/replica_workers.h"
#include "fs/engine/replicas.h"
#include "fs/resync/healing.h"
#include "fs/resync/resync.h"
#include "fs/resync/resync_progress.h"

namespace {

// Protects against destroy, and the process state's control_stopped: held
// while the thread reads the replica table, the paths or the log, that is
// while it starts the child and while it serves one request. Never held
// while it waits for a request.
std::mutex service_lock;  // lock_order.h: #6, after the write-order stripes

constexpr int max_channel_replicas = 0xFF;
constexpr const char* thread_name = "vornelix-ctl";

// Owns a stdio stream or a bare descriptor for the thread's lifetime.
struct stream_owner {
    FILE* stream = nullptr;
    ~stream_owner()
    {
        if (stream != nullptr)
            fclose(stream);
    }
};

struct fd_owner {
    int fd = -1;
    ~fd_owner()
    {
        if (fd >= 0)
            close(fd);
    }
    int release() noexcept
    {
        int kept = fd;
        fd = -1;
        return kept;
    }
    void reset() noexcept
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

bool starts_with(std::string_view text, std::string_view prefix) noexcept
{
    return text.substr(0, prefix.size()) == prefix;
}

// Up to two hexadecimal digits after optional white space, as "%2X" reads
// them; -1 when there is no digit.
int parse_index(std::string_view text) noexcept
{
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    int value = 0;
    int digits = 0;
    for (; i < text.size() && digits < 2; ++i, ++digits) {
        char c = text[i];
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            break;
        value = value * 16 + v;
    }
    return digits == 0 ? -1 : value;
}

bool in_range(int index) noexcept
{
    return index >= 0 && index < state().replicas.count;
}

char state_digit(replica_state state) noexcept
{
    switch (state) {
    case replica_state::in_service:
        return '0';
    case replica_state::behind:
        return '1';
    case replica_state::disabled:
        break;
    }
    return '2';
}

// One reply frame: 0 or -errno (the frame layer answers -1 with errno).
int reply(FILE* out, std::string_view text) noexcept
{
    return write_frame(out, text) == 0 ? 0 : -failure_errno();
}

int send_info(FILE* out) noexcept
{
    char count[3];
    snprintf(count, sizeof count, "%02X", static_cast<unsigned>(state().replicas.count));
    if (write_padded_frame(out, state().mount.path) != 0 ||
        write_padded_frame(out, *state().settings.ctl_path) != 0 || write_frame(out, count) != 0)
        return -failure_errno();
    for (int k = 0; k < state().replicas.count; ++k) {
        const replica_info& replica = replica_at(k);
        std::string_view root(replica.root.data(), std::min<uint64_t>(replica.root_length, replica.root.size()));
        if (write_padded_frame(out, root) != 0)
            return -failure_errno();
    }
    return 0;
}

// inherited_mask: the signal mask the thread was created with, handed back
// to the child.
[[noreturn]] void exec_control_program(int reply_read, int request_write, const char* program, int open_max,
                                       const sigset_t& inherited_mask) noexcept
{
    // Only async-signal-safe calls from here on: the parent has other
    // threads whose locks the fork copied in whatever state they were.
    //
    // Lift both ends above the standard descriptors first, so that neither
    // dup2 can overwrite the other end whatever numbers the pipes got.
    int in = fcntl(reply_read, F_DUPFD, 3);
    int out = fcntl(request_write, F_DUPFD, 3);
    if (in < 0 || out < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0)
        _exit(127);
    // The control program must hold nothing of ours: not /dev/fuse, not
    // the replicas' files, and no other end of the pipes, or it would never
    // see the end of the channel.
    if (close_range(3, ~0U, 0) != 0) {
        for (int fd = 3; fd < open_max; ++fd)
            close(fd);
    }
    sigprocmask(SIG_SETMASK, &inherited_mask, nullptr);
    execlp(program, program, static_cast<char*>(nullptr));
    // Nothing of the parent is touched: no stdio flush, no atexit handler.
    _exit(127);
}

// Starts the child and serves it. Every way out releases what was made.
void run_control_channel(const sigset_t& inherited_mask) noexcept
{
    std::unique_lock<std::mutex> lock(service_lock);
    if (state().control_stopped || !state().settings.ctl_path || !state().settings.ctl_program)
        return;
    if (auto refusal = check_channel_limits()) {
        write_log("control channel", refusal->path, refusal->code);
        return;
    }
    std::string program;
    try {
        program = *state().settings.ctl_program;
    } catch (...) {
        write_log("control channel", *state().settings.ctl_path, ENOMEM);
        return;
    }
    const long open_max_value = sysconf(_SC_OPEN_MAX);
    const int open_max = open_max_value > 0 && open_max_value < (1 << 20) ? static_cast<int>(open_max_value) : 1024;

    int reply_pipe[2];
    int request_pipe[2];
    if (pipe2(reply_pipe, O_CLOEXEC) != 0)
        return;
    fd_owner reply_read{reply_pipe[0]}, reply_write{reply_pipe[1]};
    if (pipe2(request_pipe, O_CLOEXEC) != 0)
        return;
    fd_owner request_read{request_pipe[0]}, request_write{request_pipe[1]};

    const pid_t child = fork();
    if (child < 0)
        return;
    if (child == 0)
        exec_control_program(reply_read.fd, request_write.fd, program.c_str(), open_max, inherited_mask);

    close(reply_read.release());
    close(request_write.release());

    stream_owner in, out;
    int stream_error = 0;
    in.stream = fdopen(request_read.fd, "r");
    if (in.stream != nullptr)
        request_read.release();
    else
        stream_error = errno;
    out.stream = fdopen(reply_write.fd, "w");
    if (out.stream != nullptr)
        reply_write.release();
    else if (stream_error == 0)
        stream_error = errno;
    if (in.stream == nullptr || out.stream == nullptr) {
        // The child sees end of stream on its standard input and ends.
        write_log("control channel", *state().settings.ctl_path, stream_error);
    } else {
        lock.unlock();
        serve_control_requests(in.stream, out.stream);
        lock.lock();
    }
    const bool stopped = state().control_stopped;
    lock.unlock();

    // Closing our ends now, rather than at exit, tells the control program
    // at once that nobody will answer it any more.
    if (in.stream != nullptr) {
        fclose(in.stream);
        in.stream = nullptr;
    }
    if (out.stream != nullptr) {
        fclose(out.stream);
        out.stream = nullptr;
    }
    request_read.reset();
    reply_write.reset();

    // Reap the control program once it has gone, unless the filesystem is
    // being unmounted, in which case the process exits anyway.
    if (!stopped) {
        int status;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void* control_thread(void*) noexcept
{
    // Signals are for libfuse's handlers in the request threads: one taken
    // here would not end the session loop promptly.
    sigset_t all;
    sigfillset(&all);
    sigset_t inherited_mask;
    pthread_sigmask(SIG_BLOCK, &all, &inherited_mask);
    pthread_setname_np(pthread_self(), thread_name);
    run_control_channel(inherited_mask);
    return nullptr;
}

}  // namespace

std::optional<channel_refusal> check_channel_limits() noexcept
{
    try {
        if (state().replicas.count > max_channel_replicas)
            return channel_refusal{ERANGE, state().settings.ctl_path.value_or("")};
        if (state().mount.path.size() > max_frame_payload)
            return channel_refusal{ENAMETOOLONG, state().mount.path};
        if (state().settings.ctl_path && state().settings.ctl_path->size() > max_frame_payload)
            return channel_refusal{ENAMETOOLONG, *state().settings.ctl_path};
        for (int k = 0; k < state().replicas.count; ++k) {
            if (replica_at(k).root.size() > max_frame_payload)
                return channel_refusal{ENAMETOOLONG, replica_at(k).root};
        }
    } catch (...) {
        return channel_refusal{ENOMEM, ""};
    }
    return std::nullopt;
}

int answer_request(const std::string& payload, FILE* out) noexcept
{
    std::string_view text(payload);
    if (starts_with(text, "stat:")) {
        int index = parse_index(text.substr(5));
        if (index < 0)
            index = 0;
        if (!in_range(index))
            return reply(out, "ERR");
        const char digit[2] = {state_digit(state_of(index)), '\0'};
        return reply(out, digit);
    }
    if (starts_with(text, "disable:")) {
        const int index = parse_index(text.substr(8));
        if (!in_range(index))
            return reply(out, "ERR");
        disable_replica(index, true);
        return reply(out, "OK");
    }
    if (starts_with(text, "trust:")) {
        const int index = parse_index(text.substr(6));
        if (!in_range(index))
            return reply(out, "ERR");
        // Trusting records the replica current on its own disk: a replica
        // whose worker is still inside a call given up on at the deadline
        // would hang this thread, and every status read behind it.
        if (replica_worker_stuck(index))
            return reply(out, "ERR " + std::to_string(EBUSY));
        trust_replica(index, true);
        return reply(out, "OK");
    }
    if (starts_with(text, "resync:")) {
        const int index = parse_index(text.substr(7));
        if (!in_range(index))
            return reply(out, "ERR");
        const int refused = resync_start(index);
        if (refused == 0)
            return reply(out, "OK");
        return reply(out, "ERR " + std::to_string(-refused));
    }
    if (starts_with(text, "prog:")) {
        const int index = parse_index(text.substr(5));
        if (!in_range(index))
            return reply(out, "ERR");
        try {
            return reply(out, format_resync_figures(resync_figures_of(index)));
        } catch (...) {
            return reply(out, "ERR");
        }
    }
    if (text == "heal")
        return reply(out, std::to_string(heal_rounds()));
    if (text == "info")
        return send_info(out);
    return reply(out, "ERR");
}

void serve_control_requests(FILE* in, FILE* out) noexcept
{
    std::string message;
    while (read_message(in, message) == 0) {
        std::lock_guard<std::mutex> guard(service_lock);
        if (state().control_stopped)
            return;
        // A reply that cannot be delivered means the control program is
        // gone, or the channel is broken mid-reply: stop either way.
        if (answer_request(message, out) != 0)
            return;
    }
}

void start_control_thread() noexcept
{
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return;
    // Nobody joins the thread: let its resources go when it ends.
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int err = pthread_create(&thread, &attributes, control_thread, nullptr);
    pthread_attr_destroy(&attributes);
    if (err != 0 && state().settings.ctl_path)
        write_log("control thread", *state().settings.ctl_path, err);
}

void stop_control_service() noexcept
{
    std::lock_guard<std::mutex> guard(service_lock);
    state().control_stopped = true;
}
