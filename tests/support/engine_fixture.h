// Sets up the daemon's process-wide tables for unit tests, without a
// mount: the replica table, the priorities and rotation tables, the log.
#pragma once

#include <string>
#include <vector>

// Replicas with the given roots; a root written with a leading ':' is low
// priority (the ':' is dropped). Turns start at 0.
void install_replicas(const std::vector<std::string>& roots);

// Points the event log at path (empty: no log).
void install_log(const std::string& path);

// Frees what install_replicas made and closes the log.
void remove_replicas();

// Runs this unit test binary again with only the tests matching filter,
// under libnss-wrapper with the given passwd and group texts as the
// system's databases. Answers the exit status (0: all passed).
int run_under_nss_wrapper(const std::string& filter, const std::string& passwd,
                          const std::string& group);

// True when this process runs under libnss-wrapper (set up by the above).
bool under_nss_wrapper();
