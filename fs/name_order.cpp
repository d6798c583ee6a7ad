#include "fs/name_order.h"

#include <pthread.h>

#include <cstdint>

#include "fs/resync_gate.h"

namespace {

// Statically initialised, as the write-order table is: ready before the
// first request and never destroyed under a request thread.
struct alignas(64) stripe_lock {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
};

stripe_lock stripe_table[name_order_stripe_count];

}  // namespace

size_t name_order_stripe(std::string_view path) noexcept
{
    // FNV-1a over the whole path: names that differ in one character land
    // on different stripes.
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : path) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    return static_cast<size_t>(hash >> 32) % name_order_stripe_count;
}

name_order_hold::name_order_hold(std::string_view path) noexcept
    : first_(path), low_(name_order_stripe(path)), high_(low_)
{
    change_gate_enter();
    pthread_mutex_lock(&stripe_table[low_].mutex);
}

name_order_hold::name_order_hold(std::string_view first, std::string_view second) noexcept
    : first_(first), second_(second)
{
    change_gate_enter();
    const size_t a = name_order_stripe(first);
    const size_t b = name_order_stripe(second);
    low_ = a < b ? a : b;
    high_ = a < b ? b : a;
    pthread_mutex_lock(&stripe_table[low_].mutex);
    if (high_ != low_)
        pthread_mutex_lock(&stripe_table[high_].mutex);
}

name_order_hold::~name_order_hold()
{
    note_changed_names(first_, second_);
    if (high_ != low_)
        pthread_mutex_unlock(&stripe_table[high_].mutex);
    pthread_mutex_unlock(&stripe_table[low_].mutex);
    change_gate_leave();
}
