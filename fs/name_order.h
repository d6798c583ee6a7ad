// Name order: every replica must see the changes to one name in the same
// order, or two requests that race on a name (two creates, a create and an
// unlink, an open and a rename) could meet in one order on replica 0 and in
// the other on replica 1: one replica then answers EEXIST or ENOENT where
// the other succeeded, and a healthy replica is disabled.
//
// A request that changes a name, or opens or creates one, therefore holds,
// while it visits the replicas, the stripe of that name in a fixed table of
// mutexes keyed by the tree path (its parent directory and last name). A
// request on two names (rename, link) holds both stripes, taken in
// ascending stripe order. Lookups and reads take none and stay parallel;
// unrelated names rarely share a stripe.
//
// The directories above a name need no stripe: the FUSE library already
// keeps a rename or removal of a directory from running while any request
// works below it (its own path locks), and the kernel does the same for
// the names it resolves.
//
// A hold also passes the resync gate (resync_gate.h) for its whole
// length, and while a resync runs registers its names as it lets them go.
//
// Where the stripes stand among the other locks: lock_order.h, #4.
#pragma once

#include <cstddef>
#include <string_view>

constexpr size_t name_order_stripe_count = 256;

size_t name_order_stripe(std::string_view path) noexcept;

// Holds the stripes of one or two tree paths from construction to
// destruction. The paths must outlive the hold.
class name_order_hold {
public:
    explicit name_order_hold(std::string_view path) noexcept;
    name_order_hold(std::string_view first, std::string_view second) noexcept;
    ~name_order_hold();
    name_order_hold(const name_order_hold&) = delete;
    name_order_hold& operator=(const name_order_hold&) = delete;

private:
    std::string_view first_;
    std::string_view second_;  // empty for one path
    size_t low_;
    size_t high_;  // equal to low_ when only one stripe is held
};
