// The vornelix side of the control channel, driven in-process: the
// answers to each request, the request loop over real pipes, and the stop
// at unmount.
#include "fs/control/control_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include "common/frame.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replicas.h"
#include "fs/resync/resync_progress.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"

namespace {

struct sink {
    char* data = nullptr;
    size_t size = 0;
    FILE* file = open_memstream(&data, &size);
    ~sink()
    {
        fclose(file);
        free(data);
    }
    std::string text()
    {
        fflush(file);
        return std::string(data, size);
    }
};

class control_server_test : public ::testing::Test {
protected:
    scoped_state own_state;
    scratch_dir dir;

    void SetUp() override
    {
        install_replicas({".", "/data/r1", "/data/r2"});
        install_log(dir / "log");
        state().mount.path = "/mnt/replicated";
        state().settings.ctl_path = "/ctl";
    }
    void TearDown() override { remove_replicas(); }

    std::string answer(const std::string& payload)
    {
        sink out;
        EXPECT_EQ(answer_request(payload, out.file), 0) << payload;
        return out.text();
    }
    std::string log() { return read_file(dir / "log"); }
};

TEST_F(control_server_test, info_sequence_byte_for_byte)
{
    EXPECT_EQ(answer("info"), "   F/mnt/replicated   4/ctl000203   1.   8/data/r1   8/data/r2");
}

// Requests in order, each with its reply and what it leaves behind: the
// replica's state (or -1: not looked at; 1: a time stored, later than
// before), and a log line it must have written. Requests match by prefix;
// out of range and unknown ones are ERR and change nothing.
TEST_F(control_server_test, requests_table)
{
    constexpr int64_t a_time = -2;
    const struct {
        const char* payload;
        const char* reply;
        int replica;      // whose state is set before and checked after, or -1
        int64_t before;   // stored first (-1: left as it is)
        int64_t after;    // a_time: a time later than before
        const char* log;  // a line it wrote, or ""
    } rows[] = {
        {"stat:01", "00010", -1, -1, 0, ""},
        {"disable:01", "0002OK", 1, -1, a_time, " disabling replica /data/r1 Forced by administrator\n"},
        {"stat:01", "00012", -1, -1, 0, ""},
        {"stat:00", "00010", -1, -1, 0, ""},
        {"trust:01", "0002OK", 1, -1, 0, " trusting replica /data/r1 Forced by administrator\n"},
        {"stat:01", "00010", -1, -1, 0, ""},
        // The replica under the mount point is named by its root text.
        {"disable:00", "0002OK", 0, -1, a_time, " disabling replica . Forced by administrator\n"},
        // Disabling again stores a new time and is still OK.
        {"disable:00", "0002OK", 0, 5, a_time, ""},
        {"trust:00", "0002OK", 0, -1, 0, ""},
        // The state digits.
        {"stat:02", "00011", 2, 1, 1, ""},
        {"stat:02", "00012", 2, 2, 2, ""},
        {"stat:02", "00012", 2, 1'700'000'000, 1'700'000'000, ""},
        {"trust:02", "0002OK", 2, -1, 0, ""},
        // By prefix: more after the number, no digit (replica 0), one digit.
        {"stat:02 and more", "00010", -1, -1, 0, ""},
        {"stat:", "00010", -1, -1, 0, ""},
        {"disable:02xyz", "0002OK", 2, -1, a_time, ""},
        {"stat:02", "00012", -1, -1, 0, ""},
        {"trust:2", "0002OK", 2, -1, 0, ""},
        {"stat:02", "00010", -1, -1, 0, ""},
        // No resync runs; the healing thread is not started by the tests.
        {"prog:01", "0004idle", -1, -1, 0, ""},
        {"heal", "00010", -1, -1, 0, ""},
    };
    for (const auto& row : rows) {
        const std::string where = std::string("\"") + row.payload + "\"";
        if (row.before >= 0)
            store_state_word(row.replica, row.before);
        const int64_t before = row.replica < 0 ? 0 : state_word(row.replica);
        EXPECT_EQ(answer(row.payload), row.reply) << where;
        if (row.replica >= 0) {
            const int64_t now = state_word(row.replica);
            if (row.after == a_time) {
                EXPECT_GT(now, std::max<int64_t>(before, 1)) << where;
            } else {
                EXPECT_EQ(now, row.after) << where;
            }
        }
        if (row.log[0] != '\0') {
            EXPECT_NE(log().find(row.log), std::string::npos) << where << log();
        }
    }

    // A resync of replica 1 shows its figures there and nowhere else.
    begin_resync_progress(1);
    current_resync_progress().entries_done.store(12);
    current_resync_progress().bytes.store(3456);
    EXPECT_EQ(answer("prog:01"), "000Ebusy 12 0 3456");
    EXPECT_EQ(answer("prog:00"), "0004idle");
    end_resync_progress();
    EXPECT_EQ(answer("prog:01"), "0004idle");

    const std::string before = log();
    for (const char* payload : {"stat:03", "stat:FF", "disable:03", "disable:FF", "trust:03", "trust:FF",
                                "disable:", "trust:zz", "info!", "INFO", "", "hello", "stat", "0004info",
                                "prog:03", "prog:FF", "prog:zz", "prog:", "prog"}) {
        EXPECT_EQ(answer(payload), "0003ERR") << '"' << payload << '"';
    }
    for (int k = 0; k < state().replicas.count; ++k)
        EXPECT_EQ(state_word(k), 0);
    EXPECT_EQ(log(), before);
}

// The request loop over real pipes, as the thread runs it.
struct loop_on_pipes {
    int requests[2] = {-1, -1};
    int replies[2] = {-1, -1};
    FILE* in = nullptr;      // the loop's side
    FILE* out = nullptr;
    FILE* replies_read = nullptr;  // the test's side
    std::thread loop;

