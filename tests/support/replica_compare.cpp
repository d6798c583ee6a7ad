#include "tests/support/replica_compare.h"

#include "fs/engine/reserved_name.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

namespace {

struct file_id_less {
    bool operator()(const struct stat& a, const struct stat& b) const
    {
        return std::make_pair(a.st_dev, a.st_ino) < std::make_pair(b.st_dev, b.st_ino);
    }
};

using link_groups = std::map<struct stat, std::vector<std::string>, file_id_less>;

std::string relative(const std::string& parent, const char* name)
{
    return parent == "." ? name : parent + "/" + name;
}

void list_below(const std::string& root, const std::string& path, tree_listing& listing,
                link_groups& groups)
{
    const std::string full = path == "." ? root : root + "/" + path;
    tree_entry& entry = listing[path];
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) {
        entry.error = std::string("lstat: ") + std::strerror(errno);
        return;
    }
    entry.mode = st.st_mode;
    entry.uid = st.st_uid;
    entry.gid = st.st_gid;
    entry.size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    entry.mtime = st.st_mtim;
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        const ssize_t n = readlink(full.c_str(), target, sizeof target);
        if (n < 0)
            entry.error = std::string("readlink: ") + std::strerror(errno);
        else
            entry.target.assign(target, static_cast<size_t>(n));
    }
    if (!S_ISDIR(st.st_mode)) {
        groups[st].push_back(path);
        return;
    }
    DIR* dir = opendir(full.c_str());
    if (dir == nullptr) {
        entry.error = std::string("opendir: ") + std::strerror(errno);
        return;
    }
    std::vector<std::string> children;
    while (const dirent* child = readdir(dir)) {
        if (std::strcmp(child->d_name, ".") != 0 && std::strcmp(child->d_name, "..") != 0 &&
            !is_reserved_root_name(path == ".", child->d_name))
            children.push_back(relative(path, child->d_name));
    }
    closedir(dir);
    for (const std::string& child : children)
        list_below(root, child, listing, groups);
}

// The offset of the first byte that differs, -1 when the contents are the
// same; an error text in `error` when a file cannot be read.
off_t first_difference(const std::string& a, const std::string& b, std::string& error)
{
    const int fa = open(a.c_str(), O_RDONLY | O_NOFOLLOW);
    const int fb = open(b.c_str(), O_RDONLY | O_NOFOLLOW);
    off_t at = -1;
    if (fa < 0 || fb < 0) {
        error = std::string("cannot open: ") + std::strerror(errno);
    } else {
        char ba[65536], bb[65536];
        for (off_t offset = 0; at < 0;) {
            const ssize_t na = pread(fa, ba, sizeof ba, offset);
            const ssize_t nb = pread(fb, bb, sizeof bb, offset);
            if (na < 0 || nb < 0) {
                error = std::string("cannot read: ") + std::strerror(errno);
                break;
            }
            const ssize_t common = std::min(na, nb);
            for (ssize_t i = 0; i < common && at < 0; ++i)
                if (ba[i] != bb[i])
                    at = offset + i;
            if (at < 0 && na != nb)
                at = offset + common;
            if (na == 0 || nb == 0)
                break;
            offset += common;
        }
    }
    if (fa >= 0)
        close(fa);
    if (fb >= 0)
        close(fb);
    return at;
}

std::string type_word(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return "file";
    case S_IFDIR:
        return "directory";
    case S_IFLNK:
        return "symlink";
    case S_IFIFO:
        return "fifo";
    case S_IFSOCK:
        return "socket";
    case S_IFCHR:
        return "char device";
    case S_IFBLK:
        return "block device";
    default:
        return "type?";
    }
}

std::string joined(const std::vector<std::string>& words)
{
    std::string text = "[";
    for (const std::string& w : words)
        text += (text.size() > 1 ? " " : "") + w;
    return text + "]";
}

std::string describe(const tree_entry& e)
{
    if (!e.error.empty())
        return e.error;
    char text[128];
    std::snprintf(text, sizeof text, "%s %04o %u:%u", type_word(e.mode).c_str(),
                  static_cast<unsigned>(e.mode & 07777), static_cast<unsigned>(e.uid),
                  static_cast<unsigned>(e.gid));
    std::string words = text;
    if (!S_ISDIR(e.mode))
        words += " size " + std::to_string(e.size);
    if (S_ISLNK(e.mode))
        words += " -> " + e.target;
    if (!e.links.empty())
        words += " linked with " + joined(e.links);
    return words;
}

std::string time_text(const struct timespec& t)
{
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(t.tv_sec), t.tv_nsec);
    return text;
}

bool same_attributes(const tree_entry& a, const tree_entry& b)
{
    return a.error.empty() && b.error.empty() && a.mode == b.mode && a.uid == b.uid &&
           a.gid == b.gid && a.size == b.size && a.target == b.target && a.links == b.links;
}

}  // namespace

tree_listing list_tree(const std::string& root)
{
    tree_listing listing;
    link_groups groups;
    list_below(root, ".", listing, groups);
    for (const auto& [id, paths] : groups) {
        for (const std::string& path : paths) {
            for (const std::string& other : paths)
                if (other != path)
                    listing[path].links.push_back(other);
            // In name order: the walk meets the names in each directory's
            // own order, which differs between replicas made apart.
            std::sort(listing[path].links.begin(), listing[path].links.end());
        }
    }
    return listing;
}

std::string replica_differences(const std::vector<std::string>& roots, size_t shown)
{
    std::vector<tree_listing> listings;
    std::set<std::string> paths;
    for (const std::string& root : roots) {
        listings.push_back(list_tree(root));
        for (const auto& [path, entry] : listings.back())
            paths.insert(path);
    }
    std::vector<std::string> found;
    for (const std::string& path : paths) {
        const auto first = listings[0].find(path);
        for (size_t r = 1; r < roots.size(); ++r) {
            const auto other = listings[r].find(path);
            const std::string here = "replica " + std::to_string(r);
            const bool in_first = first != listings[0].end();
            if (!in_first && other == listings[r].end())
                continue;
            if (!in_first || other == listings[r].end()) {
                found.push_back(path + ": only in " + (in_first ? "replica 0" : here) + " (" +
                                describe(in_first ? first->second : other->second) + ")");
            } else if (!same_attributes(first->second, other->second)) {
                found.push_back(path + ": replica 0 " + describe(first->second) + ", " + here +
                                " " + describe(other->second));
            } else {
                const tree_entry& a = first->second;
                const tree_entry& b = other->second;
                if (a.mtime.tv_sec != b.mtime.tv_sec || a.mtime.tv_nsec != b.mtime.tv_nsec)
                    found.push_back(path + ": modified at " + time_text(a.mtime) + " in replica 0, " +
                                    time_text(b.mtime) + " in " + here);
                if (!S_ISREG(a.mode))
                    continue;
                std::string error;
                const off_t at =
                    first_difference(roots[0] + "/" + path, roots[r] + "/" + path, error);
                if (!error.empty())
                    found.push_back(path + ": " + error);
                else if (at >= 0)
                    found.push_back(path + ": contents of replica 0 and " + here +
                                    " differ from byte " + std::to_string(at));
            }
        }
    }
    if (found.empty())
        return "";
    std::string text = std::to_string(found.size()) + " differences between the replicas";
    for (size_t i = 0; i < found.size() && i < shown; ++i)
        text += "\n  " + found[i];
    return text + "\n";
}
