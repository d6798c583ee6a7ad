// The timed workloads of scripts/bench that a shell loop would measure
// badly (one fork per file costs more than the file operation itself). Each
// command works in the directory it is given, through whatever filesystem is
// mounted there, times only its own system calls and prints one line per
// phase, "NAME SECONDS", for the script to collect. What a command creates it
// removes again outside the timed phases. Exit status 0, or 1 after a
// message on standard error naming the call that failed.
//
//   bench_ops files DIR COUNT DEPTH      create, stat, unlink COUNT files
//   bench_ops randwrite FILE MIB COUNT   COUNT 4 KiB writes at random offsets
//   bench_ops smallfiles DIR COUNT       create, write 4 KiB and close COUNT files
//   bench_ops parcreate DIR WRITERS COUNT  WRITERS threads create COUNT files
//   bench_ops parwrite DIR WRITERS MIB   WRITERS threads write MIB in 4 KiB
//   bench_ops hold DIR COUNT             open COUNT files until stdin closes
//   bench_ops phase DIR COUNT create|stat|unlink   one phase of files, untimed
//                                        (for counting the daemon's system calls)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t block = 4096;
constexpr size_t mib = 1024 * 1024;
// The kernel keeps a FUSE entry and its attributes for one second by
// default; a stat pass started later reaches the daemon for every file.
constexpr auto kernel_cache_expiry = std::chrono::milliseconds(1200);

using clock_type = std::chrono::steady_clock;

// Closes the descriptor it holds.
struct fd_owner {
    int fd = -1;
    explicit fd_owner(int descriptor) noexcept : fd(descriptor) {}
    fd_owner(fd_owner&& other) noexcept : fd(other.fd) { other.fd = -1; }
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    ~fd_owner()
    {
        if (fd >= 0)
            close(fd);
    }
};

[[noreturn]] void fail(const char* call, const std::string& path)
{
    const int err = errno;
    std::fprintf(stderr, "bench_ops: %s %s: %s\n", call, path.c_str(), std::strerror(err));
    std::exit(1);
}

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

void report(const char* phase, double seconds)
{
    std::printf("%s %.6f\n", phase, seconds);
    std::fflush(stdout);
}

long number(const char* text)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 0) {
        std::fprintf(stderr, "bench_ops: not a count: %s\n", text);
        std::exit(2);
    }
    return value;
}

std::string file_name(const std::string& dir, const char* prefix, long i)
{
    return dir + "/" + prefix + std::to_string(i);
}

// Creates an empty file, as touch(1) would: open, close.
void create_file(const std::string& path)
{
    const fd_owner file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (file.fd < 0)
        fail("open", path);
}

// Fills the first bytes of fd in 4 KiB writes.
void write_blocks(int fd, size_t bytes, const std::string& path)
{
    std::vector<char> data(block, 'v');
    for (size_t done = 0; done < bytes; done += block) {
        if (pwrite(fd, data.data(), block, static_cast<off_t>(done)) != static_cast<ssize_t>(block))
            fail("pwrite", path);
    }
}

// The directories d1/d2/.../dDEPTH under dir, the last one returned.
std::string make_chain(const std::string& dir, long depth)
{
    std::string path = dir;
    for (long level = 1; level <= depth; ++level) {
        path += "/d" + std::to_string(level);
        if (mkdir(path.c_str(), 0755) != 0)
            fail("mkdir", path);
    }
    return path;
}

void remove_chain(const std::string& dir, long depth)
{
    for (long level = depth; level >= 1; --level) {
        std::string path = dir;
        for (long l = 1; l <= level; ++l)
            path += "/d" + std::to_string(l);
        if (rmdir(path.c_str()) != 0)
            fail("rmdir", path);
    }
}

int run_files(const std::string& dir, long count, long depth)
{
    const std::string leaf = make_chain(dir, depth);
    auto start = clock_type::now();
    for (long i = 0; i < count; ++i)
        create_file(file_name(leaf, "f", i));
    report("create", seconds_since(start));

    std::this_thread::sleep_for(kernel_cache_expiry);
    start = clock_type::now();
    for (long i = 0; i < count; ++i) {
        struct stat st;
        const std::string path = file_name(leaf, "f", i);
        if (lstat(path.c_str(), &st) != 0)
            fail("lstat", path);
    }
    report("stat", seconds_since(start));

    start = clock_type::now();
    for (long i = 0; i < count; ++i) {
        const std::string path = file_name(leaf, "f", i);
        if (unlink(path.c_str()) != 0)
            fail("unlink", path);
    }
    report("unlink", seconds_since(start));
    remove_chain(dir, depth);
    return 0;
}