    loop_on_pipes()
    {
        EXPECT_EQ(pipe(requests), 0);
        EXPECT_EQ(pipe(replies), 0);
        in = fdopen(requests[0], "r");
        out = fdopen(replies[1], "w");
        replies_read = fdopen(replies[0], "r");
        loop = std::thread([this] { serve_control_requests(in, out); });
    }
    void send(const std::string& bytes)
    {
        ASSERT_EQ(write(requests[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string reply()
    {
        std::string message;
        return read_message(replies_read, message) == 0 ? message : "<failed>";
    }
    // After the loop has ended: closes the only writer of the replies, so
    // that what the loop left unanswered shows as the end of the stream.
    bool nothing_more_answered()
    {
        fclose(out);
        out = nullptr;
        std::string message;
        return read_message(replies_read, message) == -1;
    }
    void end_requests()
    {
        if (requests[1] >= 0)
            close(requests[1]);
        requests[1] = -1;
    }
    ~loop_on_pipes()
    {
        end_requests();
        if (loop.joinable())
            loop.join();
        fclose(in);
        if (out != nullptr)
            fclose(out);
        fclose(replies_read);
    }
};

TEST_F(control_server_test, loop_serves_until_end_of_stream)
{
    loop_on_pipes channel;
    channel.send("0004info");
    EXPECT_EQ(channel.reply(), "/mnt/replicated");
    EXPECT_EQ(channel.reply(), "/ctl");
    EXPECT_EQ(channel.reply(), "03");
    EXPECT_EQ(channel.reply(), ".");
    EXPECT_EQ(channel.reply(), "/data/r1");
    EXPECT_EQ(channel.reply(), "/data/r2");
    channel.send("0005hello000Adisable:02");
    EXPECT_EQ(channel.reply(), "ERR");
    EXPECT_EQ(channel.reply(), "OK");
    channel.send("0007stat:02");
    EXPECT_EQ(channel.reply(), "2");
    channel.end_requests();
    channel.loop.join();
}

TEST_F(control_server_test, loop_ends_on_a_frame_cut_short)
{
    loop_on_pipes channel;
    channel.send("0007stat:00");
    EXPECT_EQ(channel.reply(), "0");
    channel.send("0009sta");
    channel.end_requests();
    channel.loop.join();
    EXPECT_TRUE(channel.nothing_more_answered());
}

// Unmount releases the replica table while the thread waits for a
// request: once stopped, the loop must end without touching it. Under
// AddressSanitizer any touch of the freed table is reported here.
TEST_F(control_server_test, stopped_service_serves_nothing_more)
{
    loop_on_pipes channel;
    channel.send("0007stat:01");
    EXPECT_EQ(channel.reply(), "0");

    stop_control_service();
    remove_replicas();
    state().mount.path.clear();
    channel.send("0004info0007stat:01000Adisable:01");
    channel.loop.join();
    EXPECT_TRUE(channel.nothing_more_answered());
}

TEST_F(control_server_test, limits_of_what_the_channel_can_carry)
{
    EXPECT_FALSE(check_channel_limits().has_value());

    install_replicas(std::vector<std::string>(255, "/r"));
    EXPECT_FALSE(check_channel_limits().has_value());
    install_replicas(std::vector<std::string>(256, "/r"));
    auto refusal = check_channel_limits();
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->code, ERANGE);
    EXPECT_EQ(refusal->path, "/ctl");

    const std::string longest = "/" + std::string(max_frame_payload - 1, 'd');
    install_replicas({"/r0", longest});
    EXPECT_FALSE(check_channel_limits().has_value());
    install_replicas({"/r0", longest + "d"});
    refusal = check_channel_limits();
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->code, ENAMETOOLONG);
    EXPECT_EQ(refusal->path, longest + "d");

    install_replicas({"/r0"});
    state().settings.ctl_path = longest + "c";
    refusal = check_channel_limits();
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->code, ENAMETOOLONG);
    state().settings.ctl_path = "/ctl";
    state().mount.path = longest + "m";
    refusal = check_channel_limits();
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->path, state().mount.path);
}

}  // namespace
