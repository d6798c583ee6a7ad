// How far the running resync has come, for the control tree: one set of
// counters for the process, since one resync runs at a time. The resync
// that copies (resync.cpp, through resync_copy) and any other kind of
// resync fill the same counters, so the control channel reads them
// without knowing which one runs.
//
// Thread safety: the resync thread writes, the control thread reads, each
// counter on its own, without a lock. A reader may see the counters of a
// moment between two updates (done one entry ahead of bytes, say); that is
// all a progress report promises. target is stored last by begin and first
// by end, so a reader that found target set never reads the figures of a
// resync that has not begun.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/resync_figures.h"

struct resync_progress {
    std::atomic<int> target{-1};  // the replica being written, -1 while none is
    std::atomic<uint64_t> entries_done{0};
    std::atomic<uint64_t> entries_todo{0};  // 0 while the total is not known
    std::atomic<uint64_t> bytes{0};
};

resync_progress& current_resync_progress() noexcept;

// A resync of replica k begins: the counters start from zero.
void begin_resync_progress(int k, uint64_t entries_todo = 0) noexcept;
// The resync has ended, however it ended.
void end_resync_progress() noexcept;

// The figures for replica k: not running unless a resync writes k.
resync_figures resync_figures_of(int k) noexcept;
