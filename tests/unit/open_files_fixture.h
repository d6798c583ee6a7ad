// The fixture of the open-file operations' tests: replica directories in
// a scratch directory, the operations called directly, with the caller set
// per thread.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fs/engine/event_log.h"
#include "fs/engine/fd_table.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replicas.h"
#include "fs/kernel/operations.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"
#include "tests/support/test_caller.h"

namespace {

constexpr uid_t user = 4242;
constexpr gid_t user_group = 4242;
constexpr uid_t other_user = 4343;

// A small tmpfs inside the scratch directory, unmounted at the end.
struct small_tmpfs {
    std::string path;
    bool mounted = false;
    small_tmpfs(const std::string& where, const char* size) : path(where)
    {
        mkdir(path.c_str(), 0755);
        const std::string data = std::string("size=") + size + ",mode=0755";
        mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, data.c_str()) == 0;
    }
    ~small_tmpfs()
    {
        if (mounted)
            umount2(path.c_str(), MNT_DETACH);
    }
};

// Leaves exactly `pages` pages free on a fresh tmpfs of `total` bytes.
inline void fill_leaving(const std::string& root, size_t total, size_t pages)
{
    const std::string filler(total - pages * 4096, 'z');
    write_file(root + "/filler", filler);
}

class open_files : public ::testing::Test {
protected:
    scoped_state own_state;
    scratch_dir scratch;
    std::vector<std::string> roots;

    // count replicas r0, r1, ... all in service and high priority; the
    // roots may be given instead (for replicas on their own file system).
    void start(int count, std::vector<std::string> given = {})
    {
        roots = given;
        for (int r = static_cast<int>(roots.size()); r < count; ++r) {
            roots.push_back(scratch / ("r" + std::to_string(r)));
            mkdir(roots.back().c_str(), 0755);
        }
        replica_set& replicas = state().replicas;
        replicas.table.reset(new replica_info[count]);
        replicas.count = count;
        std::vector<int> order;
        for (int r = 0; r < count; ++r) {
            replica_at(r).root = roots[r];
            replica_at(r).root_length = roots[r].size();
            replica_at(r).root_fd = open_replica_root(roots[r].c_str());
            order.push_back(r);
        }
        replicas.high_count = count;
        replicas.high_rotation = make_rotation_table(order);
        ASSERT_EQ(fd_table_allocate(8, 255, 256), 0);
        state().log.path = scratch / "vornelix.log";
        ASSERT_EQ(open_log(), 0);
        set_test_caller(0, 0);
    }

    void TearDown() override
    {
        set_test_caller(0, 0);
        for (int r = 0; r < state().replicas.count; ++r)
            close(replica_at(r).root_fd);
    }

    std::string in(int r, const std::string& name) const { return roots[r] + "/" + name; }
    std::string log() const { return read_file(scratch / "vornelix.log"); }
    bool in_service(int r) const { return state_word(r) == 0; }

    // Puts the same file on every replica.
    void put_everywhere(const std::string& name, const std::string& text, mode_t mode,
                        uid_t owner = user, gid_t group = user_group)
    {
        for (size_t r = 0; r < roots.size(); ++r) {
            write_file(in(r, name), text, mode);
            ASSERT_EQ(chown(in(r, name).c_str(), owner, group), 0);
        }
    }

    int open_as(const std::string& path, int flags, fuse_file_info& fi)
    {
        std::memset(&fi, 0, sizeof fi);
        fi.flags = flags;
        return fs_open(path.c_str(), &fi);
    }

    std::string read_at(fuse_file_info& fi, size_t size, off_t offset, int* result = nullptr)
    {
        std::string buffer(size, '\0');
        const int n = fs_read("/", buffer.data(), size, offset, &fi);
        if (result)
            *result = n;
        buffer.resize(n > 0 ? n : 0);
        return buffer;
    }

    int write_at(fuse_file_info& fi, const std::string& data, off_t offset)
    {
        return fs_write("/", data.data(), data.size(), offset, &fi);
    }
};

inline bool descriptor_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

}  // namespace
