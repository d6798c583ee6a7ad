#include "tests/support/user_process.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool take_identity(const identity& who)
{
    return setgroups(who.groups.size(), who.groups.data()) == 0 && setresgid(who.gid, who.gid, who.gid) == 0 &&
           setresuid(who.uid, who.uid, who.uid) == 0;
}

// Reads the descriptor to its end.
std::string drain(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            text.append(buffer, n);
    return text;
}

}  // namespace

std::vector<int> results_as(const identity& who, const std::function<std::vector<int>()>& fn)
{
    int report[2];
    if (pipe(report) != 0)
        return {-1};
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        umask(0);
        std::vector<int> values = {-1};
        if (take_identity(who))
            values = fn();
        const std::string bytes(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(int));
        _exit(write(report[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) ? 0 : 2);
    }
    close(report[1]);
    const std::string bytes = drain(report[0]);
    close(report[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        bytes.size() % sizeof(int) != 0)
        return {-1};
    std::vector<int> values(bytes.size() / sizeof(int));
    if (!bytes.empty())
        std::copy(bytes.begin(), bytes.end(), reinterpret_cast<char*>(values.data()));
    return values;
}

command_result program_as(const identity& who, const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment, const std::string& cwd)
{
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    command_result result;
    int output[2];
    if (pipe(output) != 0)
        return result;
    const pid_t pid = fork();
    if (pid == 0) {
        close(output[0]);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(output[1], 1);
        dup2(output[1], 2);
        if (take_identity(who) && chdir(cwd.c_str()) == 0)
            execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(output[1]);
    result.out = drain(output[0]);
    close(output[0]);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}
