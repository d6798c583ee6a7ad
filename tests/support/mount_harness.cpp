#include "tests/support/mount_harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#ifndef VORNELIX_BINARY
#error "the tests need the path of the built vornelix"
#endif

namespace {

// The daemon that libfuse forks into the background is re-parented to us,
// so that we can reap it and read its exit status.
void become_subreaper()
{
    static bool done = false;
    if (!done) {
        prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
        done = true;
    }
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

dev_t device_of(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_dev : 0;
}

std::string command_line_of(pid_t pid)
{
    std::string text = slurp("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : text)
        if (c == '\0')
            c = ' ';
    return text;
}

int wait_status_code(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// waitpid with a deadline; -1 when the process is still there.
int wait_bounded(pid_t pid, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return wait_status_code(status);
        if (done < 0)
            return -1;
        if (std::chrono::steady_clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void lazy_unmount(const std::string& path)
{
    if (is_mounted(path))
        umount2(path.c_str(), MNT_DETACH);
}

// Runs argv with stdin on /dev/null and stdout/stderr to files; answers the
// child's pid.
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& environment,
            const std::string& out_file, const std::string& err_file)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e)
        env_strings.push_back(*e);
    // A name given again replaces the inherited value; sanitizer option
    // lists are joined instead, so that the run's own options (where the
    // reports go) stay in force.
    for (const std::string& e : environment) {
        const std::string name = e.substr(0, e.find('=') + 1);
        auto same = std::find_if(env_strings.begin(), env_strings.end(),
                                 [&](const std::string& have) { return have.compare(0, name.size(), name) == 0; });
        if (same == env_strings.end())
            env_strings.push_back(e);
        else if (name.size() > 9 && name.compare(name.size() - 9, 9, "_OPTIONS=") == 0)
            *same += ":" + e.substr(name.size());
        else
            *same = e;
    }
    std::vector<char*> envp;
    for (std::string& e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

// "major:minor" of the mount at path, from mountinfo (no access to the
// mount itself, which may not answer); empty when nothing is mounted there.
std::string mount_device(const std::string& path)
{
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        if (fields >> id >> parent >> device >> root >> point && point == path)
            return device;
    }
    return "";
}

// Whether a /proc/PID link (cwd, root, fd/N) points at path or below it.
bool link_under(const std::string& link, const std::string& path)
{
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return false;
    const std::string text(target, static_cast<size_t>(n));
    return text == path || text.compare(0, path.size() + 1, path + "/") == 0;
}

}  // namespace

std::string holders_of(const std::string& path)
{
    std::string report;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return report;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0)
            continue;
        const std::string base = "/proc/" + std::string(entry->d_name);
        std::vector<std::string> what;
        for (const char* link : {"cwd", "root"})
            if (link_under(base + "/" + link, path))
                what.push_back(link);
        if (DIR* fds = opendir((base + "/fd").c_str())) {
            while (dirent* fd = readdir(fds))
                if (fd->d_name[0] != '.' && link_under(base + "/fd/" + fd->d_name, path))
                    what.push_back("fd " + std::string(fd->d_name));
            closedir(fds);
        }
        if (what.empty())
            continue;
        report += "pid " + std::to_string(pid) + " (" + command_line_of(pid) + "):";
        for (const std::string& w : what)
            report += " " + w;
        report += "\n";
    }
    closedir(proc);
    return report.empty() ? "no process holds a file under it\n" : report;
}

bool remove_stray_mount(const std::string& path)
{
    const std::string device = mount_device(path);
    if (device.empty())
        return false;
    // A daemon thread waiting on its own mount never answers: only aborting
    // the connection frees it. The connections are visible where fusectl
    // is mounted; elsewhere nothing touches the mount before it is detached.
    const std::string minor = device.substr(device.find(':') + 1);
    if (std::ofstream abort("/sys/fs/fuse/connections/" + minor + "/abort"); abort)
        abort << "1\n";
    umount2(path.c_str(), MNT_DETACH);
    for (pid_t child : children_of(getpid())) {
        if (command_line_of(child).find(path) != std::string::npos) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
    return true;
}

bool is_mounted(const std::string& path)
{
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, rest;
    while (mounts >> device >> point) {
        std::getline(mounts, rest);
        if (point == path)
            return true;
    }
    return false;
}

std::vector<pid_t> children_of(pid_t parent_pid)
{
    std::vector<pid_t> children;
    const pid_t self = parent_pid;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return children;
    while (dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0)
            continue;
        std::ifstream status("/proc/" + std::string(entry->d_name) + "/status");
        std::string key;
        while (status >> key) {
            if (key == "PPid:") {
                pid_t parent = 0;
                status >> parent;
                if (parent == self)
                    children.push_back(pid);
                break;
            }
            std::getline(status, key);
        }
    }
    closedir(proc);
    return children;
}

command_result run_vornelix(const std::vector<std::string>& args, const std::string& program, int timeout_ms)
{
    // A start that mounts after all leaves its daemon to us.
    become_subreaper();
    scratch_dir outputs;
    std::vector<std::string> argv = {program.empty() ? VORNELIX_BINARY : program};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = spawn(argv, {}, outputs / "out", outputs / "err");
    command_result result;
    if (pid > 0) {
        result.status = wait_bounded(pid, timeout_ms);
        if (result.status < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            result.status = 128 + SIGKILL;
        }
    }
    result.out = slurp(outputs / "out");
    result.err = slurp(outputs / "err");
    return result;
}

scratch_dir::scratch_dir()
{
    char pattern[] = "/tmp/vornelix-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made != nullptr ? made : "/tmp";
    chmod(path_.c_str(), 0755);
}

scratch_dir::~scratch_dir()
{
    if (path_ == "/tmp")
        return;
    // Anything still mounted below us goes first, lazily, so that removing
    // the tree can never walk into a live filesystem.
    std::vector<std::string> below;
    {
        std::ifstream mounts("/proc/self/mounts");
        std::string device, point, rest;
        while (mounts >> device >> point) {
            std::getline(mounts, rest);
            if (point.compare(0, path_.size() + 1, path_ + "/") == 0)
                below.push_back(point);
        }
    }
    for (auto it = below.rbegin(); it != below.rend(); ++it)
        umount2(it->c_str(), MNT_DETACH);
    const std::string command = "rm -rf --one-file-system '" + path_ + "'";
    if (std::system(command.c_str()) != 0) {
        // nothing more to do: a leftover temporary directory is harmless
    }
}

test_mount::test_mount(const mount_options& options)
{
    become_subreaper();
    mnt_ = options.mount_point.empty() ? scratch_ / "mnt" : options.mount_point;
    ctl_ = scratch_ / "ctl";
    log_ = scratch_ / "vornelix.log";
    stderr_file_ = scratch_ / "daemon.err";
    mkdir(mnt_.c_str(), 0755);

    std::string list;
    const int replicas = options.replica_roots.empty() ? options.replicas
                                                       : static_cast<int>(options.replica_roots.size());
    for (int i = 0; i < replicas; ++i) {
        std::string root = scratch_ / ("r" + std::to_string(i));
        if (options.replica_roots.empty())
            mkdir(root.c_str(), 0755);
        else
            root = options.replica_roots[i];
        replicas_.push_back(root);
        if (!list.empty())
            list += '=';
        if (i < static_cast<int>(options.low_priority.size()) && options.low_priority[i])
            list += ':';
        list += root;
    }

    const std::string program = options.program.empty() ? VORNELIX_BINARY : options.program;
    std::vector<std::string> tokens;
    if (options.allow_other)
        tokens.push_back("allow_other");
    if (options.no_cache)
        tokens.push_back("attr_timeout=0,entry_timeout=0,negative_timeout=0");
    tokens.insert(tokens.end(), options.mount_tokens.begin(), options.mount_tokens.end());
    std::vector<std::string> args;
    if (options.mount_helper) {
        args = {"/bin/mount", "-t", "fuse", program + "#" + list, mnt_};
        if (options.log)
            tokens.push_back("log=" + log_);
    } else {
        args = {program};
        if (options.log)
            args.insert(args.end(), {"--log", log_});
        if (options.control)
            args.insert(args.end(), {"--ctl", ctl_});
    }
    std::string joined;
    for (const std::string& token : tokens)
        joined += (joined.empty() ? "" : ",") + token;
    if (!joined.empty())
        args.insert(args.end(), {"-o", joined});
    if (!options.mount_helper) {
        args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
        args.push_back(list);
        args.push_back((options.mount_point_replica ? ":" : "") + mnt_);
    }

    const dev_t before = device_of(mnt_);
    const pid_t starter = spawn(args, options.environment, scratch_ / "daemon.out", stderr_file_);
    // The starter returns once the mount is up and the daemon runs in the
    // background; the daemon is then our child. The deadlines only matter
    // when something is wrong: a loaded machine may be slow to start.
    const int starter_status = wait_bounded(starter, 60000);
    if (starter_status != 0) {
        if (starter_status < 0)
            kill(starter, SIGKILL), waitpid(starter, nullptr, 0);
        remove_stray_mount(mnt_);
        unmounted_ = true;
        return;
    }
    if (!eventually([&] { return device_of(mnt_) != before; }, 60000))
        ADD_FAILURE() << "the mount at " << mnt_ << " never appeared\n" << daemon_stderr();
    for (pid_t child : children_of(getpid())) {
        const std::string command = command_line_of(child);
        if (command.find(mnt_) != std::string::npos && command.find(program) == 0)
            daemon_ = child;
    }
}

test_mount::~test_mount()
{
    if (!unmounted_)
        unmount();
    lazy_unmount(ctl_);
    lazy_unmount(mnt_);
    // Tests run one after the other, so every child still here was started
    // by this mount (the daemon, or a control program re-parented to us
    // after its daemon ended): give each a moment to end, then stop it.
    // The test's own replica filesystems (fault_fs) may serve the next
    // mount: their owners end them.
    const std::string helper = std::string(TEST_HELPERS_DIR) + "/fault_fs";
    for (pid_t child : children_of(getpid())) {
        if (command_line_of(child).compare(0, helper.size(), helper) == 0)
            continue;
        if (wait_bounded(child, 2000) < 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }
}

bool test_mount::mounted() const
{
    return is_mounted(mnt_);
}

std::string test_mount::log_text() const
{
    return slurp(log_);
}

std::string test_mount::daemon_stderr() const
{
    return slurp(stderr_file_);
}

int test_mount::unmount()
{
    unmounted_ = true;
    if (is_mounted(mnt_)) {
        // The kernel sends the release of a file just closed in the
        // background, and drops what the daemon has not read when the
        // mount goes: a request answered first (statfs is never cached)
        // puts those releases in the daemon's hands.
        struct statvfs fs;
        (void)statvfs(mnt_.c_str(), &fs);
        // Busy for a moment is normal on a loaded machine (a process that
        // has just closed its last file there, a release still in flight):
        // only a mount that stays busy is a failure.
        int err = 0;
        eventually([&] {
            err = umount2(mnt_.c_str(), 0) == 0 ? 0 : errno;
            return err != EBUSY;
        }, 30000);
        if (err != 0) {
            ADD_FAILURE() << "strict unmount of " << mnt_ << ": " << std::strerror(err) << "; held by:\n"
                          << holders_of(mnt_);
            umount2(mnt_.c_str(), MNT_DETACH);
        }
    }
    if (daemon_ <= 0)
        return -1;
    const int status = wait_bounded(daemon_, 60000);
    if (status < 0) {
        kill(daemon_, SIGKILL);
        waitpid(daemon_, nullptr, 0);
    }
    daemon_ = -1;
    return status;
}

int as_user(uid_t uid, gid_t gid, const std::vector<gid_t>& groups, const std::function<int()>& fn)
{
    int report[2];
    if (pipe(report) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        int result = -1;
        if (setgroups(groups.size(), groups.data()) == 0 && setresgid(gid, gid, gid) == 0 &&
            setresuid(uid, uid, uid) == 0)
            result = fn();
        if (write(report[1], &result, sizeof result) != sizeof result)
            _exit(2);
        _exit(0);
    }
    close(report[1]);
    int result = -1;
    if (read(report[0], &result, sizeof result) != sizeof result)
        result = -1;
    close(report[0]);
    waitpid(pid, nullptr, 0);
    return result;
}

int errno_of(int result)
{
    return result < 0 ? errno : 0;
}

std::string read_file(const std::string& path)
{
    return slurp(path);
}

void write_file(const std::string& path, const std::string& text, mode_t mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        return;
    if (write(fd, text.data(), text.size()) < 0) {
        // the caller's next check on the file reports the failure
    }
    fchmod(fd, mode);
    close(fd);
}

bool eventually(const std::function<bool()>& predicate, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string status_file(const test_mount& m, int k)
{
    std::string name = m.replica(k);
    for (char& c : name)
        if (c == '/')
            c = '_';
    return m.ctl() + "/" + name + "/status";
}

int write_status(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0)
        return errno;
    const ssize_t n = write(fd, text.data(), text.size());
    const int err = n < 0 ? errno : (n == static_cast<ssize_t>(text.size()) ? 0 : -1);
    close(fd);
    return err;
}
