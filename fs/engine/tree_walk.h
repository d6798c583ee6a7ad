// Walking a replica tree from its root descriptor without a mount: what
// the resync's copy, vornelix --verify and the first start's comparison
// share. Nothing here follows a symbolic link, so a link inside a replica,
// however it got there, never leads the walk outside it; and nothing here
// changes an access time it can avoid changing, since the trees being read
// are the ones being copied or compared.
//
// Results: -1 with errno set on failure, like the system calls they wrap;
// want of memory is ENOMEM.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// A move-only descriptor owner: closes what it holds when it goes.
class unique_fd {
public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
    unique_fd& operator=(unique_fd&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// The tree path ("/", "/a/b") beneath root, walked with openat2 and never
// following a link on the way or at the end (O_PATH|O_NOFOLLOW gives the
// link itself); "/" is root itself; a path longer than PATH_MAX is walked
// in pieces. A descriptor.
int open_beneath(int root, std::string_view path, int flags) noexcept;

// name in dir opened for reading (O_RDONLY, plus flags such as
// O_DIRECTORY), never following a link there, and with O_NOATIME where
// the caller may use it (the file's owner, or root). A descriptor.
int open_to_read(int dir, const char* name, int flags) noexcept;

// The names in the directory open for reading as fd, sorted, without "."
// and "..": read from the start wherever fd stands, and fd left at the
// end. Reading moves the directory's access time unless fd was opened
// with O_NOATIME (open_to_read). 0.
int list_directory(int fd, std::vector<std::string>& names) noexcept;

// list_directory for the directory at the tree path, less the name the
// mount keeps for itself there (reserved_name.h): the walks never compare
// or copy it.
int list_tree_names(int fd, std::string_view path, std::vector<std::string>& names) noexcept;

// The tree path of name in the directory at path.
std::string child_path(const std::string& path, std::string_view name);

// The extended attributes that are part of the tree, and so reach every
// replica, are copied by a resync and compared by --verify: the user.,
// security. and trusted. namespaces and the two access control lists
// (system.posix_acl_access, system.posix_acl_default). The replica
// records (trusted.vornelix.*) are each replica's own and never part of
// it; the rest of system. names what a filesystem makes of its own data.
bool is_tree_attribute(std::string_view name) noexcept;
// The names kept for the replica records, wherever they appear.
bool is_reserved_attribute(std::string_view name) noexcept;

// The tree's extended attribute names of the open file fd, sorted. A
// filesystem without extended attributes has none. 0.
int tree_attribute_names(int fd, std::vector<std::string>& names) noexcept;

// The value of one extended attribute of the open file fd, read again
// while it grows between asking its size and reading it. 0.
int attribute_value(int fd, const char* name, std::string& value) noexcept;

// The tree's extended attributes of the open file fd, by name. 0, or -1
// (ENODATA for one removed while they are read).
int tree_attributes(int fd, std::map<std::string, std::string>& attributes) noexcept;

// The target of the link name in dir. expected is the length it is
// likely to have (its st_size); a longer target is read again in a larger
// buffer. 0.
int read_link(int dir, const char* name, size_t expected, std::string& target) noexcept;
