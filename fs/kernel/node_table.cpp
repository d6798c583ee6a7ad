#include "fs/kernel/node_table.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

struct name_ref {
    uint64_t parent;
    std::string name;
};

struct node_entry {
    uint64_t lookups = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t type = 0;
    uint64_t shown = 0;
    std::vector<name_ref> names;
    std::vector<uint64_t> handles;
};

struct identity {
    dev_t dev;
    ino_t ino;
    bool operator==(const identity&) const = default;
};

struct identity_hash {
    size_t operator()(const identity& id) const noexcept
    {
        return std::hash<uint64_t>()(static_cast<uint64_t>(id.ino) * 0x9e3779b97f4a7c15ULL ^
                                     static_cast<uint64_t>(id.dev));
    }
};

// A name's key: the parent's number in 8 bytes, then the name.
std::string name_key(uint64_t parent, std::string_view name)
{
    std::string key(sizeof parent, '\0');
    std::memcpy(key.data(), &parent, sizeof parent);
    key.append(name);
    return key;
}

// lock_order.h, #2: the node table. Guards everything below.
std::mutex table_lock;
std::unordered_map<uint64_t, node_entry> nodes;
std::unordered_map<identity, uint64_t, identity_hash> by_identity;
std::unordered_map<std::string, uint64_t> by_name;
uint64_t next_node = root_node + 1;
std::atomic<uint64_t> changes{0};

// Deep enough for any path the kernel can send (PATH_MAX / 2 names).
constexpr int deepest = 2048;

bool build_path(uint64_t node, std::string& path, int depth)
{
    if (node == root_node) {
        path.clear();
        return true;
    }
    if (depth > deepest)
        return false;
    const auto found = nodes.find(node);
    if (found == nodes.end())
        return false;
    for (const name_ref& ref : found->second.names) {
        if (!build_path(ref.parent, path, depth + 1))
            continue;
        path += '/';
        path += ref.name;
        return true;
    }
    return false;
}

// Takes the name away from the node it belongs to, if any.
void unlink_name(const std::string& key, uint64_t parent, std::string_view name)
{
    const auto found = by_name.find(key);
    if (found == by_name.end())
        return;
    const auto owner = nodes.find(found->second);
    if (owner != nodes.end()) {
        auto& names = owner->second.names;
        names.erase(std::remove_if(names.begin(), names.end(),
                                   [&](const name_ref& ref) { return ref.parent == parent && ref.name == name; }),
                    names.end());
    }
    by_name.erase(found);
}

}  // namespace

void node_table_start(const struct stat& root) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    nodes.clear();
    by_identity.clear();
    by_name.clear();
    next_node = root_node + 1;
    try {
        node_entry& entry = nodes[root_node];
        entry.lookups = 1;
        entry.dev = root.st_dev;
        entry.ino = root.st_ino;
        entry.type = S_IFDIR;
        entry.shown = root.st_ino;
        by_identity[{root.st_dev, root.st_ino}] = root_node;
    } catch (...) {
        // Without its root entry the table still builds paths from "/".
    }
}

void node_table_clear() noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    nodes.clear();
    by_identity.clear();
    by_name.clear();
}

bool node_path(uint64_t node, std::string& path) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(table_lock);
        if (!build_path(node, path, 0))
            return false;
        if (path.empty())
            path = "/";
        return true;
    } catch (...) {
        return false;
    }
}

bool child_path(uint64_t parent, std::string_view name, std::string& path) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(table_lock);
        if (!build_path(parent, path, 0))
            return false;
        path += '/';
        path += name;
        return true;
    } catch (...) {
        return false;
    }
}

