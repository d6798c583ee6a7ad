#include "tests/parity/parity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "tests/support/acl_value.h"
#include "tests/support/tree_listing.h"

namespace parity {

const struct timespec early = {1000000000, 123456789};
const struct timespec later = {1200000000, 987654321};

int e(long rc)
{
    return rc < 0 ? errno : 0;
}

int create(const char* path, mode_t mode)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

namespace {

int own(const char* path, mode_t mode, uid_t uid, gid_t gid)
{
    if (lchown(path, uid, gid) != 0)
        return errno;
    return chmod(path, mode) == 0 ? 0 : errno;
}

bool is_recent(const struct timespec& t, const struct timespec& since)
{
    return t.tv_sec > since.tv_sec || (t.tv_sec == since.tv_sec && t.tv_nsec >= since.tv_nsec);
}

std::string time_text(const struct timespec& t, const struct timespec& since)
{
    if (is_recent(t, since))
        return "recent";
    char text[64];
    std::snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(t.tv_sec), t.tv_nsec);
    return text;
}

// Every extended attribute of a name, sorted, name=value: access control
// lists as getfacl would write them, other values as text or, when not
// printable, in hex.
std::string extended_attributes(const std::string& path)
{
    return attributes_text(
        path, [](const char*) { return true; },
        [](const char* name, std::string_view bytes) {
            if (std::strncmp(name, "system.posix_acl_", 17) == 0)
                return acl_text(bytes);
            if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return std::isprint(static_cast<unsigned char>(c)); }))
                return std::string(bytes);
            std::string shown;
            for (const char c : bytes) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(c));
                shown += hex;
            }
            return shown;
        });
}

}  // namespace

int file(const where& at, const std::string& name, mode_t mode, uid_t uid, gid_t gid, const std::string& text)
{
    const int fd = open(at(name), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return errno;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int err = errno;
    close(fd);
    if (!written)
        return err;
    return own(at(name), mode, uid, gid);
}

int dir(const where& at, const std::string& name, mode_t mode, uid_t uid, gid_t gid)
{
    return mkdir(at(name), 0700) == 0 ? own(at(name), mode, uid, gid) : errno;
}

int fifo(const where& at, const std::string& name, mode_t mode, uid_t uid, gid_t gid)
{
    return mkfifo(at(name), 0600) == 0 ? own(at(name), mode, uid, gid) : errno;
}

int device(const where& at, const std::string& name, mode_t mode, uid_t uid, gid_t gid, dev_t dev)
{
    return mknod(at(name), S_IFCHR | 0600, dev) == 0 ? own(at(name), mode, uid, gid) : errno;
}

int link_to(const where& at, const std::string& name, const std::string& target, uid_t uid, gid_t gid)
{
    if (symlink(target.c_str(), at(name)) != 0)
        return errno;
    return lchown(at(name), uid, gid) == 0 ? 0 : errno;
}

int stamp(const where& at, const std::string& name)
{
    const struct timespec times[2] = {early, early};
    return e(utimensat(AT_FDCWD, at(name), times, AT_SYMLINK_NOFOLLOW));
}

std::string attributes_of(const std::string& root, const std::vector<std::string>& names, bool times,
                          const struct timespec& since)
{
    std::string out;
    for (const std::string& name : names) {
        struct stat st;
        if (lstat((root + "/" + name).c_str(), &st) != 0) {
            out += name + " " + strerrorname_np(errno) + "\n";
            continue;
        }
        char line[128];
        std::snprintf(line, sizeof line, " mode %07o owner %u:%u", static_cast<unsigned>(st.st_mode),
                      static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid));
        out += name + line;
        // A directory's size is the file system's own business.
        if (!S_ISDIR(st.st_mode))
            out += " size " + std::to_string(st.st_size);
        if (times)
            out += " atime " + time_text(st.st_atim, since) + " mtime " + time_text(st.st_mtim, since);
        out += extended_attributes(root + "/" + name) + "\n";
    }
    return out;
}

std::string errno_names(const results& values)
{
    std::string out;
    for (int v : values) {
        const char* name = v > 0 ? strerrorname_np(v) : nullptr;
        out += (out.empty() ? "" : " ") + (name != nullptr ? std::string(name) : std::to_string(v));
    }
    return out;
}

}  // namespace parity
