// A canonical text of a directory tree, to compare replicas with one
// another.
#pragma once

#include <functional>
#include <string>
#include <string_view>

// One line per entry below root, in name order: its relative name, type,
// mode, owner, group, and for a regular file its size, a hash of its
// contents and its user.* extended attributes, for a link its target,
// and its modification time to the nanosecond (the same on every replica
// once a change is done and its files closed).
// Walks through descriptors, so paths longer than PATH_MAX are listed too;
// an entry that cannot be read is listed with its error.
std::string tree_listing(const std::string& root);

// "" when the listings agree, else their first differing lines, each cut
// to a readable length.
std::string listing_difference(const std::string& first, const std::string& second);

// The extended attributes of path (not followed) that keep(name) takes,
// sorted, each as " name=shown": shown is show(name, value), or the name of
// the errno that refused the value. " xattrs ERRNO" when the names cannot
// be listed.
std::string attributes_text(const std::string& path, const std::function<bool(const char*)>& keep,
                            const std::function<std::string(const char*, std::string_view)>& show);
