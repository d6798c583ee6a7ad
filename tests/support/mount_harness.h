// End-to-end harness: runs vornelix over fresh replica directories, waits
// for the mount, and always unmounts and reaps what it started, even when
// a test fails.
//
// The test process makes itself a child subreaper, so the daemon that
// libfuse forks into the background is re-parented to it: the harness can
// wait for the daemon and read its exit status.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct command_result {
    int status = -1;  // exit status (0..255), or 128+signal
    std::string out;
    std::string err;
};

// Runs vornelix (the built binary, or `program` when given) to its end,
// with stdin on /dev/null, capturing both streams; a run still going after
// timeout_ms is killed (status 128+SIGKILL). For start-up failures and
// texts; a command line that mounts leaves a daemon behind, so use
// test_mount for those, or remove_stray_mount after a refusal that failed.
command_result run_vornelix(const std::vector<std::string>& args,
                            const std::string& program = "", int timeout_ms = 60000);

// Whatever is mounted at path goes, even a mount whose daemon waits on
// itself: the FUSE connection is aborted (where the connections are
// visible), the mount is detached, and our children that name path are
// killed and reaped. True when something was mounted there.
bool remove_stray_mount(const std::string& path);

// The processes that keep a mount busy: pid, command and what of theirs
// lies under path (working or root directory, open files), one per line.
std::string holders_of(const std::string& path);

// A fresh 0755 directory under /tmp, removed with its contents at the end
// (after lazy-unmounting anything still mounted below it).
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct mount_options {
    int replicas = 2;                   // replica directories r0, r1, ...
    std::vector<std::string> replica_roots;  // existing directories instead
    std::vector<bool> low_priority;     // per replica: written with ':'
    bool mount_point_replica = false;   // mount point written with ':'
    std::string mount_point;            // an existing directory instead
    bool log = true;                    // --log <scratch>/vornelix.log
    bool control = false;               // --ctl <scratch>/ctl
    bool no_cache = true;               // attr/entry/negative timeouts 0
    bool allow_other = true;
    std::vector<std::string> extra_args;   // before the positional words
    std::vector<std::string> mount_tokens; // more -o tokens (log=..., fsname=...)
    // Mount as /etc/fstab would: mount -t fuse 'PROGRAM#LIST' MNT -o TOKENS,
    // through the mount.fuse helper (no extra_args, no --ctl).
    bool mount_helper = false;
    std::string program;                // another binary (a copy), if set
    std::vector<std::string> environment;  // extra NAME=VALUE for the daemon
};

class test_mount {
public:
    explicit test_mount(const mount_options& options = {});
    ~test_mount();
    test_mount(const test_mount&) = delete;
    test_mount& operator=(const test_mount&) = delete;

    const std::string& mnt() const { return mnt_; }
    std::string at(const std::string& name) const { return mnt_ + "/" + name; }
    // Root directory of replica i (for the mount-point replica, the
    // directory under the mount can only be reached through under()).
    const std::string& replica(int i) const { return replicas_[i]; }
    std::string in_replica(int i, const std::string& name) const { return replicas_[i] + "/" + name; }
    const std::string& ctl() const { return ctl_; }
    const std::string& log_path() const { return log_; }
    const scratch_dir& scratch() const { return scratch_; }
    std::string log_text() const;
    std::string daemon_stderr() const;
    pid_t daemon_pid() const { return daemon_; }
    bool mounted() const;

    // Unmounts and waits for the daemon; its exit status (or -1 when it
    // could not be reaped within the time allowed). A busy mount is tried
    // again until a deadline; if it stays busy, the test fails naming the
    // processes that hold it, and the mount is detached.
    int unmount();

private:
    scratch_dir scratch_;
    std::string mnt_, ctl_, log_, stderr_file_;
    std::vector<std::string> replicas_;
    pid_t daemon_ = -1;
    bool unmounted_ = false;
};

// Runs fn in a forked child that has dropped to uid/gid with the given
// supplementary groups (setgroups, setresgid, setresuid, in that order).
// fn answers 0 or an errno value; that value is returned (or -1 when the
// child could not drop its privileges or died).
int as_user(uid_t uid, gid_t gid, const std::vector<gid_t>& groups,
            const std::function<int()>& fn);

// Convenience wrappers that answer 0 or errno, for use inside as_user.
int errno_of(int result);

// Whole file contents, or "<missing>" when it cannot be read.
std::string read_file(const std::string& path);

// The status file of replica k in the mount's control tree (its root with
// every '/' turned into '_').
std::string status_file(const test_mount& m, int k);
// errno of writing text to a status file in one write after an O_TRUNC
// open, 0, or -1 for a short write.
int write_status(const std::string& path, const std::string& text);
void write_file(const std::string& path, const std::string& text, mode_t mode = 0644);

// Whether something is mounted exactly at path.
bool is_mounted(const std::string& path);

// The processes whose parent is parent_pid (found by their parent pid,
// whichever thread forked them). The test process's own children include
// the daemons re-parented to it.
std::vector<pid_t> children_of(pid_t parent_pid);

// Waits (bounded) until predicate holds; false on timeout. The deadline is
// generous: it is only reached when something is wrong.
bool eventually(const std::function<bool()>& predicate, int timeout_ms = 30000);
