// vornctl: the control tree of a vornelix mount. Started by vornelix with
// its standard input on the reply pipe and its standard output on the
// request pipe; takes no arguments.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include <fuse.h>
#include <fuse_lowlevel.h>

#include "common/frame.h"
#include "ctl/ops.h"
#include "ctl/tree.h"

namespace {

constexpr int exit_unmounted = 0;
constexpr int exit_failure = 1;  // no mount, or reading requests failed
constexpr int exit_no_configuration = 255;
constexpr int exit_no_tree = 1;

// The info exchange: mount point, control directory, replica count, then
// one root per replica. 0, or -1 when the channel or memory fails.
int receive_configuration() noexcept
{
    std::string message;
    if (write_frame(channel_out, "info") != 0)
        return -1;
    try {
        if (read_message(channel_in, message) != 0)
            return -1;
        fs_mount_path = message;
        if (read_message(channel_in, message) != 0)
            return -1;
        ctl_path = message;
        if (read_message(channel_in, message) != 0)
            return -1;
        unsigned count = 0;
        if (sscanf(message.c_str(), "%X", &count) != 1 || count > 0xFF)
            return -1;
        replica_entries.assign(count, std::string());
        for (unsigned i = 0; i < count; ++i) {
            if (read_message(channel_in, message) != 0)
                return -1;
            replica_entries[i] = replica_entry_name(message, fs_mount_path);
        }
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

void release_configuration() noexcept
{
    std::string().swap(fs_mount_path);
    std::string().swap(ctl_path);
    std::vector<std::string>().swap(replica_entries);
}

// FUSE's debug trace goes to descriptor 2. Left closed, the number would
// be reused by the next open, /dev/fuse included, and the trace written
// into it: keep it taken by /dev/null instead.
void quiet_standard_error() noexcept
{
    const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        close(STDERR_FILENO);
        return;
    }
    if (null_fd != STDERR_FILENO) {
        dup2(null_fd, STDERR_FILENO);
        close(null_fd);
    }
}

// What fuse_main does, with the exit statuses vornctl has always had: 0
// when the tree was unmounted or vornctl was told to end by a signal, 1
// for any failure. (libfuse 3's fuse_main answers 8 for a signal.)
int serve_tree(int argc, char** argv, const struct fuse_operations& operations) noexcept
{
    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
    struct fuse_cmdline_opts command_line {};
    if (fuse_parse_cmdline(&args, &command_line) != 0) {
        fuse_opt_free_args(&args);
        return exit_failure;
    }
    int status = exit_failure;
    struct fuse* fuse = fuse_new(&args, &operations, sizeof operations, nullptr);
    if (fuse != nullptr) {
        struct fuse_session* session = fuse_get_session(fuse);
        if (fuse_mount(fuse, command_line.mountpoint) == 0) {
            if (fuse_daemonize(command_line.foreground) == 0 && fuse_set_signal_handlers(session) == 0) {
                struct fuse_loop_config loop {};
                loop.clone_fd = command_line.clone_fd;
                loop.max_idle_threads = command_line.max_idle_threads;
                // 0 once unmounted, a signal's number when one ended the
                // loop, -errno when reading requests failed.
                const int ended = fuse_loop_mt(fuse, &loop);
                status = ended < 0 ? exit_failure : exit_unmounted;
                fuse_remove_signal_handlers(session);
            }
            fuse_unmount(fuse);
        }
        fuse_destroy(fuse);
    }
    free(command_line.mountpoint);
    fuse_opt_free_args(&args);
    return status;
}

}  // namespace

int main(int, char** argv)
{
    // When vornelix has gone, a request must fail with EPIPE (a status
    // read answers EIO, the script reports CRITICAL), not end the control
    // tree.
    signal(SIGPIPE, SIG_IGN);

    // One pair of streams carries every exchange, from the first to the
    // last: nothing is read ahead on standard input that another stream
    // would miss.
    channel_in = fdopen(STDIN_FILENO, "r");
    channel_out = fdopen(STDOUT_FILENO, "a");
    if (channel_in == nullptr || channel_out == nullptr || receive_configuration() != 0) {
        release_configuration();
        return exit_no_configuration;
    }
    if (build_tree() != 0) {
        release_configuration();
        return exit_no_tree;
    }
    quiet_standard_error();

    struct fuse_operations operations;
    fill_ctl_operations(operations);
    std::string mount_point = ctl_path;
    // Inode numbers and timeouts are set in ctl_init.
    char options[] = "-oallow_other,debug";
    char* fuse_argv[] = {argv[0], mount_point.data(), options, nullptr};
    const int result = serve_tree(3, fuse_argv, operations);

    release_configuration();
    return result;
}
