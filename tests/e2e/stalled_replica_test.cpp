// Replicas that stop answering or report write errors late, on a FUSE
// filesystem of the test's own (tests/programs/fault_fs): the writer
// through the mount waits at most the deadline, the replica leaves service
// with its log line, and the replica that stays holds every acknowledged
// byte.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fault_replica.h"
#include "tests/support/mount_harness.h"
#include "tests/support/replica_compare.h"

namespace {

mount_options over(const scratch_dir& dir, const fault_replica& fault, const std::string& timeout,
                   const std::string& heal_interval = "")
{
    mount_options options;
    const std::string local = dir / "local";
    mkdir(local.c_str(), 0755);
    options.replica_roots = {local, fault.mnt};
    options.mount_tokens = {"replica_timeout=" + timeout};
    if (!heal_interval.empty())
        options.mount_tokens.push_back("heal_interval=" + heal_interval);
    return options;
}

// Writes one word to a replica's status file: whether it was taken.
bool set_status(const std::string& status, const char* word)
{
    const int fd = open(status.c_str(), O_WRONLY | O_TRUNC);
    const bool taken = fd >= 0 && write(fd, word, 1) == 1;
    if (fd >= 0)
        close(fd);
    return taken;
}

// A mount over a local replica and a fault replica (replica 1) with the
// control tree, for the tests that change replica states by hand.
struct controlled_mount {
    scratch_dir dir;
    fault_replica fault{dir};
    test_mount m;
    std::string status;

    // Healing off unless asked for: these tests change states by hand, and
    // a resync started by itself would change them under the test.
    explicit controlled_mount(const std::string& timeout, const std::string& heal_interval = "0")
        : m(with_control(over(dir, fault, timeout, heal_interval))), status(status_file(m, 1))
    {
    }
    // A test that stops half way never leaves a call stalled: the daemon
    // could not end while one of its threads waits on it.
    ~controlled_mount() { unstall(); }

    static mount_options with_control(mount_options options)
    {
        options.control = true;
        return options;
    }

    // Both mounted, and replica 1 in service.
    bool ready()
    {
        return fault.mounted() && m.mounted() && eventually([&] { return read_file(status) == "0"; });
    }

    // From now on, the call ("open /a", "create /a") waits on the fault
    // replica until unstall.
    bool stall(const std::string& call) const
    {
        write_file(fault.marker + ".stall.new", call);
        return rename((fault.marker + ".stall.new").c_str(), (fault.marker + ".stall").c_str()) == 0;
    }
    bool stalled_at(const std::string& call) const
    {
        return eventually([&] { return read_file(fault.marker + ".reached") == call; });
    }
    void unstall() const { unlink((fault.marker + ".stall").c_str()); }
    std::string control_file(const std::string& name) const
    {
        return status.substr(0, status.rfind('/') + 1) + name;
    }
};

// The threads of the process with this name.
int threads_named(pid_t pid, const std::string& name)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const struct dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.' && read_file(tasks + "/" + entry->d_name + "/comm") == name + "\n";
    closedir(dir);
    return count;
}

