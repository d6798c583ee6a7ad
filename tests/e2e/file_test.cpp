// Open files through a real mount: every change must leave the replicas
// byte-identical, reads must rotate among the replicas in service, and a
// replica that fails a write must drop out while the writer sees nothing.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/mount_harness.h"
#include "tests/support/replica_compare.h"

namespace {

std::string quoted(const std::string& path)
{
    return "'" + path + "'";
}

// Runs a shell command; its exit status.
int sh(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string checksum(const std::string& path)
{
    std::string sum;
    FILE* pipe = popen(("sha256sum " + quoted(path) + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr)
        return "<no sha256sum>";
    char buffer[128];
    if (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        sum.assign(buffer, 64);
    pclose(pipe);
    return sum.empty() ? "<unreadable>" : sum;
}

// The log without the lines that every start writes (one per replica).
std::string events(const test_mount& m)
{
    std::string kept;
    const std::string log = m.log_text();
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end + 1;
        const std::string line = log.substr(start, end - start);
        if (line.find(" replica priority ") == std::string::npos)
            kept += line;
        start = end;
    }
    return kept;
}

// Fuse options of the harness, with the kernel page cache out of the way
// so that every read reaches the daemon.
mount_options direct_io_mount(int replicas)
{
    mount_options options;
    options.replicas = replicas;
    options.extra_args = {"-o",
                          "allow_other,attr_timeout=0,entry_timeout=0,negative_timeout=0,direct_io"};
    return options;
}

class files_through_the_mount : public ::testing::Test {
protected:
    static constexpr int replicas = 3;

    // The file on the mount, the model kept beside it on a plain directory
    // and every replica's copy must have the same contents.
    void expect_identical(const test_mount& m, const std::string& name, const std::string& model,
                          const std::string& step)
    {
        const std::string expected = checksum(model);
        EXPECT_EQ(checksum(m.at(name)), expected) << step << ": mount";
        for (int r = 0; r < replicas; ++r)
            EXPECT_EQ(checksum(m.in_replica(r, name)), expected) << step << ": replica " << r;
    }

    // Applies one shell step, with X standing for the file, to the model
    // and to the mounted file.
    void both(const test_mount& m, const std::string& name, const std::string& model,
              const std::string& step)
    {
        // "@F" stands for the file; it cannot occur in a scratch path, and
        // the search goes on after each replacement.
        auto on = [&](const std::string& file) {
            std::string command = step;
            const std::string replacement = quoted(file);
            for (size_t at = 0; (at = command.find("@F", at)) != std::string::npos; at += replacement.size())
                command.replace(at, 2, replacement);
            return sh(command);
        };
        ASSERT_EQ(on(model), 0) << step << " on the model";
        ASSERT_EQ(on(m.at(name)), 0) << step << " on the mount\n" << m.log_text();
        expect_identical(m, name, model, step);
    }
};

TEST_F(files_through_the_mount, every_change_leaves_identical_replicas)
{
    mount_options options;
    options.replicas = replicas;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string patch = m.scratch() / "patch";
    ASSERT_EQ(sh("head -c 9000 /dev/urandom > " + quoted(patch)), 0);

    for (const long size : {0L, 1L, 4095L, 4097L, (1L << 20) + 13, 64L << 20}) {
        SCOPED_TRACE("size " + std::to_string(size));
        const std::string name = "f" + std::to_string(size);
        const std::string model = m.scratch() / ("model" + std::to_string(size));
        const std::string source = m.scratch() / "source";
        ASSERT_EQ(sh("head -c " + std::to_string(size) + " /dev/urandom > " + quoted(source)), 0);
        ASSERT_EQ(sh("cp " + quoted(source) + " " + quoted(model)), 0);

        const auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(sh("cp " + quoted(source) + " " + quoted(m.at(name))), 0) << m.log_text();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (size >= (64L << 20))
            std::printf("cp of %ld MiB through the mount: %.2f s (%.0f MiB/s)\n", size >> 20,
                        seconds, (size >> 20) / seconds);
        expect_identical(m, name, model, "cp");
        EXPECT_EQ(sh("cmp " + quoted(m.at(name)) + " " + quoted(source)), 0);
        EXPECT_EQ(sh("cat " + quoted(m.at(name)) + " | cmp - " + quoted(source)), 0);
        EXPECT_EQ(sh("dd if=" + quoted(m.at(name)) + " bs=64k status=none | cmp - " +
                     quoted(source)),
                  0);

        both(m, name, model, "dd if=" + quoted(patch) + " of=@F bs=1 seek=" +
                                 std::to_string(size / 2) + " count=3000 conv=notrunc status=none");
        both(m, name, model, "cat " + quoted(patch) + " >> @F");
        both(m, name, model, "dd if=" + quoted(patch) + " of=@F bs=4096 count=2 seek=1" +
                                 " oflag=direct conv=notrunc status=none");
        both(m, name, model, "dd if=" + quoted(patch) + " of=@F bs=4096 count=2 seek=" +
                                 std::to_string(size / 4096 + 300) + " conv=notrunc status=none");
        both(m, name, model, "truncate -s " + std::to_string(size / 3) + " @F");
        both(m, name, model, "truncate -s " + std::to_string(size + 12345) + " @F");
        both(m, name, model, "dd if=" + quoted(patch) + " of=@F bs=1000 count=9 status=none");
        EXPECT_EQ(sh("rm " + quoted(m.at(name)) + " " + quoted(model)), 0);
    }
    EXPECT_EQ(events(m), "");
    EXPECT_EQ(m.unmount(), 0);
}

TEST_F(files_through_the_mount, concurrent_appenders_leave_identical_replicas)
{
    mount_options options;
    options.replicas = replicas;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string log = m.at("appended");
    write_file(log, "");

    constexpr int writers = 8;
    constexpr int records = 300;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int fd = open(log.c_str(), O_WRONLY | O_APPEND);
            int failures = fd < 0 ? 1 : 0;
            for (int i = 0; fd >= 0 && i < records; ++i) {
                // Records of different lengths, so that any reordering
                // between replicas changes their bytes.
                const std::string record = "writer " + std::to_string(w) + " record " +
                                           std::to_string(i) + std::string(w * 7 + i % 5, '.') +
                                           "\n";
                if (write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size()))
                    ++failures;
            }
            if (fd >= 0)
                close(fd);
            _exit(failures == 0 ? 0 : 1);
        }
        ASSERT_GT(pid, 0);
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    const std::string contents = read_file(log);
    EXPECT_EQ(std::count(contents.begin(), contents.end(), '\n'), writers * records);
    for (int r = 0; r < replicas; ++r)
        EXPECT_EQ(checksum(m.in_replica(r, "appended")), checksum(log)) << "replica " << r;
    EXPECT_EQ(events(m), "");
    EXPECT_EQ(m.unmount(), 0);
}

// Which replica served each of a run of reads: the replicas hold different
// bytes behind the mount's back, one letter per replica.
std::string served_by(int fd, int reads)
{
    std::string letters;
    for (int i = 0; i < reads; ++i) {
        char byte = '?';
        if (pread(fd, &byte, 1, 0) != 1)
            byte = '!';
        letters += byte;
    }
    return letters;
}

TEST(file_reads, rotate_among_the_replicas_in_service)
{
    test_mount m(direct_io_mount(3));
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    write_file(m.at("f"), "x");
    for (int r = 0; r < 3; ++r)
        write_file(m.in_replica(r, "f"), std::string(1, static_cast<char>('A' + r)));

    const int fd = open(m.at("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const std::string letters = served_by(fd, 9);
    close(fd);
    // Each read moves the turn on by one: A, B, C in a cycle, from
    // wherever the earlier requests left the turn.
    ASSERT_EQ(letters.size(), 9u);
    for (size_t i = 1; i < letters.size(); ++i)
        EXPECT_EQ(letters[i], 'A' + (letters[i - 1] - 'A' + 1) % 3) << letters;
    EXPECT_EQ(events(m), "");
    EXPECT_EQ(m.unmount(), 0);
}

// Started from a shell whose soft descriptor limit is the usual 1024, the
// daemon still holds two descriptors for each of 1,500 open files: it
// raises its own limit as far as it may.
TEST(file_opens, many_files_open_at_once_from_a_shell_with_a_low_limit)
{
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 4000)
        GTEST_SKIP() << "hard descriptor limit " << saved.rlim_max;
    struct rlimit low = saved;
    low.rlim_cur = 1024;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    test_mount m;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();

    std::vector<int> fds;
    for (int i = 0; i < 1500; ++i) {
        const int fd = open(m.at("f" + std::to_string(i)).c_str(), O_CREAT | O_RDWR, 0644);
        EXPECT_GE(fd, 0) << "file " << i << ": " << std::strerror(errno);
        if (fd < 0)
            break;
        fds.push_back(fd);
    }
    for (int fd : fds)
        close(fd);
    EXPECT_EQ(events(m), "");
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(replica_differences({m.replica(0), m.replica(1)}), "");
}

TEST(file_reads, low_priority_replica_serves_only_when_the_others_cannot)
{
    mount_options options = direct_io_mount(3);
    options.low_priority = {false, false, true};
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    write_file(m.at("f"), "x");
    for (int r = 0; r < 3; ++r)
        write_file(m.in_replica(r, "f"), std::string(1, static_cast<char>('A' + r)));

    const int fd = open(m.at("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const std::string letters = served_by(fd, 8);
    close(fd);
    ASSERT_EQ(letters.size(), 8u);
    for (size_t i = 1; i < letters.size(); ++i)
        EXPECT_EQ(letters[i], letters[i - 1] == 'A' ? 'B' : 'A') << letters;
    EXPECT_EQ(m.unmount(), 0);
}

// A tmpfs of one MiB over a replica directory, so that the replica runs
// out of space while the others go on.
struct full_replica {
    std::string path;
    bool mounted = false;
    explicit full_replica(const std::string& where) : path(where)
    {
        mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=1m,mode=0755") == 0;
    }
    ~full_replica()
    {
        if (mounted)
            umount2(path.c_str(), MNT_DETACH);
    }
};

TEST(file_writes, replica_out_of_space_drops_out_and_the_writer_sees_nothing)
{
    mount_options options;
    options.replicas = 3;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    // The replica's disk fills below its root.
    ASSERT_EQ(mkdir(m.at("sub").c_str(), 0755), 0);
    full_replica small(m.in_replica(1, "sub"));
    ASSERT_TRUE(small.mounted);

    const std::string source = m.scratch() / "source";
    ASSERT_EQ(sh("head -c 4194309 /dev/urandom > " + quoted(source)), 0);
    ASSERT_EQ(sh("dd if=" + quoted(source) + " of=" + quoted(m.at("sub/big")) +
                 " bs=3000 status=none"),
              0)
        << m.log_text();
    EXPECT_EQ(checksum(m.at("sub/big")), checksum(source));
    EXPECT_EQ(checksum(m.in_replica(0, "sub/big")), checksum(source));
    EXPECT_EQ(checksum(m.in_replica(2, "sub/big")), checksum(source));

    const std::string log = events(m);
    const size_t failed = log.find("write failed accessing " + m.replica(1) +
                                   " No space left on device");
    const size_t disabled = log.find("disabling replica failed accessing " + m.replica(1));
    EXPECT_NE(failed, std::string::npos) << log;
    EXPECT_NE(disabled, std::string::npos) << log;
    EXPECT_LT(failed, disabled) << log;
    EXPECT_EQ(log.find(m.replica(0)), std::string::npos) << log;
    EXPECT_EQ(log.find(m.replica(2)), std::string::npos) << log;

    // The replica takes no further part.
    struct stat before;
    ASSERT_EQ(stat(m.in_replica(1, "sub/big").c_str(), &before), 0);
    ASSERT_EQ(sh("cat " + quoted(source) + " >> " + quoted(m.at("sub/big"))), 0);
    write_file(m.at("sub/after"), "later");
    struct stat after;
    ASSERT_EQ(stat(m.in_replica(1, "sub/big").c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(read_file(m.in_replica(1, "sub/after")), "<missing>");
    EXPECT_EQ(read_file(m.in_replica(0, "sub/after")), "later");
    EXPECT_EQ(checksum(m.in_replica(0, "sub/big")), checksum(m.in_replica(2, "sub/big")));

    // Once the files are closed the daemon holds nothing on the dropped
    // replica, not even the descriptors it opened before the failure: its
    // file system can be unmounted while the mount goes on.
    EXPECT_TRUE(eventually([&] { return umount2(small.path.c_str(), 0) == 0; }))
        << std::strerror(errno);
    small.mounted = false;
    EXPECT_EQ(m.unmount(), 0);
}

TEST(file_access, users_reach_only_what_the_bits_allow)
{
    mount_options options;
    options.replicas = 2;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    ASSERT_EQ(mkdir(m.at("home").c_str(), 0777), 0);
    ASSERT_EQ(chmod(m.at("home").c_str(), 0777), 0);
    const std::string file = m.at("home/private");

    EXPECT_EQ(as_user(4242, 4242, {}, [&] {
                  const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
                  if (fd < 0)
                      return errno;
                  const bool ok = write(fd, "mine", 4) == 4;
                  return close(fd) == 0 && ok ? 0 : EIO;
              }),
              0)
        << m.log_text();
    for (int r = 0; r < 2; ++r) {
        struct stat st;
        ASSERT_EQ(stat(m.in_replica(r, "home/private").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 4242u);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(read_file(m.in_replica(r, "home/private")), "mine");
    }
    for (const int flags : {O_RDONLY, O_WRONLY, O_RDWR | O_APPEND}) {
        EXPECT_EQ(as_user(4343, 4343, {},
                          [&] {
                              const int fd = open(file.c_str(), flags);
                              if (fd < 0)
                                  return errno;
                              close(fd);
                              return 0;
                          }),
                  EACCES)
            << "flags " << flags;
    }
    EXPECT_EQ(read_file(file), "mine");
    EXPECT_EQ(events(m), "");
    EXPECT_EQ(m.unmount(), 0);
}

}  // namespace
