// vornelix: mounts one tree and keeps every replica directory a full copy.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <new>

#include "fs/cli/options.h"
#include "fs/engine/event_log.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replica_lock.h"
#include "fs/engine/replica_set.h"
#include "fs/kernel/mount.h"

namespace {

// A mount point that is a vornelix mount already, found in the mount
// table before anything resolves the path: resolving it would wait on that
// mount's daemon, forever if it hangs.
start_status check_mount_point_free()
{
    const std::string& word = state().settings.mount_word;
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
    const start_settings& settings = state().settings;
    const std::string first_word = settings.replica_list.substr(0, settings.replica_list.find('='));
    const int built = build_replica_set(settings.replica_list, settings.mount_word);
    if (built != 0)
        return built;

    return serve_mount(first_word, state().mount.path, *settings.mount_argument);
}

}  // namespace

int main(int argc, char** argv)
{
    // The one process state. Static rather than on main's stack: the
    // detached control thread may still look at its stopped flag while the
    // process ends.
    static process_state daemon_state;
    install_state(&daemon_state);
    try {
        return start(argc, argv);
    } catch (const std::bad_alloc&) {
        print_error(start_low_memory, "start-up allocation");
        return start_low_memory;
    }
}
