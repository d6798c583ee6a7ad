#include "fs/resync/resync_progress.h"

namespace {

resync_progress progress;

}  // namespace

resync_progress& current_resync_progress() noexcept
{
    return progress;
}

void begin_resync_progress(int k, uint64_t entries_todo) noexcept
{
    progress.target.store(-1);
    progress.entries_done.store(0);
    progress.entries_todo.store(entries_todo);
    progress.bytes.store(0);
    progress.target.store(k);
}

void end_resync_progress() noexcept
{
    progress.target.store(-1);
}

resync_figures resync_figures_of(int k) noexcept
{
    resync_figures figures;
    if (k < 0 || progress.target.load() != k)
        return figures;
    figures.done = progress.entries_done.load();
    figures.todo = progress.entries_todo.load();
    figures.bytes = progress.bytes.load();
    // Ended while being read: what was read may belong to the next one.
    figures.running = progress.target.load() == k;
    return figures;
}
