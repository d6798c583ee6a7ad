// The control tree: a root directory, one directory per replica, and in
// each a status file, a check script and a progress file.
//
// Lifetime and thread safety: built once by build_tree before the mount
// and never changed afterwards, so the FUSE request threads read it
// without a lock. Names carry their leading '/', so that a path can be
// matched component by component against them.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

struct ctl_node {
    std::string name;             // "/", "/_data_r1", "/status", ...
    struct stat attributes;       // what getattr answers
    std::vector<ctl_node> children;  // empty for a file
};

inline constexpr const char* status_name = "/status";
inline constexpr const char* script_name = "/check_vornelix.sh";
inline constexpr const char* progress_name = "/progress";

// Start-up data received from vornelix with the info exchange.
extern std::string fs_mount_path;  // has no use here but to be kept
extern std::string ctl_path;       // where the tree is mounted
// Directory names of the replicas, by replica number ("/_data_r1").
extern std::vector<std::string> replica_entries;

// The root node; its children are the replica directories.
extern ctl_node tree_root;

// The name under which replica root shows in the tree: "/" followed by the
// root with every '/' turned into '_'. The replica that lies under the
// mount point (root ".") is named after the mount point, since "/." would
// show as a second "." entry that no path can reach.
std::string replica_entry_name(std::string_view root, std::string_view mount_path);

// Fills node with the next inode number, no links, size 1, times 0.
void make_node(ctl_node& node, std::string name, mode_t mode, uid_t owner, gid_t group);

// Builds tree_root from ctl_path and replica_entries. 0, or -1 with
// nothing of the tree left allocated (errno set).
int build_tree() noexcept;

// Releases every node of the array, children first.
void free_nodes(std::vector<ctl_node>& nodes) noexcept;

// The node that path names in nodes (searched down to depth levels below,
// -1 for no limit), and its index in the array it was found in; nullptr
// when there is none.
const ctl_node* find_node(std::string_view path, const std::vector<ctl_node>& nodes, int depth,
                          int* index = nullptr) noexcept;

// path without its last component: "" for "/", "/" for a top-level name.
// false when memory runs out.
bool parent_path(std::string_view path, std::string& parent) noexcept;
