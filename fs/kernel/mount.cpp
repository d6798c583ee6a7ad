#include "fs/kernel/mount.h"

#include <unistd.h>

#include <cstdio>

#include "fs/kernel/operations.h"
#include "fs/kernel/request_loop.h"

namespace {

// Options every mount gets:
//  - default_permissions: the kernel checks every request against the mode,
//    owner and group the mount reports, with the calling process's own
//    credentials and supplementary groups, exactly as for a local file
//    system (FIFOs and devices included, which never reach vornelix);
//  - big_writes: writes arrive in pieces of up to 128 KiB instead of 4 KiB,
//    which every replica then takes in one call;
//  - subtype=vornelix: the mount table shows every vornelix mount as
//    fuse.vornelix (libfuse would name it after the first replica), which
//    is how a second mount on the same mount point is recognised.
constexpr const char* forced_mount_options = "-odefault_permissions,big_writes,subtype=vornelix";

}  // namespace

int serve_mount(const std::string& program_word, const std::string& mount_path,
                const std::string& mount_argument)
{
    std::string word0 = program_word;
    std::string word1 = mount_path;
    std::string word2 = mount_argument;
    std::string word3 = forced_mount_options;
    char* fuse_argv[] = {word0.data(), word1.data(), word2.data(), word3.data(), nullptr};

    struct fuse_operations operations;
    fill_operations(operations);
    // What fuse_main would do, with a request loop of our own (see
    // request_loop.h) in place of libfuse's multi-threaded one.
    char* mount_point = nullptr;
    int multithreaded = 0;
    struct fuse* f = fuse_setup(4, fuse_argv, &operations, sizeof operations, &mount_point,
                                &multithreaded, nullptr);
    if (!f)
        return 1;
    const int served = multithreaded ? run_request_loop(f) : fuse_loop(f);
    fuse_teardown(f, mount_point);
    const int ended = served < 0 ? 1 : 0;
    if (threads_left_behind()) {
        // Not every stream: the control thread may be inside a read of its
        // channel, holding that stream's lock for good.
        std::fflush(stdout);
        _exit(ended);
    }
    return ended;
}