uint64_t learn_node(uint64_t parent, std::string_view name, struct stat& st) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(table_lock);
        const identity id{st.st_dev, st.st_ino};
        uint64_t number;
        if (const auto found = by_identity.find(id); found != by_identity.end()) {
            number = found->second;
        } else {
            number = next_node++;
            node_entry& entry = nodes[number];
            entry.dev = st.st_dev;
            entry.ino = st.st_ino;
            entry.shown = st.st_ino;
            by_identity[id] = number;
        }
        node_entry& entry = nodes[number];
        entry.type = st.st_mode & S_IFMT;
        const std::string key = name_key(parent, name);
        const auto named = by_name.find(key);
        if (named == by_name.end() || named->second != number) {
            // The name now leads to this file, whatever it led to before.
            unlink_name(key, parent, name);
            entry.names.push_back({parent, std::string(name)});
            by_name[key] = number;
        }
        ++entry.lookups;
        st.st_ino = entry.shown;
        return number;
    } catch (...) {
        return 0;
    }
}

void show_node(uint64_t node, struct stat& st) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    if (const auto found = nodes.find(node); found != nodes.end())
        st.st_ino = found->second.shown;
}

void forget_node(uint64_t node, uint64_t count) noexcept
{
    if (node == root_node)
        return;
    std::lock_guard<std::mutex> guard(table_lock);
    const auto found = nodes.find(node);
    if (found == nodes.end())
        return;
    node_entry& entry = found->second;
    entry.lookups -= std::min(count, entry.lookups);
    if (entry.lookups > 0)
        return;
    for (const name_ref& ref : entry.names) {
        const auto named = by_name.find(name_key(ref.parent, ref.name));
        if (named != by_name.end() && named->second == node)
            by_name.erase(named);
    }
    const auto known = by_identity.find({entry.dev, entry.ino});
    if (known != by_identity.end() && known->second == node)
        by_identity.erase(known);
    nodes.erase(found);
}

void drop_name(uint64_t parent, std::string_view name) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(table_lock);
        unlink_name(name_key(parent, name), parent, name);
    } catch (...) {
        // The key could not be made: the name stays until its node goes.
    }
    changes.fetch_add(1);
}

void move_name(uint64_t parent, std::string_view name, uint64_t new_parent,
               std::string_view new_name) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(table_lock);
        const std::string target = name_key(new_parent, new_name);
        unlink_name(target, new_parent, new_name);
        const std::string source = name_key(parent, name);
        const auto found = by_name.find(source);
        if (found != by_name.end()) {
            const uint64_t number = found->second;
            by_name.erase(found);
            if (const auto owner = nodes.find(number); owner != nodes.end()) {
                for (name_ref& ref : owner->second.names)
                    if (ref.parent == parent && ref.name == name) {
                        ref.parent = new_parent;
                        ref.name.assign(new_name);
                        break;
                    }
                by_name[target] = number;
            }
        }
    } catch (...) {
        // Left as it was: the next lookup of either name puts it right.
    }
    changes.fetch_add(1);
}

bool name_may_be_directory(uint64_t parent, std::string_view name) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(table_lock);
        const auto named = by_name.find(name_key(parent, name));
        if (named == by_name.end())
            return true;
        const auto found = nodes.find(named->second);
        return found == nodes.end() || S_ISDIR(found->second.type);
    } catch (...) {
        return true;
    }
}

void note_open_handle(uint64_t node, uint64_t handle) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(table_lock);
        if (const auto found = nodes.find(node); found != nodes.end())
            found->second.handles.push_back(handle);
    } catch (...) {
        // The node then has no handle to be reached by once nameless.
    }
}

void note_closed_handle(uint64_t node, uint64_t handle) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    if (const auto found = nodes.find(node); found != nodes.end()) {
        auto& handles = found->second.handles;
        if (const auto at = std::find(handles.begin(), handles.end(), handle); at != handles.end())
            handles.erase(at);
    }
}

bool any_open_handle(uint64_t node, uint64_t& handle) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    const auto found = nodes.find(node);
    if (found == nodes.end() || found->second.handles.empty())
        return false;
    handle = found->second.handles.front();
    return true;
}

size_t node_count() noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    return nodes.size();
}

size_t name_count() noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    return by_name.size();
}

uint64_t name_changes() noexcept
{
    return changes.load();
}
