#include "tests/support/engine_fixture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fs/engine/event_log.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replica_workers.h"
#include "fs/engine/replicas.h"
#include "tests/support/mount_harness.h"
#include "tests/support/test_caller.h"

void install_replicas(const std::vector<std::string>& roots)
{
    remove_replicas();
    replica_set& replicas = state().replicas;
    replicas.count = static_cast<int>(roots.size());
    replicas.table.reset(new replica_info[roots.size()]);
    std::vector<int> high, low;
    for (int k = 0; k < replicas.count; ++k) {
        std::string root = roots[k];
        if (!root.empty() && root[0] == ':') {
            root.erase(0, 1);
            replica_at(k).low_priority = 1;
            low.push_back(k);
        } else {
            high.push_back(k);
        }
        replica_at(k).root = root;
        replica_at(k).root_length = root.size();
        replica_at(k).root_fd = open_replica_root(root.c_str());
    }
    replicas.high_count = static_cast<int>(high.size());
    replicas.low_count = static_cast<int>(low.size());
    replicas.high_rotation = make_rotation_table(high);
    replicas.low_rotation = make_rotation_table(low);
    replicas.high_turn = 0;
    replicas.low_turn = 0;
    start_replica_workers(replicas.count);
}

void install_log(const std::string& path)
{
    close_log();
    if (path.empty()) {
        state().log.path.reset();
        return;
    }
    state().log.path = path;
    open_log();
}

void remove_replicas()
{
    stop_replica_workers();
    replica_set& replicas = state().replicas;
    for (int k = 0; replicas.table && k < replicas.count; ++k)
        if (replica_at(k).root_fd >= 0)
            close(replica_at(k).root_fd);
    replicas.table.reset();
    replicas.count = 0;
    replicas.high_count = replicas.low_count = 0;
    close_log();
}

int run_under_nss_wrapper(const std::string& filter, const std::string& passwd,
                          const std::string& group)
{
    scratch_dir dir;
    write_file(dir / "passwd", passwd);
    write_file(dir / "group", group);
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return -1;
    self[n] = '\0';
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("LD_PRELOAD", "libnss_wrapper.so", 1);
        setenv("NSS_WRAPPER_PASSWD", (dir / "passwd").c_str(), 1);
        setenv("NSS_WRAPPER_GROUP", (dir / "group").c_str(), 1);
        // The sanitizer runtimes insist on coming first; nss_wrapper only
        // wraps the database calls.
        const char* asan = getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
        // libnss-wrapper's own locking upsets ThreadSanitizer; what runs
        // under it here is single-threaded lookup code.
        const char* tsan = getenv("TSAN_OPTIONS");
        setenv("TSAN_OPTIONS", (std::string(tsan ? tsan : "") + ":report_bugs=0").c_str(), 1);
        const std::string filter_arg = "--gtest_filter=" + filter;
        execl(self, self, filter_arg.c_str(), "--gtest_also_run_disabled_tests", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool under_nss_wrapper()
{
    return getenv("NSS_WRAPPER_GROUP") != nullptr;
}

void replica_dirs_test::use_replicas(int n, mode_t root_mode)
{
    std::vector<std::string> roots;
    for (int k = 0; k < n; ++k) {
        roots.push_back(dir / ("r" + std::to_string(k)));
        mkdir(roots.back().c_str(), root_mode);
        chmod(roots.back().c_str(), root_mode);
    }
    install_replicas(roots);
    install_log(dir / "log");
}

std::string replica_dirs_test::root(int k) const
{
    return replica_at(k).root;
}

struct stat replica_dirs_test::attributes(int k, const std::string& name) const
{
    struct stat st {};
    lstat(in(k, name).c_str(), &st);
    return st;
}

std::string replica_dirs_test::events() const
{
    std::istringstream text(read_file(dir / "log"));
    std::string line, out;
    while (std::getline(text, line))
        out += line.substr(17) + "\n";
    return out;
}

void replica_dirs_test::TearDown()
{
    umask(saved_mask);
    set_test_caller(0, 0);
    remove_replicas();
}

void store_state_word(int k, int64_t word)
{
    if (word == 0)
        set_state(k, replica_state::in_service);
    else if (word == 1)
        set_state(k, replica_state::behind);
    else
        set_state(k, replica_state::disabled, word);
}

int64_t state_word(int k)
{
    const replica_status status = status_of(k);
    if (status.state == replica_state::in_service)
        return 0;
    if (status.state == replica_state::behind)
        return 1;
    return std::max<int64_t>(status.disabled_at, 2);
}
