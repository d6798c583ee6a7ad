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
// The directories above a name need no stripe for the name's sake: the
// FUSE library already keeps a rename or removal of a directory from
// running while any request works below it (its own path locks), and the
// kernel does the same for the names it resolves. A change that sets the
// times of the directories holding its names (replicated_mutation.h) also
// holds their stripes, taken with its own in one ascending order: the
// kernel keeps the changes in one directory apart, but libfuse removes a
// file kept under a hidden name at its last close without that lock.
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

// Whether a hold also takes the stripes of the directories that hold its
// paths (only the paths themselves are registered with a resync).
enum class with_directories : bool { no, yes };

// Holds the stripes of one or two tree paths from construction to
// destruction. The paths must outlive the hold.
class name_order_hold {
public:
    explicit name_order_hold(std::string_view path, with_directories directories = with_directories::no) noexcept;
    name_order_hold(std::string_view first, std::string_view second,
                    with_directories directories = with_directories::no) noexcept;
    ~name_order_hold();
    // What was done under the hold changed nothing (an open without
    // O_TRUNC): its names are neither journaled nor registered.
    void unchanged() noexcept { first_ = second_ = {}; }
    name_order_hold(const name_order_hold&) = delete;
    name_order_hold& operator=(const name_order_hold&) = delete;

private:
    void take(with_directories directories) noexcept;

    std::string_view first_;
    std::string_view second_;  // empty for one path
    size_t held_[4];           // ascending, no stripe twice
    int count_ = 0;
};

// The directory holding a tree path's last name ("/" for a name in the root).
std::string_view directory_of(std::string_view path) noexcept;
