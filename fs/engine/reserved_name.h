// The one name the mount keeps for itself: the change journal at the root
// of every replica (change_journal.h). It travels with the replica's disk
// like the generation record, and the mounted tree never shows it: a
// lookup at the root answers ENOENT, a listing of the root skips it, and
// a create, mkdir, mknod, symlink, link or rename onto it at the root
// answers EPERM. The walks that compare or copy trees (--verify, the first
// start's comparison, the resync) skip it at the root too. Deeper in the
// tree the name is an ordinary name.
#pragma once

#include <string_view>

constexpr std::string_view journal_file_name = ".vornelix-journal";

inline bool is_reserved_root_name(bool parent_is_root, std::string_view name) noexcept
{
    return parent_is_root && name == journal_file_name;
}

// The same for a tree path ("/a/b"): only "/.vornelix-journal" is kept.
inline bool is_reserved_path(std::string_view path) noexcept
{
    return path.size() == journal_file_name.size() + 1 && path[0] == '/' && path.substr(1) == journal_file_name;
}
