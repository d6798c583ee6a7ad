#include "ctl/tree.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "ctl/check_script.h"

std::string fs_mount_path;
std::string ctl_path;
std::vector<std::string> replica_entries;
ctl_node tree_root;

namespace {

ino_t inode_counter = 0;

constexpr mode_t directory_mode = S_IFDIR | 0550;
constexpr mode_t status_mode = S_IFREG | 0660;
constexpr mode_t script_mode = S_IFREG | 0550;
constexpr mode_t progress_mode = S_IFREG | 0440;

}  // namespace

std::string replica_entry_name(std::string_view root, std::string_view mount_path)
{
    std::string_view shown = root == "." ? mount_path : root;
    std::string name = "/";
    name.append(shown);
    for (size_t i = 1; i < name.size(); ++i) {
        if (name[i] == '/')
            name[i] = '_';
    }
    return name;
}

void make_node(ctl_node& node, std::string name, mode_t mode, uid_t owner, gid_t group)
{
    node.name = std::move(name);
    memset(&node.attributes, 0, sizeof node.attributes);
    node.attributes.st_ino = ++inode_counter;
    node.attributes.st_mode = mode;
    node.attributes.st_uid = owner;
    node.attributes.st_gid = group;
    node.attributes.st_size = 1;
    node.children.clear();
}

int build_tree() noexcept
{
    struct stat directory;
    if (stat(ctl_path.c_str(), &directory) != 0)
        return -1;
    const uid_t owner = directory.st_uid;
    const gid_t group = directory.st_gid;

    try {
        inode_counter = 0;
        ctl_node root;
        make_node(root, "/", directory_mode, owner, group);
        root.children.resize(replica_entries.size());
        for (size_t i = 0; i < replica_entries.size(); ++i) {
            ctl_node& replica = root.children[i];
            make_node(replica, replica_entries[i], directory_mode, owner, group);
            replica.children.resize(3);
            make_node(replica.children[0], status_name, status_mode, owner, group);
            make_node(replica.children[1], script_name, script_mode, owner, group);
            replica.children[1].attributes.st_size = static_cast<off_t>(check_script_template.size());
            // Its length changes with every figure: it is read past its
            // size, directly (ctl_open), as files in /proc are.
            make_node(replica.children[2], progress_name, progress_mode, owner, group);
            replica.children[2].attributes.st_size = 0;
        }
        free_nodes(tree_root.children);
        tree_root = std::move(root);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

void free_nodes(std::vector<ctl_node>& nodes) noexcept
{
    for (ctl_node& node : nodes)
        free_nodes(node.children);
    std::vector<ctl_node>().swap(nodes);
}

const ctl_node* find_node(std::string_view path, const std::vector<ctl_node>& nodes, int depth,
                          int* index) noexcept
{
    for (size_t i = 0; i < nodes.size(); ++i) {
        const ctl_node& node = nodes[i];
        const std::string_view name = node.name;
        if (path == name) {
            if (index != nullptr)
                *index = static_cast<int>(i);
            return &node;
        }
        if (path.size() > name.size() && path.substr(0, name.size()) == name && path[name.size()] == '/' &&
            !node.children.empty()) {
            if (depth == 0) {
                if (index != nullptr)
                    *index = static_cast<int>(i);
                return &node;
            }
            return find_node(path.substr(name.size()), node.children, depth < 0 ? -1 : depth - 1, index);
        }
    }
    return nullptr;
}

bool parent_path(std::string_view path, std::string& parent) noexcept
{
    try {
        if (path == "/") {
            parent.clear();
            return true;
        }
        const size_t slash = path.rfind('/');
        if (slash == std::string_view::npos || slash == 0)
            parent = "/";
        else
            parent.assign(path.substr(0, slash));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}
