#include "fs/engine/replicas.h"

#include <ctime>
#include <new>
#include <utility>

#include "fs/engine/event_log.h"

replica_info* replica_table = nullptr;
int replica_count = 0;
int high_count = 0;
int low_count = 0;
rotation_table high_rotation;
rotation_table low_rotation;

namespace {

// Shared by every read request: one indivisible step each, kept in range.
std::atomic<int> high_turn{0};
std::atomic<int> low_turn{0};

int advance(std::atomic<int>& turn, int count) noexcept
{
    int current = turn.load();
    int next;
    do {
        next = current + 1 >= count ? 0 : current + 1;
    } while (!turn.compare_exchange_weak(current, next));
    return next;
}

}  // namespace

rotation_table make_rotation_table(const std::vector<int>& list)
{
    rotation_table table;
    table.count = static_cast<int>(list.size());
    table.entries.resize(list.size() * list.size());
    for (int row = 0; row < table.count; ++row)
        for (int column = 0; column < table.count; ++column)
            table.entries[row * table.count + column] = list[(row + column) % table.count];
    return table;
}

bool replica_path(std::string_view path, std::string_view root, std::string& out) noexcept
{
    try {
        if (root != mount_point_replica_root) {
            out.assign(root);
            out += path;
        } else if (path == "/") {
            out = ".";
        } else {
            out.assign(path.substr(path.empty() ? 0 : 1));
        }
        return true;
    } catch (...) {
        return false;
    }
}

int choose_replica(read_turns& turns, int attempt) noexcept
{
    if (attempt < 0 || attempt >= high_count + low_count)
        return -1;
    if (attempt < high_count) {
        if (attempt == 0 || turns.high_row < 0)
            turns.high_row = advance(high_turn, high_count);
        return high_rotation.at(turns.high_row, attempt);
    }
    if (attempt == high_count || turns.low_row < 0)
        turns.low_row = advance(low_turn, low_count);
    return low_rotation.at(turns.low_row, attempt - high_count);
}

int choose_replica_by_priority(int attempt) noexcept
{
    if (attempt < 0 || attempt >= high_count + low_count)
        return -1;
    // Row 0 of a rotation table is its list as given.
    return attempt < high_count ? high_rotation.at(0, attempt) : low_rotation.at(0, attempt - high_count);
}

void reset_turns() noexcept
{
    high_turn.store(0);
    low_turn.store(0);
}
