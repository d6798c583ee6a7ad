#include "tests/support/tree_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "fs/engine/reserved_name.h"
#include "fs/engine/tree_walk.h"

namespace {

std::string contents_hash(int dir, const char* name)
{
    const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return std::string("unreadable:") + strerrorname_np(errno);
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, n);
    close(fd);
    return std::to_string(std::hash<std::string>{}(text));
}

// The extended attributes of the tree (tree_walk.h) of a file or
// directory, name=value (a hash of it), sorted.
std::string listed_attributes(int dir, const char* name)
{
    return attributes_text("/proc/self/fd/" + std::to_string(dir) + "/" + name, is_tree_attribute,
                           [](const char*, std::string_view value) {
                               return std::to_string(std::hash<std::string_view>{}(value));
                           });
}

void list_directory(int dir, const std::string& prefix, std::string& out)
{
    DIR* stream = fdopendir(dup(dir));
    if (stream == nullptr) {
        out += prefix + " unlistable " + strerrorname_np(errno) + "\n";
        return;
    }
    std::vector<std::string> names;
    // The change journal at a replica's root is the system's, not the tree's.
    while (dirent* entry = readdir(stream))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 &&
            !is_reserved_root_name(prefix == ".", entry->d_name))
            names.push_back(entry->d_name);
    closedir(stream);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string shown = prefix + "/" + name;
        struct stat st;
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            out += shown + " " + strerrorname_np(errno) + "\n";
            continue;
        }
        char line[128];
        std::snprintf(line, sizeof line, " %07o %u:%u", static_cast<unsigned>(st.st_mode),
                      static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid));
        out += shown + line;
        if (S_ISREG(st.st_mode)) {
            out += " size " + std::to_string(st.st_size) + " " + contents_hash(dir, name.c_str()) +
                   listed_attributes(dir, name.c_str());
        } else if (S_ISLNK(st.st_mode)) {
            std::vector<char> target(st.st_size + 2);
            const ssize_t n = readlinkat(dir, name.c_str(), target.data(), target.size() - 1);
            out += " -> " + std::string(target.data(), n < 0 ? 0 : n);
        } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
            out += " dev " + std::to_string(st.st_rdev);
        }
        char modified[48];
        std::snprintf(modified, sizeof modified, " mtime %lld.%09ld", static_cast<long long>(st.st_mtim.tv_sec),
                      st.st_mtim.tv_nsec);
        out += std::string(modified);
        if (S_ISDIR(st.st_mode))
            out += listed_attributes(dir, name.c_str());
        out += "\n";
        if (S_ISDIR(st.st_mode)) {
            const int sub = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
            if (sub < 0) {
                out += shown + " unopenable " + strerrorname_np(errno) + "\n";
                continue;
            }
            list_directory(sub, shown, out);
            close(sub);
        }
    }
}

}  // namespace

std::string tree_listing(const std::string& root)
{
    const int dir = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir < 0)
        return std::string("unopenable ") + strerrorname_np(errno) + "\n";
    std::string out;
    list_directory(dir, ".", out);
    close(dir);
    return out;
}

std::string listing_difference(const std::string& first, const std::string& second)
{
    if (first == second)
        return "";
    std::size_t at = 0;
    while (at < first.size() && at < second.size() && first[at] == second[at])
        ++at;
    // From the start of the line where they part.
    const std::size_t line = first.rfind('\n', at == 0 ? 0 : at - 1);
    const std::size_t from = line == std::string::npos || at == 0 ? 0 : line + 1;
    const auto excerpt = [&](const std::string& text) {
        const std::size_t end = text.find('\n', from);
        std::string shown = text.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (shown.size() > 300)
            shown = shown.substr(0, 140) + "..." + shown.substr(shown.size() - 140);
        return shown.empty() ? "<end>" : shown;
    };
    return "first: " + excerpt(first) + "\nsecond: " + excerpt(second);
}

std::string attributes_text(const std::string& path, const std::function<bool(const char*)>& keep,
                            const std::function<std::string(const char*, std::string_view)>& show)
{
    char names[4096];
    const ssize_t size = llistxattr(path.c_str(), names, sizeof names);
    if (size < 0)
        return std::string(" xattrs ") + strerrorname_np(errno);
    std::vector<std::string> found;
    for (ssize_t at = 0; at < size; at += std::strlen(names + at) + 1) {
        if (!keep(names + at))
            continue;
        char value[1024];
        const ssize_t length = lgetxattr(path.c_str(), names + at, value, sizeof value);
        found.push_back(std::string(names + at) + "=" +
                        (length < 0 ? std::string(strerrorname_np(errno))
                                    : show(names + at, std::string_view(value, static_cast<size_t>(length)))));
    }
    std::sort(found.begin(), found.end());
    std::string text;
    for (const std::string& f : found)
        text += " " + f;
    return text;
}
