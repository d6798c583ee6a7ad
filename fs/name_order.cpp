#include "fs/name_order.h"

#include <cstdint>
#include <mutex>
#include <type_traits>

#include "fs/resync_gate.h"

namespace {

// Constant-initialised, as the write-order table is (std::mutex's
// constructor is constexpr): ready before the first request, whatever
// order the globals of other files are built in.
struct alignas(64) stripe_lock {
    std::mutex mutex;  // one name stripe; lock_order.h: #4, ascending
};

// Nor is one ever torn down at exit under a thread that still holds it.
static_assert(std::is_trivially_destructible_v<stripe_lock>);

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
    stripe_table[low_].mutex.lock();
}

name_order_hold::name_order_hold(std::string_view first, std::string_view second) noexcept
    : first_(first), second_(second)
{
    change_gate_enter();
    const size_t a = name_order_stripe(first);
    const size_t b = name_order_stripe(second);
    low_ = a < b ? a : b;
    high_ = a < b ? b : a;
    stripe_table[low_].mutex.lock();
    if (high_ != low_)
        stripe_table[high_].mutex.lock();
}

name_order_hold::~name_order_hold()
{
    note_changed_names(first_, second_);
    if (high_ != low_)
        stripe_table[high_].mutex.unlock();
    stripe_table[low_].mutex.unlock();
    change_gate_leave();
}