int run_randwrite(const std::string& path, long size_mib, long count)
{
    const fd_owner file(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (file.fd < 0)
        fail("open", path);
    const size_t bytes = static_cast<size_t>(size_mib) * mib;
    write_blocks(file.fd, bytes, path);
    if (fsync(file.fd) != 0)
        fail("fsync", path);

    std::mt19937_64 generator(12345);
    std::uniform_int_distribution<size_t> pick(0, bytes / block - 1);
    std::vector<char> data(block, 'r');
    const auto start = clock_type::now();
    for (long i = 0; i < count; ++i) {
        const off_t offset = static_cast<off_t>(pick(generator) * block);
        if (pwrite(file.fd, data.data(), block, offset) != static_cast<ssize_t>(block))
            fail("pwrite", path);
    }
    if (fsync(file.fd) != 0)
        fail("fsync", path);
    report("randwrite", seconds_since(start));
    if (unlink(path.c_str()) != 0)
        fail("unlink", path);
    return 0;
}

// Each file created, written and closed: a close after writing is where
// the replicas' modification times are made the same.
int run_smallfiles(const std::string& dir, long count)
{
    const auto start = clock_type::now();
    for (long i = 0; i < count; ++i) {
        const std::string path = file_name(dir, "s", i);
        const fd_owner file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (file.fd < 0)
            fail("open", path);
        write_blocks(file.fd, block, path);
    }
    report("smallfiles", seconds_since(start));
    for (long i = 0; i < count; ++i) {
        const std::string path = file_name(dir, "s", i);
        if (unlink(path.c_str()) != 0)
            fail("unlink", path);
    }
    return 0;
}

// Runs body(w) on writers threads at once and answers the wall time.
template <typename Body>
double run_writers(long writers, Body body)
{
    std::vector<std::thread> threads;
    const auto start = clock_type::now();
    for (long w = 0; w < writers; ++w)
        threads.emplace_back(body, w);
    for (std::thread& t : threads)
        t.join();
    return seconds_since(start);
}

int run_parcreate(const std::string& dir, long writers, long count)
{
    const long each = count / writers;
    const double seconds = run_writers(writers, [&](long w) {
        const std::string prefix = "w" + std::to_string(w) + "_";
        for (long i = 0; i < each; ++i)
            create_file(file_name(dir, prefix.c_str(), i));
    });
    report("parcreate", seconds);
    for (long w = 0; w < writers; ++w) {
        const std::string prefix = "w" + std::to_string(w) + "_";
        for (long i = 0; i < each; ++i) {
            const std::string path = file_name(dir, prefix.c_str(), i);
            if (unlink(path.c_str()) != 0)
                fail("unlink", path);
        }
    }
    return 0;
}

int run_parwrite(const std::string& dir, long writers, long total_mib)
{
    const size_t each = static_cast<size_t>(total_mib) * mib / static_cast<size_t>(writers);
    std::vector<fd_owner> files;
    for (long w = 0; w < writers; ++w) {
        const std::string path = file_name(dir, "p", w);
        files.emplace_back(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (files.back().fd < 0)
            fail("open", path);
    }
    const double seconds = run_writers(writers, [&](long w) {
        write_blocks(files[static_cast<size_t>(w)].fd, each, file_name(dir, "p", w));
    });
    report("parwrite", seconds);
    files.clear();
    for (long w = 0; w < writers; ++w) {
        const std::string path = file_name(dir, "p", w);
        if (unlink(path.c_str()) != 0)
            fail("unlink", path);
    }
    return 0;
}

// Prints "opened N ERROR" once N files are open (ERROR "none" when all COUNT
// opened, else the text of the first open's failure), then holds them until
// standard input reaches end of file.
int run_hold(const std::string& dir, long count)
{
    for (long i = 0; i < count; ++i)
        create_file(file_name(dir, "h", i));
    std::vector<fd_owner> files;
    files.reserve(static_cast<size_t>(count));
    int first_error = 0;
    for (long i = 0; i < count; ++i) {
        const int fd = open(file_name(dir, "h", i).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            first_error = errno;
            break;
        }
        files.emplace_back(fd);
    }
    std::printf("opened %zu %s\n", files.size(), first_error ? std::strerror(first_error) : "none");
    std::fflush(stdout);
    char buffer[64];
    while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    files.clear();
    for (long i = 0; i < count; ++i) {
        const std::string path = file_name(dir, "h", i);
        if (unlink(path.c_str()) != 0)
            fail("unlink", path);
    }
    return 0;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: bench_ops files DIR COUNT DEPTH\n"
                 "       bench_ops randwrite FILE MIB COUNT\n"
                 "       bench_ops smallfiles DIR COUNT\n"
                 "       bench_ops parcreate DIR WRITERS COUNT\n"
                 "       bench_ops parwrite DIR WRITERS MIB\n"
                 "       bench_ops hold DIR COUNT\n"
                 "       bench_ops phase DIR COUNT create|stat|unlink\n");
    return 2;
}

// One phase of run_files in dir, with nothing else around it.
int run_phase(const std::string& dir, long count, const std::string& phase)
{
    for (long i = 0; i < count; ++i) {
        const std::string path = file_name(dir, "f", i);
        struct stat st;
        if (phase == "create")
            create_file(path);
        else if (phase == "stat" && stat(path.c_str(), &st) != 0)
            fail("stat", path);
        else if (phase == "unlink" && unlink(path.c_str()) != 0)
            fail("unlink", path);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
        return usage();
    const std::string command = argv[1];
    const std::string path = argv[2];
    if (command == "files" && argc == 5)
        return run_files(path, number(argv[3]), number(argv[4]));
    if (command == "randwrite" && argc == 5)
        return run_randwrite(path, number(argv[3]), number(argv[4]));
    if (command == "smallfiles" && argc == 4)
        return run_smallfiles(path, number(argv[3]));
    if (command == "parcreate" && argc == 5 && number(argv[3]) > 0)
        return run_parcreate(path, number(argv[3]), number(argv[4]));
    if (command == "parwrite" && argc == 5 && number(argv[3]) > 0)
        return run_parwrite(path, number(argv[3]), number(argv[4]));
    if (command == "hold" && argc == 4)
        return run_hold(path, number(argv[3]));
    if (command == "phase" && argc == 5)
        return run_phase(path, number(argv[3]), argv[4]);
    return usage();
}
