// The write-order stripes of each open file, by FUSE handle, found when it
// was opened: a file's identity on a replica never changes while its
// descriptor is open, so a write by root (who has no set-group-ID bit to
// drop) takes its stripes from here instead of examining every descriptor
// first. Whoever gives a handle a descriptor it did not have at open must
// forget the handle's stripes; writes then examine the descriptors again.
//
// Thread safety: one atomic word per handle. The table is sized once, at
// first use, from the open-file table (fd_table.h); a handle beyond it has
// no stripes known.
#pragma once

#include <cstdint>

// The stripes as a mask of write_order_stripe_count bits; 0: not known.
void remember_handle_stripes(uint64_t handle, uint64_t mask) noexcept;
uint64_t known_handle_stripes(uint64_t handle) noexcept;
void forget_handle_stripes(uint64_t handle) noexcept;
