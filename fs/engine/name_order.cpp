#include "fs/engine/name_order.h"

#include <cstdint>
#include <mutex>
#include <type_traits>

#include "fs/engine/resync_gate.h"

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

std::string_view directory_of(std::string_view path) noexcept
{
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos || slash == 0 ? std::string_view("/") : path.substr(0, slash);
}

name_order_hold::name_order_hold(std::string_view path, with_directories directories) noexcept
    : first_(path)
{
    take(directories);
}

name_order_hold::name_order_hold(std::string_view first, std::string_view second,
                                 with_directories directories) noexcept
    : first_(first), second_(second)
{
    take(directories);
}

void name_order_hold::take(with_directories directories) noexcept
{
    const bool two = !second_.empty();
    const std::string_view paths[4] = {first_, second_, directory_of(first_), directory_of(second_)};
    const bool wanted[4] = {true, two, directories == with_directories::yes,
                            two && directories == with_directories::yes};
    for (int i = 0; i < 4; ++i) {
        if (!wanted[i])
            continue;
        // Insertion into the ascending list, skipping a stripe already in it.
        const size_t stripe = name_order_stripe(paths[i]);
        int at = 0;
        while (at < count_ && held_[at] < stripe)
            ++at;
        if (at < count_ && held_[at] == stripe)
            continue;
        for (int j = count_; j > at; --j)
            held_[j] = held_[j - 1];
        held_[at] = stripe;
        ++count_;
    }
    change_gate_enter();
    for (int i = 0; i < count_; ++i)
        stripe_table[held_[i]].mutex.lock();
}

name_order_hold::~name_order_hold()
{
    if (!first_.empty())
        note_changed_names(first_, second_);
    for (int i = count_; i-- > 0;)
        stripe_table[held_[i]].mutex.unlock();
    change_gate_leave();
}
