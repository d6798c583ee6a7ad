// Throughput of the open-file operations called directly (no mount, no
// kernel round trip), over three replica directories in a scratch directory
// under /tmp, and the cost of the write-order stripes.
//
// Build and run (as root, like the daemon):
//   cmake --build BUILD --target file_ops_bench && BUILD/file_ops_bench
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fs/engine/event_log.h"
#include "fs/engine/fd_table.h"
#include "fs/engine/replicas.h"
#include "fs/engine/write_order.h"
#include "fs/kernel/operations.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"
#include "tests/support/test_caller.h"

namespace {

constexpr int replicas = 3;
constexpr size_t block = 4096;

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

struct bench_replicas {
    scoped_state own_state;
    scratch_dir scratch;

    bench_replicas()
    {
        replica_set& set = state().replicas;
        set.table.reset(new replica_info[replicas]);
        set.count = replicas;
        std::vector<int> order;
        for (int r = 0; r < replicas; ++r) {
            const std::string root = scratch / ("r" + std::to_string(r));
            mkdir(root.c_str(), 0755);
            replica_at(r).root = root;
            replica_at(r).root_length = root.size();
            order.push_back(r);
        }
        set.high_count = replicas;
        set.high_rotation = make_rotation_table(order);
        fd_table_allocate(10, 1023, 1024);
    }

    void create(const std::string& name) const
    {
        for (int r = 0; r < replicas; ++r)
            write_file(replica_at(r).root + "/" + name, "");
    }
};

fuse_file_info open_file(const std::string& path, int flags)
{
    fuse_file_info fi;
    std::memset(&fi, 0, sizeof fi);
    fi.flags = flags;
    if (fs_open(path.c_str(), &fi) != 0)
        std::fprintf(stderr, "open %s failed\n", path.c_str());
    return fi;
}

void sequential_writes(bench_replicas& set)
{
    set.create("seq");
    fuse_file_info fi = open_file("/seq", O_WRONLY);
    const std::string data(block, 'w');
    const size_t total = 64u << 20;
    const auto start = clock_type::now();
    for (size_t offset = 0; offset < total; offset += block)
        fs_write("/seq", data.data(), block, static_cast<off_t>(offset), &fi);
    const double s = seconds_since(start);
    std::printf("write, 1 writer, 4 KiB blocks, 64 MiB x %d replicas: %.0f MiB/s, %.1f us/write\n",
                replicas, 64 / s, s * 1e6 / (total / block));

    const auto read_start = clock_type::now();
    std::string buffer(block, '\0');
    fuse_file_info reader = open_file("/seq", O_RDONLY);
    for (size_t offset = 0; offset < total; offset += block)
        fs_read("/seq", buffer.data(), block, static_cast<off_t>(offset), &reader);
    const double rs = seconds_since(read_start);
    std::printf("read, 4 KiB blocks, 64 MiB: %.0f MiB/s, %.1f us/read\n", 64 / rs,
                rs * 1e6 / (total / block));
    fs_release("/seq", &reader);
    fs_release("/seq", &fi);
}

void concurrent_writes(bench_replicas& set, bool same_file)
{
    constexpr int writers = 8;
    constexpr int writes_each = 4096;
    std::vector<fuse_file_info> handles;
    for (int w = 0; w < writers; ++w) {
        const std::string name = same_file ? "shared" : "own" + std::to_string(w);
        if (w == 0 || !same_file)
            set.create(name);
        handles.push_back(open_file("/" + name, O_WRONLY | O_APPEND));
    }
    const std::string data(block, 'a');
    const auto start = clock_type::now();
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < writes_each; ++i)
                fs_write("/", data.data(), block, 0, &handles[w]);
        });
    for (std::thread& t : threads)
        t.join();
    const double s = seconds_since(start);
    const double mib = writers * writes_each * static_cast<double>(block) / (1 << 20);
    std::printf("write, %d writers appending to %s: %.0f MiB/s in all\n", writers,
                same_file ? "one file" : "a file each", mib / s);
    for (fuse_file_info& fi : handles)
        fs_release("/", &fi);
}

void stripe_cost(bench_replicas& set)
{
    set.create("stripe");
    std::vector<int> fds;
    for (int r = 0; r < replicas; ++r)
        fds.push_back(open((replica_at(r).root + "/stripe").c_str(), O_RDONLY));
    constexpr int rounds = 1000000;
    const auto start = clock_type::now();
    for (int i = 0; i < rounds; ++i) {
        stripe_set stripes;
        for (int fd : fds)
            add_file_stripe(stripes, fd);
        write_order_hold hold(stripes);
    }
    const double s = seconds_since(start);
    std::printf("write order of %d replicas (fstat each, lock, unlock), uncontended: %.0f ns\n",
                replicas, s * 1e9 / rounds);
    for (int fd : fds)
        close(fd);
}

}  // namespace

int main()
{
    // Requests from root: no permission lookups in the measured path.
    set_test_caller(0, 0);
    bench_replicas set;
    std::printf("replicas under %s\n", set.scratch.path().c_str());
    sequential_writes(set);
    concurrent_writes(set, false);
    concurrent_writes(set, true);
    stripe_cost(set);
    return 0;
}
