#include "fs/engine/fd_table.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

#include <unistd.h>

#include "fs/engine/event_log.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replicas.h"

namespace {

// Over claiming and emptying the slots of the state's open-file table
// (process_state.h); lock_order.h: #8.
std::mutex table_lock;

}  // namespace

int fd_table_allocate(uint64_t bits, uint64_t mask, uint64_t size) noexcept
{
    if (size > SIZE_MAX / sizeof(std::atomic<int32_t*>))
        return -1;
    std::atomic<int32_t*>* table = new (std::nothrow) std::atomic<int32_t*>[size > 0 ? size : 1];
    if (table == nullptr)
        return -1;
    std::atomic<bool>* flags = new (std::nothrow) std::atomic<bool>[size > 0 ? size : 1];
    if (flags == nullptr) {
        delete[] table;
        return -1;
    }
    for (uint64_t i = 0; i < size; ++i) {
        table[i].store(nullptr);
        flags[i].store(false);
    }
    open_file_table& files = state().fd_table;
    files.slots.reset(table);
    files.written.reset(flags);
    files.bits = bits;
    files.mask = mask;
    files.size = size;
    return 0;
}

uint32_t hash32(uint32_t a) noexcept
{
    a = (a + 0x7ed55d16) + (a << 12);
    a = (a ^ 0xc761c23c) ^ (a >> 19);
    a = (a + 0x165667b1) + (a << 5);
    a = (a + 0xd3a2646c) ^ (a << 9);
    a = (a + 0xfd7046c5) + (a << 3);
    a = (a ^ 0xb55a4f09) ^ (a >> 16);
    return a;
}

uint64_t hash64(uint64_t k) noexcept
{
    k = (~k) + (k << 21);
    k = k ^ (k >> 24);
    k = k * 265;
    k = k ^ (k >> 14);
    k = k * 21;
    k = k ^ (k >> 28);
    k = k + (k << 31);
    return k;
}

uint64_t fd_hash(uint32_t key) noexcept
{
    const open_file_table& files = state().fd_table;
    const uint64_t hash = files.bits <= 32 ? hash32(key) : hash64(key);
    return hash & files.mask;
}

int64_t find_free_slot(uint64_t start) noexcept
{
    const open_file_table& files = state().fd_table;
    for (uint64_t i = start; i < files.size; ++i)
        if (files.slots[i].load() == nullptr)
            return static_cast<int64_t>(i);
    const uint64_t end = start < files.size ? start : files.size;
    for (uint64_t i = 0; i < end; ++i)
        if (files.slots[i].load() == nullptr)
            return static_cast<int64_t>(i);
    write_log("hash allocation", "too many opened files", 0);
    return code_too_many_files;
}

int64_t fd_table_insert(descriptor_array& array) noexcept
{
    int64_t key = -1;
    for (int k = 0; k < state().replicas.count; ++k) {
        if (replica_in_service(k) && array[k] >= 0) {
            key = array[k];
            break;
        }
    }
    if (key < 0)
        return -1;
    std::lock_guard<std::mutex> guard(table_lock);
    const int64_t slot = find_free_slot(fd_hash(static_cast<uint32_t>(key)));
    if (slot < 0)
        return slot;
    state().fd_table.written[slot].store(false);
    state().fd_table.slots[slot].store(array.release());
    return slot;
}

int32_t* fd_table_get(uint64_t slot) noexcept
{
    const open_file_table& files = state().fd_table;
    if (slot >= files.size)
        return nullptr;
    return files.slots[slot].load();
}

descriptor_array fd_table_remove(uint64_t slot) noexcept
{
    const open_file_table& files = state().fd_table;
    if (slot >= files.size)
        return nullptr;
    std::lock_guard<std::mutex> guard(table_lock);
    return descriptor_array(files.slots[slot].exchange(nullptr));
}

void fd_table_note_write(uint64_t slot) noexcept
{
    // Most writes find it noted already: a load keeps the cache line shared.
    const open_file_table& files = state().fd_table;
    if (slot < files.size && !files.written[slot].load(std::memory_order_relaxed))
        files.written[slot].store(true);
}

bool fd_table_take_write(uint64_t slot) noexcept
{
    const open_file_table& files = state().fd_table;
    return slot < files.size && files.written[slot].load(std::memory_order_relaxed) &&
           files.written[slot].exchange(false);
}

void fd_table_visit(void (*visit)(uint64_t slot, int32_t* array, void* context), void* context) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    const open_file_table& files = state().fd_table;
    for (uint64_t slot = 0; slot < files.size; ++slot)
        if (int32_t* array = files.slots[slot].load())
            visit(slot, array, context);
}

void fd_table_release_all(int replicas) noexcept
{
    std::lock_guard<std::mutex> guard(table_lock);
    open_file_table& files = state().fd_table;
    for (uint64_t slot = 0; slot < files.size; ++slot) {
        const descriptor_array array(files.slots[slot].exchange(nullptr));
        if (!array)
            continue;
        for (int k = 0; k < replicas; ++k) {
            if (array[k] > 0)
                close(array[k]);
        }
    }
    files.slots.reset();
    files.written.reset();
    files.bits = 0;
    files.mask = 0;
    files.size = 0;
}
