// vornelix: mounts one tree and keeps every replica directory a full copy.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <new>

#include "fs/event_log.h"
#include "fs/operations.h"
#include "fs/options.h"
#include "fs/replica_lock.h"
#include "fs/replica_set.h"
#include "fs/request_loop.h"

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

// A mount point that is a vornelix mount already, found in the mount
// table before anything resolves the path: resolving it would wait on that
// mount's daemon, forever if it hangs.
start_status check_mount_point_free()
{
    const std::string& word = settings.mount_word;
    const std::string path = lexical_absolute(!word.empty() && word[0] == ':' ? word.substr(1) : word);
    if (!vornelix_mount_at(path))
        return {};
    print_message(word, "Mount point is already a vornelix mount");
    return {true, EBUSY};
}

int start(int argc, char** argv)
{
    // Every mode the filesystem passes to the system is applied exactly.
    umask(0);
    // A write past a file-size limit must come back as EFBIG for the
    // replica concerned, not kill the process and leave a dead mount.
    signal(SIGXFSZ, SIG_IGN);

    start_status status = scan_command_line(argc, argv);
    if (!status.stop)
        status = check_mount_point_free();
    if (!status.stop)
        status = check_paths_outside_mount();
    if (!status.stop)
        status = build_mount_argument();
    if (!status.stop)
        status = find_ctl_program(argv[0]);
    if (status.stop)
        return status.exit_status;

    // build_replica_set splits the list: word 0 for FUSE is the first
    // replica word as typed.
    const std::string first_word = settings.replica_list.substr(0, settings.replica_list.find('='));
    const int built = build_replica_set(settings.replica_list, settings.mount_word);
    if (built != 0)
        return built;

    std::string word0 = first_word;
    std::string word1 = mount_path;
    std::string word2 = *settings.mount_argument;
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

}  // namespace

int main(int argc, char** argv)
{
    try {
        return start(argc, argv);
    } catch (const std::bad_alloc&) {
        print_error(start_low_memory, "start-up allocation");
        return start_low_memory;
    }
}
