#include "tests/support/chosen_roots_mount.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/mount_harness.h"

namespace {

std::string command_line_of(pid_t pid)
{
    std::string text = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : text)
        if (c == '\0')
            c = ' ';
    return text;
}

// The exit status once the process has ended, within the time allowed;
// -1 otherwise.
int status_within(pid_t pid, int timeout_ms)
{
    int status = 0, code = -1;
    eventually(
        [&] {
            if (waitpid(pid, &status, WNOHANG) != pid)
                return false;
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        },
        timeout_ms);
    return code;
}

}  // namespace

chosen_roots_mount::chosen_roots_mount(const std::vector<std::string>& roots, const std::string& mnt,
                                       const std::string& log)
    : mnt_(mnt)
{
    // The daemon that libfuse forks into the background becomes our child.
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    std::string list;
    for (const std::string& root : roots)
        list += (list.empty() ? "" : "=") + root;
    const command_result started = run_vornelix(
        {"--log", log, "-o", "allow_other,attr_timeout=0,entry_timeout=0,negative_timeout=0", list, mnt});
    start_output_ = started.out + started.err;
    if (started.status != 0 || !eventually([&] { return mounted(); }, 5000))
        return;
    for (pid_t child : children_of(getpid()))
        if (command_line_of(child).find(" " + mnt) != std::string::npos)
            daemon_ = child;
}

chosen_roots_mount::~chosen_roots_mount()
{
    if (mounted() || daemon_ > 0)
        unmount();
}

bool chosen_roots_mount::mounted() const
{
    return is_mounted(mnt_);
}

int chosen_roots_mount::unmount()
{
    if (mounted() && umount2(mnt_.c_str(), 0) != 0)
        umount2(mnt_.c_str(), MNT_DETACH);
    if (daemon_ <= 0)
        return -1;
    const int status = status_within(daemon_, 10000);
    if (status < 0) {
        kill(daemon_, SIGKILL);
        waitpid(daemon_, nullptr, 0);
    }
    daemon_ = -1;
    return status;
}
