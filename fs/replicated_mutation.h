// Pieces shared by the operations that change every replica in service.
//
// Per-request arrays are RAII owners so that every way out of an operation
// releases them; allocation failures are reported as a null array, never as
// an exception.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <string>

// N zero-filled slots, or null when memory runs out.
template <typename T>
std::unique_ptr<T[]> zeroed_slots(int n) noexcept
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[n > 0 ? n : 1]());
}

// Gives a newly created object to the calling user: owner the caller's uid,
// group the caller's gid, or the parent directory's group when the parent
// carries the set-group-ID bit (a path without '/' has no parent examined).
// Uses lchown, so a symbolic link itself changes owner. 0, or -1 with errno.
int give_to_caller(const std::string& replica_path) noexcept;

// dirname() of a replica path, on a private copy. Answers false when the
// copy cannot be made.
bool parent_of(const std::string& replica_path, std::string& parent) noexcept;
