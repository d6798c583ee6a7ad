// Why a replica left service, kept while it stays out: it decides whether
// the replica may come back by itself (fs/resync/healing.h) or only when
// the administrator brings it back.
//
// A replica that stopped answering (the deadline passed, or its filesystem
// reports it cannot be reached: a dead network or FUSE client) is the same
// replica once it answers again, only behind; a resync makes it current.
// A replica on which an operation failed on a reachable filesystem (a full
// disk, an I/O error, a read-only remount, anything else) would fail again
// or hold damage that a copy hides: the administrator looks at it first.
// So does a replica the administrator took out, and one whose reason is not
// known (out at start-up: the durable record keeps no reason).
#pragma once

#include <cerrno>
#include <cstdint>

enum class departure : uint8_t {
    unknown,        // in service, or out since start-up
    administrator,  // "2" in its status file
    failed,         // an operation failed on a reachable filesystem
    unreachable,    // the deadline, or an error meaning it cannot be reached
};

// The reason for a failure with this errno (0: a failure without one, a
// short write say).
constexpr departure departure_for_error(int error) noexcept
{
    switch (error) {
    case ETIMEDOUT:  // the deadline, or the network gave up
    case ENOTCONN:   // a FUSE client or a network mount whose other end has gone
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENETDOWN:
    case ENETUNREACH:
        return departure::unreachable;
    default:
        return departure::failed;
    }
}

constexpr bool heals_by_itself(departure reason) noexcept
{
    return reason == departure::unreachable;
}
