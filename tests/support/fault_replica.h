// The test's own FUSE filesystem (tests/programs/fault_fs) as a replica:
// a network or FUSE filesystem that can be stopped, made to fail its
// flushes, or kept from holding trusted. attributes.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/mount_harness.h"

// fault_fs over a backing directory, mounted on a directory of the scratch.
// The destructor lets it run again, unmounts it and reaps it, whatever the
// test did.
struct fault_replica {
    std::string backing, marker, mnt;
    pid_t pid = -1;

    // Without trusted: the replica keeps no records of its own, as NFS.
    explicit fault_replica(const scratch_dir& dir, const std::string& name = "fault", bool trusted = true)
        : backing(dir / (name + "-backing")), marker(dir / (name + "-fail-flush")), mnt(dir / name)
    {
        if (mkdir(backing.c_str(), 0755) != 0 || mkdir(mnt.c_str(), 0755) != 0)
            return;
        if (!trusted)
            write_file(marker + ".no-trusted", "");
        const std::string program = std::string(TEST_HELPERS_DIR) + "/fault_fs";
        pid = fork();
        if (pid == 0) {
            execl(program.c_str(), program.c_str(), backing.c_str(), marker.c_str(), mnt.c_str(), "-f",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        eventually([this] { return is_mounted(mnt); });
    }

    bool mounted() const { return pid > 0 && is_mounted(mnt); }

    // Stops it, and waits until every thread of it has stopped: a request
    // is then never read, rather than read and left unanswered.
    bool stop() const
    {
        if (kill(pid, SIGSTOP) != 0)
            return false;
        const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
        return eventually([&] {
            DIR* dir = opendir(tasks.c_str());
            if (dir == nullptr)
                return false;
            bool all = true;
            while (const struct dirent* entry = readdir(dir)) {
                if (entry->d_name[0] == '.')
                    continue;
                const std::string stat = read_file(tasks + "/" + entry->d_name + "/stat");
                const size_t end = stat.rfind(')');
                all = all && end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'T';
            }
            closedir(dir);
            return all;
        });
    }

    // Strict teardown, once the vornelix mount over it has ended: unmount,
    // then the exit status of fault_fs (-1 when it did not end).
    int unmount()
    {
        if (std::system(("fusermount -u '" + mnt + "'").c_str()) != 0)
            return -1;
        int status = -1;
        if (!eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000))
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ~fault_replica()
    {
        if (pid <= 0)
            return;
        // The harness may have ended it already with the rest of our
        // children; the mount can outlive it.
        kill(pid, SIGCONT);
        (void)std::system(("fusermount -u -z '" + mnt + "' 2>/dev/null").c_str());
        if (!eventually([this] { return waitpid(pid, nullptr, WNOHANG) != 0; }, 20000)) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};
