#include "fs/engine/handle_stripes.h"

#include <atomic>
#include <memory>
#include <new>

#include "fs/engine/fd_table.h"
#include "fs/engine/process_state.h"
#include "fs/engine/write_order.h"

static_assert(write_order_stripe_count <= 64, "a handle's stripes are one 64-bit word");

namespace {

struct handle_stripe_table {
    std::unique_ptr<std::atomic<uint64_t>[]> masks;
    uint64_t size = 0;
};

handle_stripe_table& table() noexcept
{
    static handle_stripe_table made = [] {
        const uint64_t size = state().fd_table.size;
        handle_stripe_table t;
        t.masks.reset(new (std::nothrow) std::atomic<uint64_t>[size > 0 ? size : 1]());
        t.size = t.masks ? size : 0;
        return t;
    }();
    return made;
}

}  // namespace

void remember_handle_stripes(uint64_t handle, uint64_t mask) noexcept
{
    if (handle < table().size)
        table().masks[handle].store(mask);
}

uint64_t known_handle_stripes(uint64_t handle) noexcept
{
    return handle < table().size ? table().masks[handle].load() : 0;
}

void forget_handle_stripes(uint64_t handle) noexcept
{
    remember_handle_stripes(handle, 0);
}
