#include "fs/engine/write_order.h"

#include <sys/stat.h>

#include <cstdint>
#include <mutex>
#include <type_traits>

namespace {

// Constant-initialised (std::mutex's constructor is constexpr), so the
// table is ready before the first request whatever order the globals of
// other files are built in. Each mutex sits on its own cache line: writers
// of unrelated files that share a line would otherwise slow each other
// down.
struct alignas(64) stripe_lock {
    std::mutex mutex;  // one write stripe; lock_order.h: #5, ascending
};

// Nor is one ever torn down at exit under a thread that still holds it.
static_assert(std::is_trivially_destructible_v<stripe_lock>);

stripe_lock stripe_table[write_order_stripe_count];

}  // namespace

size_t write_order_stripe(dev_t device, ino_t inode) noexcept
{
    // Inode numbers of one file system are often consecutive: multiply by
    // an odd constant and keep the high bits so that neighbours spread.
    uint64_t key = static_cast<uint64_t>(inode) ^ (static_cast<uint64_t>(device) << 32) ^
                   (static_cast<uint64_t>(device) >> 32);
    key *= 0x9e3779b97f4a7c15ull;
    return static_cast<size_t>(key >> 32) % write_order_stripe_count;
}

int add_file_stripe(stripe_set& set, int fd) noexcept
{
    struct stat st;
    if (fstat(fd, &st) == -1)
        return -1;
    set.stripes.set(write_order_stripe(st.st_dev, st.st_ino));
    return 0;
}

write_order_hold::write_order_hold(const stripe_set& set) noexcept : held_(set)
{
    for (size_t i = 0; i < write_order_stripe_count; ++i)
        if (held_.stripes.test(i))
            stripe_table[i].mutex.lock();
}

write_order_hold::~write_order_hold()
{
    for (size_t i = write_order_stripe_count; i-- > 0;)
        if (held_.stripes.test(i))
            stripe_table[i].mutex.unlock();
}
