#include "fs/kernel/node_table.h"

#include <sched.h>

#include <algorithm>
#include <ctime>
#include <atomic>
#include <condition_variable>
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
    int replica = -1;
    default_acl inherited = default_acl::unknown;
    uint8_t known_absent = 0;  // bits of watched_attribute
    uint64_t watched_changes = 0;
    std::vector<name_ref> names;
    std::vector<uint64_t> handles;
    int borrowers = 0;
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
std::condition_variable given_back;
uint64_t next_node = root_node + 1;
std::atomic<uint64_t> generation{0};
std::atomic<uint64_t> busy{0};

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

// A node no longer found by its identity: a file made later may get the
// same inode number once this one is freed (tmpfs hands numbers out
// again), and must not be taken for it. The node itself stays as long as
// the kernel holds it.
void stop_finding(uint64_t number, const node_entry& entry)
{
    const auto known = by_identity.find({entry.dev, entry.ino});
    if (known != by_identity.end() && known->second == number)
        by_identity.erase(known);
}

// Takes the name away from the node it belongs to, if any. A node that
// loses its last name was removed (at most still open): it is no longer
// found by its identity.
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
        if (names.empty() && owner->first != root_node)
            stop_finding(owner->first, owner->second);
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

namespace {

uint64_t learn(uint64_t parent, std::string_view name, struct stat& st, int replica, const name_epoch* epoch)
{
    std::lock_guard<std::mutex> guard(table_lock);
    if (epoch != nullptr && names_moved_since(*epoch))
        return 0;
    {
        const identity id{st.st_dev, st.st_ino};
        uint64_t number = 0;
        if (const auto found = by_identity.find(id); found != by_identity.end()) {
            number = found->second;
            // A file of another type with the number of one removed behind
            // the table's back is another file.
            if ((nodes[number].type & S_IFMT) != (st.st_mode & S_IFMT)) {
                stop_finding(number, nodes[number]);
                number = 0;
            }
        }
        if (number == 0) {
            number = next_node++;
            node_entry& entry = nodes[number];
            entry.dev = st.st_dev;
            entry.ino = st.st_ino;
            entry.shown = st.st_ino;
            by_identity[id] = number;
        }
        node_entry& entry = nodes[number];
        entry.type = st.st_mode & S_IFMT;
        if (replica >= 0)
            entry.replica = replica;
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
    }
}

}  // namespace

uint64_t learn_node(uint64_t parent, std::string_view name, struct stat& st, int replica) noexcept
{
    try {
        return learn(parent, name, st, replica, nullptr);
    } catch (...) {
        return 0;
    }
}

uint64_t learn_node_since(uint64_t parent, std::string_view name, struct stat& st, int replica,
                          const name_epoch& epoch) noexcept
{
    try {
        return learn(parent, name, st, replica, &epoch);
    } catch (...) {
        return 0;
    }
}

bool node_known(uint64_t node) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    return nodes.count(node) != 0;
}

bool node_has_name(uint64_t node) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    const auto found = nodes.find(node);
    return found != nodes.end() && (node == root_node || !found->second.names.empty());
}

default_acl node_default_acl(uint64_t node) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    const auto found = nodes.find(node);
    return found != nodes.end() ? found->second.inherited : default_acl::unknown;
}

void note_default_acl(uint64_t node, default_acl known) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    if (const auto found = nodes.find(node); found != nodes.end())
        found->second.inherited = known;
}

namespace {

uint8_t bit_of(watched_attribute attribute) noexcept
{
    return static_cast<uint8_t>(1u << static_cast<unsigned>(attribute));
}

}  // namespace

bool node_lacks(uint64_t node, watched_attribute attribute) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    const auto found = nodes.find(node);
    return found != nodes.end() && (found->second.known_absent & bit_of(attribute)) != 0;
}

uint64_t watched_changes(uint64_t node) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    const auto found = nodes.find(node);
    return found != nodes.end() ? found->second.watched_changes : 0;
}

void note_absent(uint64_t node, watched_attribute attribute, uint64_t changes_seen) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    if (const auto found = nodes.find(node); found != nodes.end() && found->second.watched_changes == changes_seen)
        found->second.known_absent |= bit_of(attribute);
}

void note_watched_change(uint64_t node, watched_attribute attribute) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    if (const auto found = nodes.find(node); found != nodes.end()) {
        found->second.known_absent &= static_cast<uint8_t>(~bit_of(attribute));
        ++found->second.watched_changes;
    }
}

bool node_identity(uint64_t node, dev_t& dev, ino_t& ino, int& replica) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    const auto found = nodes.find(node);
    if (found == nodes.end())
        return false;
    dev = found->second.dev;
    ino = found->second.ino;
    replica = found->second.replica;
    return true;
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
    stop_finding(node, entry);
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
}

void move_name(uint64_t parent, std::string_view name, uint64_t new_parent,
               std::string_view new_name) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(table_lock);
        const std::string target = name_key(new_parent, new_name);
        const std::string source = name_key(parent, name);
        const auto moving = by_name.find(source);
        const auto replaced = by_name.find(target);
        // Two names of one file: rename leaves both where they are.
        if (moving != by_name.end() && replaced != by_name.end() && moving->second == replaced->second)
            return;
        unlink_name(target, new_parent, new_name);
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
    std::unique_lock<std::mutex> guard(table_lock);
    const auto found = nodes.find(node);
    if (found == nodes.end())
        return;
    auto& handles = found->second.handles;
    if (const auto at = std::find(handles.begin(), handles.end(), handle); at != handles.end())
        handles.erase(at);
    // Borrowers took a handle of this node, perhaps this one: the release
    // waits for them (they hold nothing it needs).
    given_back.wait(guard, [node] {
        const auto still = nodes.find(node);
        return still == nodes.end() || still->second.borrowers == 0;
    });
}

borrowed_handle::borrowed_handle(uint64_t node) noexcept : node_(node)
{
    std::lock_guard<std::mutex> guard(table_lock);
    const auto found = nodes.find(node);
    if (found == nodes.end() || found->second.handles.empty())
        return;
    handle_ = found->second.handles.front();
    ++found->second.borrowers;
    held_ = true;
}

borrowed_handle::~borrowed_handle()
{
    if (!held_)
        return;
    std::lock_guard<std::mutex> guard(table_lock);
    if (const auto found = nodes.find(node_); found != nodes.end() && found->second.borrowers > 0)
        --found->second.borrowers;
    given_back.notify_all();
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

name_epoch name_epoch_now() noexcept
{
    // busy first: a change that ends between the two loads has moved the
    // generation the epoch holds.
    const bool working = busy.load() != 0;
    return {generation.load(), working};
}

bool names_moved_since(const name_epoch& epoch) noexcept
{
    return epoch.busy || busy.load() != 0 || generation.load() != epoch.generation;
}

void let_names_settle() noexcept
{
    // From a bare yield to a millisecond: a change of names takes a call
    // on every replica, and its thread may be waiting for a core.
    for (int round = 0; round < 64 && busy.load() != 0; ++round) {
        if (round < 8) {
            sched_yield();
        } else {
            const struct timespec pause = {0, 1000L * std::min(1000, 1 << (round - 8))};
            nanosleep(&pause, nullptr);
        }
    }
}

name_change::name_change() noexcept
{
    busy.fetch_add(1);
}

name_change::~name_change()
{
    generation.fetch_add(1);
    busy.fetch_sub(1);
}
