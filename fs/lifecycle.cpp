#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/control_server.h"
#include "fs/event_log.h"
#include "fs/fd_table.h"
#include "fs/operations.h"
#include "fs/options.h"
#include "fs/replica_record.h"
#include "fs/replica_set.h"
#include "fs/replicas.h"
#include "fs/resync.h"

void* fs_init(struct fuse_conn_info*) noexcept
{
    // Putting the process in the background moved it to "/": come back to
    // the directory under the mount, which the mount-point replica's
    // relative paths start from.
    if (mount_point_directory >= 0)
        (void)fchdir(mount_point_directory);

    // The mount exists now: until destroy, a stop is a crash.
    mark_replicas_mounted();

    if (!settings.ctl_requested || !settings.ctl_path)
        return nullptr;
    const char* ctl_path = settings.ctl_path->c_str();
    struct stat st;
    if (stat(ctl_path, &st) != 0) {
        if (errno != ENOENT || mkdir(ctl_path, S_IFDIR | 0500) != 0) {
            write_log("control directory", ctl_path, errno);
            return nullptr;
        }
    }
    start_control_thread();
    return nullptr;
}

void fs_destroy(void*) noexcept
{
    // The control thread may still be waiting for a request: it must never
    // serve one with what is released here.
    stop_control_service();
    // A resync still running stops where it is: the replica stays behind.
    resync_stop();
    // Files still open at unmount get no release request: their
    // descriptors and arrays go now, while the replica count is known.
    fd_table_release_all(replica_count);
    release_replica_records();
    release_replica_set();
}
