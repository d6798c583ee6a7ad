// Write order: every replica of a file must receive the writes to that
// file in the same order, or concurrent writers (two processes appending
// with O_APPEND, or two threads of one process writing the same range)
// would leave the replicas holding different bytes. A replicated write
// writes the replicas one after the other, so two writes to one file that
// run at the same time could reach replica 0 as A, B and replica 1 as B, A.
//
// A write therefore holds, while it writes the replicas, the stripes of a
// small fixed table of mutexes chosen by the identity (st_dev, st_ino) of
// the file on each replica it writes. Two writes to the same file share at
// least one stripe whatever handle they come through (also hard links and
// handles opened before and after a replica was disabled), so they run one
// after the other; writes to different files rarely meet. Reads take no
// stripe.
//
// A write takes its stripes in ascending stripe number, so two writes
// never wait for each other in a cycle; among the other locks they stand
// at lock_order.h, #5.
#pragma once

#include <sys/types.h>

#include <bitset>
#include <cstddef>

constexpr size_t write_order_stripe_count = 64;

// The stripe of the file with this identity.
size_t write_order_stripe(dev_t device, ino_t inode) noexcept;

// The stripes one write needs.
struct stripe_set {
    std::bitset<write_order_stripe_count> stripes;
};

// Adds the stripe of the file open on fd. 0, or -1 with errno when the
// descriptor cannot be examined (the set is left as it was).
int add_file_stripe(stripe_set& set, int fd) noexcept;

// Holds every stripe of a set from construction to destruction.
class write_order_hold {
public:
    explicit write_order_hold(const stripe_set& set) noexcept;
    ~write_order_hold();
    write_order_hold(const write_order_hold&) = delete;
    write_order_hold& operator=(const write_order_hold&) = delete;

private:
    stripe_set held_;
};
