// Whether replica directories hold the same tree: what every test that
// changes files through a mount checks at its end.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

struct tree_entry {
    mode_t mode = 0;                 // type and permission bits, from lstat
    uid_t uid = 0;
    gid_t gid = 0;
    off_t size = 0;
    struct timespec mtime {};        // modification time
    std::string target;              // of a symbolic link
    std::vector<std::string> links;  // the other names of the same file in the tree
    std::string error;               // what failed while listing this entry
};

// Entries by path relative to the root ("." is the root itself); symbolic
// links are listed, never followed.
using tree_listing = std::map<std::string, tree_entry>;

tree_listing list_tree(const std::string& root);

// "" when every root holds the same names with the same types, modes,
// owners, sizes, contents, link targets, hard-link groups and modification
// times to the nanosecond (every change through the mount leaves one on
// every replica once its files are closed; access and change times and
// directory sizes are not compared); otherwise the number of differences
// and the first `shown` of them, one line each.
std::string replica_differences(const std::vector<std::string>& roots, size_t shown = 8);
