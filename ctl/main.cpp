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

#include "common/frame.h"
#include "ctl/ops.h"
#include "ctl/tree.h"

namespace {

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
    char options[] = "-oallow_other,debug";
    // Without use_ino the kernel shows the library's own inode numbers,
    // given in lookup order, instead of the tree's. Without the zero
    // timeouts it would answer stat from its cache to any user, past the
    // permission checks of getattr.
    char inode_option[] = "-ouse_ino,attr_timeout=0,entry_timeout=0,negative_timeout=0";
    char* fuse_argv[] = {argv[0], mount_point.data(), options, inode_option, nullptr};
    const int result = fuse_main_real(4, fuse_argv, &operations, sizeof operations, nullptr);

    release_configuration();
    return result;
}
