// The first start over a replica set: no replica holds a record yet, so
// nothing says which of them is current. Serving a mix of two trees would
// hand out a file's size from one replica and its bytes from another, so:
//
//  - replicas that are all empty, or all the same tree (what vornelix
//    --verify compares), are trusted;
//  - empty replicas beside replicas with content start behind and are
//    filled by a resync that starts with the mount;
//  - replicas with content that differ stop the start, naming them and
//    the first differences, unless the administrator names the source
//    (-o source=PATH): then every other replica is filled from it, and
//    what only the others held is removed. A source is never chosen
//    silently.
//
// A root holding nothing but an empty lost+found directory (a freshly
// made filesystem) counts as empty.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fs/engine/replicas.h"

struct first_start_replica {
    std::string root;  // for messages, and the comparison's path
    bool empty = false;
};

struct first_start_plan {
    bool refused = false;
    std::vector<replica_state> states;  // in service, or behind to be filled
    std::vector<int> fill;              // the replicas to fill, in order
    std::string message;                // the refusal, or what the log says
};

// Compares the trees of the given replicas: 0 identical, 1 different
// (the first differences in differences, one per line), 2 when they could
// not be compared (why, in differences).
using tree_comparison = std::function<int(const std::vector<std::string>& roots, std::string& differences)>;

first_start_plan plan_first_start(const std::vector<first_start_replica>& replicas, int source,
                                  const tree_comparison& compare);

// Whether the directory (the descriptor when not -1, else the path) holds
// nothing but possibly an empty lost+found; error gets an errno value
// when it cannot be read.
bool root_is_empty(int fd, const std::string& path, int& error) noexcept;

// The comparison of vornelix --verify, stopped at the first few
// differences.
int compare_first_start_trees(const std::vector<std::string>& roots, std::string& differences);

// The first start over the replica table: the states to start with (in
// service or behind) and the replicas to fill, logged; false when the start
// must stop (the message printed and logged). source is the replica named
// the source, or -1.
bool settle_first_start(int source, std::vector<replica_state>& states, std::vector<int>& fill);