// What running the check script printed and its exit status.
std::pair<std::string, int> run_check(const std::string& script)
{
    std::string out;
    FILE* pipe = popen(("sh " + script).c_str(), "r");
    if (pipe == nullptr)
        return {"<not run>", -1};
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int status = pclose(pipe);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// Whether the process's main thread has ended: the process is gone, or its
// leader waits as a zombie for threads the kernel holds in a call.
bool main_thread_ended(pid_t pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' ||
           stat[close + 2] == 'X';
}

// Unmounts m while replicas may still be stopped, and waits until the
// daemon's destroy has given up on every replica named (its marker left in
// place, logged) and its main thread has ended; then lets them run and
// reaps the daemon. A call that a
// replica read just before it stopped can only end when it answers (the
// kernel lets no thread out of it, not even at exit), so the daemon is
// reaped only after that.
int unmount_while_stopped(test_mount& m, const std::vector<int>& stopped, const std::vector<pid_t>& replicas)
{
    int err = 0;
    eventually([&] {
        err = umount2(m.mnt().c_str(), 0) == 0 ? 0 : errno;
        return err != EBUSY;
    });
    bool given_up = err == 0;
    for (const int k : stopped)
        given_up = given_up && eventually([&] {
                       return m.log_text().find("unmarking replica mounted failed accessing " + m.replica(k)) !=
                              std::string::npos;
                   });
    // The replicas resume once the daemon's main thread has ended: resumed
    // earlier, a call it left behind would return into a process that is
    // still tearing itself down, which no replica does on its own at that
    // very moment.
    given_up = given_up && eventually([&] { return main_thread_ended(m.daemon_pid()); });
    for (const pid_t pid : replicas)
        kill(pid, SIGCONT);
    const int status = m.unmount();
    return given_up ? status : -1;
}

TEST(stalled_replica, writer_waits_at_most_the_deadline_and_the_replica_leaves_service)
{
    scratch_dir dir;
    fault_replica frozen(dir);
    ASSERT_TRUE(frozen.mounted());
    test_mount m(over(dir, frozen, "2"));
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();

    const int fd = open(m.at("journal").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    std::string acknowledged;
    double longest = 0;
    for (int i = 0; i < 30; ++i) {
        if (i == 10) {
            ASSERT_TRUE(frozen.stop());
        }
        if (i == 20) {
            ASSERT_EQ(kill(frozen.pid, SIGCONT), 0);
        }
        const std::string line = "line " + std::to_string(i) + "\n";
        const auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size())) << i;
        longest = std::max(longest, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        acknowledged += line;
    }
    EXPECT_EQ(close(fd), 0);
    // The deadline is 2 s; the margin is for a loaded machine.
    EXPECT_LT(longest, 2.0 + 20.0);
    EXPECT_EQ(read_file(m.at("journal")), acknowledged);
    EXPECT_EQ(read_file(m.in_replica(0, "journal")), acknowledged);

    const std::string log = m.log_text();
    const size_t late = log.find("no answer in");
    const size_t disabled = log.find("disabling replica failed accessing " + m.replica(1));
    EXPECT_NE(late, std::string::npos) << log;
    EXPECT_NE(log.find(" failed accessing " + m.replica(1) + " Connection timed out"), std::string::npos) << log;
    EXPECT_NE(disabled, std::string::npos) << log;
    EXPECT_LT(late, disabled) << log;
    EXPECT_EQ(log.find("disabling replica failed accessing " + m.replica(0)), std::string::npos) << log;
    // Everything else through the mount still works.
    write_file(m.at("after"), "later");
    EXPECT_EQ(read_file(m.in_replica(0, "after")), "later");
    EXPECT_EQ(m.unmount(), 0);
    // Nothing of it is left waiting: it ends like any filesystem.
    EXPECT_EQ(frozen.unmount(), 0);
}

TEST(stalled_replica, disable_written_while_a_request_waits_frees_it_at_once)
{
    controlled_mount c("600");
    ASSERT_TRUE(c.ready()) << c.m.daemon_stderr() << c.m.log_text();
    fault_replica& frozen = c.fault;
    test_mount& m = c.m;
    const std::string& status = c.status;

    ASSERT_TRUE(frozen.stop());
    std::atomic<bool> written{false};
    std::atomic<int> error{0};
    std::thread writer([&] {
        const int out = open(m.at("waiting").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        error = out < 0 || write(out, "through", 7) != 7 || close(out) != 0 ? errno : 0;
        written = true;
    });
    // Give the writer time to get stuck on the frozen replica; the status
    // answers meanwhile.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(read_file(status), "0");
    const int fd = open(status.c_str(), O_WRONLY | O_TRUNC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, "2", 1), 1);
    close(fd);
    // Far below the 600 s deadline.
    EXPECT_TRUE(eventually([&] { return written.load(); }, 120000)) << m.log_text();
    // Still frozen, its worker inside the call given up on: neither trust
    // nor a resync may start on it, and the refusal comes at once.
    for (const char* word : {"0", "1"}) {
        const int again = open(status.c_str(), O_WRONLY | O_TRUNC);
        EXPECT_EQ(write(again, word, 1), -1) << word;
        EXPECT_EQ(errno, EBUSY) << word;
        close(again);
    }
    EXPECT_EQ(read_file(status), "2");
    kill(frozen.pid, SIGCONT);
    writer.join();
    EXPECT_EQ(error.load(), 0);
    const std::string log = m.log_text();
    EXPECT_EQ(read_file(m.in_replica(0, "waiting")), "through") << log;
    EXPECT_NE(log.find("disabling replica " + m.replica(1) + " Forced by administrator"), std::string::npos) << log;
    EXPECT_EQ(log.find("no answer in"), std::string::npos) << log;
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(frozen.unmount(), 0);
}

TEST(stalled_replica, replica_failing_only_at_flush_is_disabled_on_close)
{
    scratch_dir dir;
    fault_replica lossy(dir);
    ASSERT_TRUE(lossy.mounted());
    test_mount m(over(dir, lossy, "5"));
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();

    // Held open past the marker: the release of a file closed earlier
    // reaches the replica in the background, and could meet the marker.
    const int early = open(m.at("before").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(early, 0);
    EXPECT_EQ(write(early, "both", 4), 4);
    EXPECT_EQ(read_file(m.in_replica(1, "before")), "both");
    write_file(lossy.marker, "");
    const int fd = open(m.at("note").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "kept", 4), 4);
    // The replica accepted the bytes; its late failure is the other one's
    // success, so the application hears nothing.
    EXPECT_EQ(close(fd), 0);
    unlink(lossy.marker.c_str());
    EXPECT_EQ(close(early), 0);
    EXPECT_EQ(read_file(m.in_replica(0, "note")), "kept");

    const std::string log = m.log_text();
    const size_t failed = log.find("flush failed accessing " + m.replica(1) + " Input/output error");
    const size_t disabled = log.find("disabling replica failed accessing " + m.replica(1));
    EXPECT_NE(failed, std::string::npos) << log;
    EXPECT_NE(disabled, std::string::npos) << log;
    EXPECT_LT(failed, disabled) << log;
    write_file(m.at("after"), "only here");
    EXPECT_EQ(read_file(m.in_replica(1, "after")), "<missing>");
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(lossy.unmount(), 0);
}

TEST(stalled_replica, two_replicas_stopping_at_once_both_leave_within_deadlines_and_unmount_ends)
{
    scratch_dir dir;
    scratch_dir other_dir;
    fault_replica first(dir);
    fault_replica second(other_dir);
    ASSERT_TRUE(first.mounted());
    ASSERT_TRUE(second.mounted());
    mount_options options = over(dir, first, "2");
    options.replica_roots.push_back(second.mnt);
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    write_file(m.at("before"), "all three");
    ASSERT_EQ(read_file(m.in_replica(2, "before")), "all three");

    // Each departure records the survivors as ahead: the other stopped
    // replica among them must not hold the request (or the next
    // departure, or the unmount) longer than a deadline.
    ASSERT_TRUE(first.stop());
    ASSERT_TRUE(second.stop());
    std::atomic<bool> written{false};
    std::thread writer([&] {
        write_file(m.at("during"), "one left");
        written = true;
    });
    const bool in_time = eventually([&] { return written.load(); }, 60000);
    if (!in_time) {
        kill(first.pid, SIGCONT);
        kill(second.pid, SIGCONT);
    }
    writer.join();
    ASSERT_TRUE(in_time) << m.log_text();
    EXPECT_EQ(read_file(m.in_replica(0, "during")), "one left");
    write_file(m.at("after"), "still served");
    EXPECT_EQ(read_file(m.at("after")), "still served");
    EXPECT_EQ(unmount_while_stopped(m, {1, 2}, {first.pid, second.pid}), 0) << m.log_text();

    const std::string log = m.log_text();
    for (int k : {1, 2})
        EXPECT_NE(log.find("disabling replica failed accessing " + m.replica(k)), std::string::npos) << log;
    EXPECT_NE(log.find("recording replica generation failed accessing " + m.replica(2) + " Connection timed out"),
              std::string::npos)
        << log;
    EXPECT_EQ(first.unmount(), 0);
    EXPECT_EQ(second.unmount(), 0);
}

TEST(stalled_replica, resync_inside_a_call_on_a_stopped_replica_ends_with_the_unmount)
{
    controlled_mount c("2");
    ASSERT_TRUE(c.ready()) << c.m.daemon_stderr() << c.m.log_text();
    fault_replica& target = c.fault;
    test_mount& m = c.m;
    const std::string& status = c.status;
    ASSERT_TRUE(set_status(status, "2"));
    write_file(m.at("while out"), "only here");

    ASSERT_TRUE(target.stop());
    ASSERT_TRUE(set_status(status, "1"));
    // Its first call, opening the replica's root, never returns.
    ASSERT_TRUE(eventually([&] { return m.log_text().find("resync from") != std::string::npos; })) << m.log_text();
    EXPECT_EQ(read_file(m.at("while out")), "only here");
    // The daemon ends within its deadlines all the same.
    EXPECT_EQ(unmount_while_stopped(m, {1}, {target.pid}), 0) << m.log_text();
    EXPECT_EQ(read_file(m.in_replica(0, "while out")), "only here");
    EXPECT_EQ(target.unmount(), 0);
}

TEST(stalled_replica, last_step_of_a_resync_stuck_on_the_replica_gives_way_at_the_deadline)
{
    controlled_mount c("2");
    ASSERT_TRUE(c.ready()) << c.m.daemon_stderr() << c.m.log_text();
    fault_replica& target = c.fault;
    test_mount& m = c.m;
    const std::string& status = c.status;
    const auto stall = [&](const std::string& call) { return c.stall(call); };
    const auto stalled_at = [&](const std::string& call) { return c.stalled_at(call); };
    ASSERT_TRUE(set_status(status, "2"));
    write_file(m.at("a"), "first");

    // The copy of the tree meets the stall first, outside the last step;
    // the change made meanwhile is registered, so the last step opens the
    // replica's copy of "a" again, and stalls there, the gate closed.
    ASSERT_TRUE(stall("create /a"));
    ASSERT_TRUE(set_status(status, "1"));
    ASSERT_TRUE(stalled_at("create /a")) << m.log_text();
    {
        const int fd = open(m.at("a").c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(write(fd, " second", 7), 7);
        EXPECT_EQ(close(fd), 0);
    }
    ASSERT_TRUE(stall("open /a"));
    ASSERT_TRUE(stalled_at("open /a")) << m.log_text();

    std::atomic<bool> written{false};
    std::thread writer([&] {
        write_file(m.at("during"), "waited at the gate");
        written = true;
    });
    const bool in_time = eventually([&] { return written.load(); }, 60000);
    c.unstall();
    writer.join();
    ASSERT_TRUE(in_time) << m.log_text();
    EXPECT_TRUE(eventually([&] { return m.log_text().find("resync abandoned at the deadline") != std::string::npos; }))
        << m.log_text();
    const std::string log = m.log_text();
    EXPECT_NE(log.find("resync's last step: no answer in 2.0 s, failed accessing " + m.replica(1)), std::string::npos)
        << log;
    EXPECT_EQ(log.find("resync complete"), std::string::npos) << log;
    EXPECT_EQ(read_file(status), "2");
    EXPECT_EQ(read_file(m.in_replica(0, "a")), "first second");
    EXPECT_EQ(read_file(m.in_replica(0, "during")), "waited at the gate");
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(target.unmount(), 0);
}

// While a replica is out, the replicas in service journal the names that
// change; one that stops answering in the middle of that leaves service at
// the deadline like any other, and the changes go on without it.
TEST(stalled_replica, a_replica_stalling_on_its_change_journal_leaves_at_the_deadline)
{
    scratch_dir dir;
    fault_replica fault{dir};
    mount_options options = over(dir, fault, "2", "0");
    const std::string out = dir / "out";
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    options.replica_roots.push_back(out);
    options.control = true;
    test_mount m(options);
    ASSERT_TRUE(fault.mounted() && m.mounted()) << m.daemon_stderr();
    ASSERT_TRUE(eventually([&] { return read_file(status_file(m, 2)) == "0"; })) << m.log_text();
    ASSERT_TRUE(set_status(status_file(m, 2), "2"));
    const std::string stall = fault.marker + ".stall";
    write_file(stall + ".new", "write /.vornelix-journal");
    ASSERT_EQ(rename((stall + ".new").c_str(), stall.c_str()), 0);

    std::atomic<bool> made{false};
    std::thread maker([&] {
        made = mkdir(m.at("made").c_str(), 0755) == 0 && mkdir(m.at("made/deeper").c_str(), 0755) == 0;
    });
    const bool in_time = eventually([&] { return made.load(); }, 60000);
    unlink(stall.c_str());
    maker.join();
    ASSERT_TRUE(in_time) << m.log_text();
    const std::string log = m.log_text();
    EXPECT_NE(log.find("journal: no answer in"), std::string::npos) << log;
    EXPECT_NE(log.find("disabling replica failed accessing " + m.replica(1)), std::string::npos) << log;
    EXPECT_EQ(read_file(status_file(m, 1)), "2");
    struct stat st;
    EXPECT_EQ(stat(m.in_replica(0, "made/deeper").c_str(), &st), 0);
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(fault.unmount(), 0);
}

// A replica that stopped answering past the deadline comes back by itself
// once it answers again: probed every interval, one probe at a time
// however long the last one hangs, then resynced, and equal to the other
// replica afterwards.
TEST(stalled_replica, a_replica_that_answers_again_is_resynced_by_itself)
{
    controlled_mount c("2", "0.2");
    ASSERT_TRUE(c.ready()) << c.m.daemon_stderr() << c.m.log_text();
    test_mount& m = c.m;
    write_file(m.at("before"), "on both");

    ASSERT_TRUE(c.fault.stop());
    write_file(m.at("while frozen"), "only on the local replica");
    ASSERT_EQ(read_file(c.status), "2") << m.log_text();
    ASSERT_TRUE(eventually([&] { return threads_named(m.daemon_pid(), "vornelix-probe") == 1; })) << m.log_text();
    // Several intervals pass while the probe hangs: no second one joins it,
    // and the replica stays out.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(threads_named(m.daemon_pid(), "vornelix-probe"), 1);
    EXPECT_EQ(read_file(c.status), "2");

    ASSERT_EQ(kill(c.fault.pid, SIGCONT), 0);
    ASSERT_TRUE(eventually([&] { return read_file(c.status) == "0"; }, 120000)) << m.log_text();
    const std::string log = m.log_text();
    const size_t left = log.find("disabling replica failed accessing " + m.replica(1) + "\n");
    const size_t healed = log.find("replica answers again: resync started by itself " + m.replica(1) + "\n");
    EXPECT_NE(left, std::string::npos) << log;
    EXPECT_NE(healed, std::string::npos) << log;
    EXPECT_LT(left, healed) << log;
    EXPECT_NE(log.find("resync complete", healed), std::string::npos) << log;
    EXPECT_EQ(read_file(m.in_replica(1, "while frozen")), "only on the local replica");
    write_file(m.at("after"), "on both again");
    EXPECT_EQ(read_file(m.in_replica(1, "after")), "on both again");
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(replica_differences({m.replica(0), c.fault.mnt}), "");
    EXPECT_EQ(c.fault.unmount(), 0);
}

// While a resync runs, the progress file and the check script show how far
// it has come: the copy waits on a call the fault replica holds, so the
// figures stand still while both are read, and agree.
TEST(stalled_replica, progress_of_a_resync_in_the_control_tree)
{
    controlled_mount c("5");
    ASSERT_TRUE(c.ready()) << c.m.daemon_stderr() << c.m.log_text();
    test_mount& m = c.m;
    const std::string progress = c.control_file("progress");
    const std::string script = c.control_file("check_vornelix.sh");
    EXPECT_EQ(read_file(progress), "idle\n");
    ASSERT_TRUE(set_status(c.status, "2"));
    for (int i = 0; i < 20; ++i)
        write_file(m.at("f" + std::to_string(i)), std::string(100 + i, 'x'));
    EXPECT_EQ(read_file(progress), "idle\n");
    EXPECT_EQ(run_check(script), std::make_pair(std::string("CRITICAL - Vornelix replica disabled\n"), 2));

    ASSERT_TRUE(c.stall("create /f13"));
    ASSERT_TRUE(set_status(c.status, "1"));
    ASSERT_TRUE(c.stalled_at("create /f13")) << m.log_text();
    const std::string text = read_file(progress);
    std::smatch figures;
    // The change journal holds the 20 names: the total is known.
    ASSERT_TRUE(std::regex_match(text, figures,
                                 std::regex("resyncing: ([0-9]+) of 20 entries copied, ([0-9]+) bytes\n")))
        << text;
    // f13 is not done.
    EXPECT_LE(std::stoul(figures[1]), 19u) << text;
    const auto [out, exit_status] = run_check(script);
    EXPECT_EQ(out, "WARNING - Vornelix replica resyncing: " + figures[1].str() + " of 20 entries | done=" +
                       figures[1].str() + " todo=20 bytes=" + figures[2].str() + "B\n");
    EXPECT_EQ(exit_status, 1);
    EXPECT_EQ(read_file(c.status), "1");

    c.unstall();
    ASSERT_TRUE(eventually([&] { return read_file(c.status) == "0"; })) << m.log_text();
    EXPECT_EQ(read_file(progress), "idle\n");
    EXPECT_EQ(run_check(script), std::make_pair(std::string("OK - Vornelix replica enabled\n"), 0));
    EXPECT_EQ(m.unmount(), 0);
    EXPECT_EQ(replica_differences({m.replica(0), c.fault.mnt}), "");
    EXPECT_EQ(c.fault.unmount(), 0);
}

}  // namespace
