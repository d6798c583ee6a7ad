#include <sys/stat.h>

#include <cerrno>

#include "fs/control/control_server.h"
#include "fs/engine/event_log.h"
#include "fs/engine/fd_table.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replica_record.h"
#include "fs/engine/replica_set.h"
#include "fs/engine/replica_workers.h"
#include "fs/engine/replicas.h"
#include "fs/kernel/operations.h"
#include "fs/resync/healing.h"
#include "fs/resync/resync.h"

void fs_init() noexcept
{
    // Putting the process in the background moved it to "/": come back to
    // the directory under the mount, which the mount-point replica's
    // relative paths start from.
    if (state().mount.directory >= 0)
        (void)fchdir(state().mount.directory);

    // The mount exists now: until destroy, a stop is a crash.
    mark_replicas_mounted();

    // Threads started before the hand-over would not have survived it.
    if (!start_replica_workers(state().replicas.count))
        write_log("replica workers", state().mount.path, EAGAIN);
    for (int k = 0; k < state().replicas.count; ++k)
        set_replica_local(k, replica_at(k).root_fd.load());
    // A first start over an empty replica beside full ones fills it now,
    // while the mount serves from the others.
    if (const std::vector<int> fill = take_replicas_to_fill(); !fill.empty())
        if (const int error = resync_fill(fill); error != 0)
            for (const int k : fill)
                write_log("resync to fill the replica", replica_at(k).root, -error);
    // Replicas that stop answering from now on come back by themselves.
    heal_start();

    if (!state().settings.ctl_requested || !state().settings.ctl_path)
        return;
    const char* ctl_path = state().settings.ctl_path->c_str();
    struct stat st;
    if (stat(ctl_path, &st) != 0) {
        if (errno != ENOENT || mkdir(ctl_path, S_IFDIR | 0500) != 0) {
            write_log("control directory", ctl_path, errno);
            return;
        }
    }
    start_control_thread();
}

namespace {
bool left_behind = false;  // written by destroy, read once the loop has ended
}  // namespace

bool threads_left_behind() noexcept
{
    return left_behind;
}

void fs_destroy() noexcept
{
    // The control thread may still be waiting for a request: it must never
    // serve one with what is released here.
    stop_control_service();
    // Before the resync stops, so that healing starts none afterwards.
    heal_stop();
    // A resync still running stops where it is: the replica stays behind.
    // One stuck in a call on a replica that stopped answering is left to
    // the process's end, with what it may still read.
    const bool resync_ended = resync_stop();
    // A close on a replica whose worker is stuck would hang as well: its
    // descriptors go with the process.
    for (uint64_t slot = 0; slot < state().fd_table.size; ++slot)
        if (int32_t* fds = fd_table_get(slot))
            for (int k = 0; k < state().replicas.count; ++k)
                if (fds[k] > 0 && replica_worker_stuck(k))
                    fds[k] = 0;
    // While the workers still run: a replica that stopped answering keeps
    // its marker rather than the unmount.
    release_replica_records();
    // A thread left inside a call on a replica that stopped answering
    // returns whenever the replica answers again, into whatever the rest of
    // this teardown would have freed by then (the workers, the replica
    // set): with the mount gone and the records written, nothing more is
    // freed, and the process ends once the loop has (serve_mount), without
    // its exit handlers.
    bool stuck = !resync_ended;
    for (int k = 0; k < state().replicas.count && !stuck; ++k)
        stuck = replica_worker_stuck(k);
    if (stuck) {
        left_behind = true;
        return;
    }
    const bool workers_stopped = stop_replica_workers();
    // Files still open at unmount get no release request: their
    // descriptors and arrays go now, while the replica count is known
    // (unless a resync left behind may still hand them descriptors).
    if (resync_ended)
        fd_table_release_all(state().replicas.count);
    // A worker left in a call may go on with its step when the call
    // returns, and the step reads the replica table and root descriptors:
    // those then go with the process.
    left_behind = !workers_stopped || !resync_ended;
    release_replica_set(!left_behind);
}
