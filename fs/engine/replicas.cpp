#include "fs/engine/replicas.h"

#include <ctime>
#include <new>
#include <utility>

#include "fs/engine/event_log.h"
#include "fs/engine/process_state.h"

namespace {

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
    replica_set& replicas = state().replicas;
    if (attempt < 0 || attempt >= replicas.high_count + replicas.low_count)
        return -1;
    if (attempt < replicas.high_count) {
        if (attempt == 0 || turns.high_row < 0)
            turns.high_row = advance(replicas.high_turn, replicas.high_count);
        return replicas.high_rotation.at(turns.high_row, attempt);
    }
    if (attempt == replicas.high_count || turns.low_row < 0)
        turns.low_row = advance(replicas.low_turn, replicas.low_count);
    return replicas.low_rotation.at(turns.low_row, attempt - replicas.high_count);
}

int choose_replica_by_priority(int attempt) noexcept
{
    const replica_set& replicas = state().replicas;
    if (attempt < 0 || attempt >= replicas.high_count + replicas.low_count)
        return -1;
    // Row 0 of a rotation table is its list as given.
    return attempt < replicas.high_count ? replicas.high_rotation.at(0, attempt)
                                         : replicas.low_rotation.at(0, attempt - replicas.high_count);
}
