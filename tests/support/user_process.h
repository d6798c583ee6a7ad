// Work done in forked children under another identity: several results of
// system calls, or a whole program with its output.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/mount_harness.h"

// The credentials a child takes: real, effective and saved ids alike, and
// exactly these supplementary groups, whatever the group database says.
struct identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// Runs fn in a forked child under who (setgroups, setresgid, setresuid,
// with the file mode mask cleared) and answers fn's values; {-1} when the
// child could not take the identity or died.
std::vector<int> results_as(const identity& who, const std::function<std::vector<int>()>& fn);

// Runs argv (a full path) in a child under who, in directory cwd, with
// exactly the environment given; answers its exit status and its
// standard output and error together in out.
command_result program_as(const identity& who, const std::vector<std::string>& argv,
                          const std::vector<std::string>& environment, const std::string& cwd);
