// Sets up the daemon's process state for unit tests, without a mount: a
// state of the test's own, and in it the replica table, the priorities and
// rotation tables, the log.
#pragma once

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <ostream>
#include <cstdint>
#include <string>
#include <vector>

#include "fs/engine/process_state.h"
#include "fs/engine/replicas.h"
#include "tests/support/mount_harness.h"

// A process state of the test's own, installed for the helper's lifetime;
// the state installed before comes back at its end. What the test, or the
// code it calls, sets in the state starts from the defaults and goes with
// it. Threads that read the state must have ended before it goes.
class scoped_state {
public:
    scoped_state() noexcept : previous_(install_state(&own_)) {}
    ~scoped_state() { install_state(previous_); }
    scoped_state(const scoped_state&) = delete;
    scoped_state& operator=(const scoped_state&) = delete;

private:
    process_state own_;
    process_state* previous_;
};

// Failure messages name a replica state rather than dump its byte.
inline void PrintTo(replica_state state, std::ostream* out)
{
    switch (state) {
    case replica_state::in_service:
        *out << "in_service";
        return;
    case replica_state::behind:
        *out << "behind";
        return;
    case replica_state::disabled:
        *out << "disabled";
        return;
    }
    *out << "replica_state " << static_cast<int>(state);
}

inline void PrintTo(const replica_status& status, std::ostream* out)
{
    PrintTo(status.state, out);
    if (status.state == replica_state::disabled)
        *out << " at " << status.disabled_at;
}

// Replicas with the given roots in the state installed now, each with its
// worker; a root written with a leading ':' is low priority (the ':' is
// dropped). Turns start at 0.
void install_replicas(const std::vector<std::string>& roots);

// Points the event log at path (empty: no log).
void install_log(const std::string& path);

// Stops the workers, closes the roots, empties the table and closes the
// log: what install_replicas and install_log started.
void remove_replicas();

// Runs this unit test binary again with only the tests matching filter,
// under libnss-wrapper with the given passwd and group texts as the
// system's databases. Answers the exit status (0: all passed).
int run_under_nss_wrapper(const std::string& filter, const std::string& passwd,
                          const std::string& group);

// True when this process runs under libnss-wrapper (set up by the above).
bool under_nss_wrapper();

// A test over n replica directories r0, r1, ... in a scratch directory,
// with the log in it and the process mask 0 as in the daemon, in a state
// of its own. Afterwards the caller is root again and the state is gone.
struct replica_dirs_test : ::testing::Test {
    scoped_state own_state;
    scratch_dir dir;
    mode_t saved_mask = umask(0);

    void use_replicas(int n, mode_t root_mode = 0755);
    std::string root(int k) const;
    std::string in(int k, const std::string& name) const { return root(k) + "/" + name; }
    // lstat of a name in one replica (all zero when it is missing).
    struct stat attributes(int k, const std::string& name) const;
    // The log without the date and time in front of each line.
    std::string events() const;
    void TearDown() override;
};

// A replica's state as one number, as the tables of the tests write it: 0
// in service, 1 behind, anything else disabled at that time.
void store_state_word(int k, int64_t word);
// The same number for replica k's state (a disabling time below 2 reads 2).
int64_t state_word(int k);
