// The control tree's operations, with the channel served in-process by
// the very request loop that vornelix runs, over real pipes.
#include "ctl/ops.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ctl/check_script.h"
#include "ctl/tree.h"
#include "fs/engine/process_state.h"
#include "fs/control/control_server.h"
#include "fs/resync/resync_progress.h"
#include "fs/engine/replicas.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/mount_harness.h"
#include "tests/support/test_caller.h"

namespace {

constexpr uid_t owner = 2001;
constexpr gid_t group = 3001;
constexpr uid_t stranger = 2999;
constexpr gid_t stranger_group = 3999;
constexpr auto no_readdir_flags = static_cast<enum fuse_readdir_flags>(0);

// vornelix's side of the channel, running its request loop on a thread.
struct served_channel {
    int requests[2] = {-1, -1};
    int replies[2] = {-1, -1};
    FILE* server_in = nullptr;
    FILE* server_out = nullptr;
    std::thread loop;

    served_channel()
    {
        if (pipe(requests) != 0 || pipe(replies) != 0)
            return;
        server_in = fdopen(requests[0], "r");
        server_out = fdopen(replies[1], "w");
        channel_out = fdopen(requests[1], "w");
        channel_in = fdopen(replies[0], "r");
        loop = std::thread([this] { serve_control_requests(server_in, server_out); });
    }
    // vornelix goes away: its loop ends on a broken frame and its ends of
    // the pipes close, so requests meet EPIPE and replies end of stream.
    void end_server()
    {
        {
            std::lock_guard<std::mutex> guard(channel_lock);
            fputs("zz", channel_out);
            fflush(channel_out);
        }
        loop.join();
        fclose(server_in);
        fclose(server_out);
        server_in = server_out = nullptr;
    }
    ~served_channel()
    {
        if (loop.joinable()) {
            fclose(channel_out);
            channel_out = nullptr;
            loop.join();
        }
        for (FILE* f : {server_in, server_out, channel_in, channel_out})
            if (f != nullptr)
                fclose(f);
        channel_in = channel_out = nullptr;
    }
};

class ctl_ops_test : public ::testing::Test {
protected:
    scoped_state own_state;
    scratch_dir dir;
    std::unique_ptr<served_channel> channel;

    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        install_replicas({"/data/r1", "/data/r2", "/data/r3"});
        install_log(dir / "log");
        state().mount.path = "/mnt";
        state().settings.ctl_path = dir / "ctl";

        ctl_path = dir / "ctl";
        ASSERT_EQ(mkdir(ctl_path.c_str(), 0500), 0);
        ASSERT_EQ(chown(ctl_path.c_str(), owner, group), 0);
        replica_entries = {"/_data_r1", "/_data_r2", "/_data_r3"};
        ASSERT_EQ(build_tree(), 0);
        channel = std::make_unique<served_channel>();
        set_test_caller(0, 0);
    }
    void TearDown() override
    {
        set_test_caller(0, 0);
        channel.reset();
        free_nodes(tree_root.children);
        replica_entries.clear();
        remove_replicas();
    }

    int open_with(const char* path, int flags)
    {
        fuse_file_info fi{};
        fi.flags = flags;
        const int rc = ctl_open(path, &fi);
        if (rc == 0)
            ctl_release(path, &fi);
        return rc;
    }
    std::string read_text(const char* path, size_t size = 4096, off_t offset = 0)
    {
        std::string buffer(size, '\0');
        const int n = ctl_read(path, buffer.data(), size, offset, nullptr);
        if (n < 0)
            return "error " + std::to_string(-n);
        buffer.resize(n);
        return buffer;
    }
    int write_text(const char* path, const std::string& text)
    {
        return ctl_write(path, text.data(), text.size(), 0, nullptr);
    }
    std::string log() { return read_file(dir / "log"); }
};

TEST_F(ctl_ops_test, getattr_copies_the_node)
{
    struct stat st;
    ASSERT_EQ(ctl_getattr("/", &st, nullptr), 0);
    EXPECT_EQ(st.st_ino, 1u);
    EXPECT_EQ(st.st_mode, 040550u);
    ASSERT_EQ(ctl_getattr("/_data_r2/check_vornelix.sh", &st, nullptr), 0);
    EXPECT_EQ(st.st_ino, 8u);
    EXPECT_EQ(st.st_size, 746);
    EXPECT_EQ(st.st_uid, owner);
    EXPECT_EQ(st.st_gid, group);
    EXPECT_EQ(ctl_getattr("/_data_r4", &st, nullptr), -ENOENT);
    EXPECT_EQ(ctl_getattr("/_data_r1/other", &st, nullptr), -ENOENT);
}

TEST_F(ctl_ops_test, status_reads_and_writes_through_the_channel)
{
    EXPECT_EQ(read_text("/_data_r2/status"), "0");
    EXPECT_EQ(write_text("/_data_r2/status", "2\n"), 2);
    EXPECT_NE(state_word(1), 0);
    EXPECT_EQ(read_text("/_data_r2/status"), "2");
    EXPECT_EQ(read_text("/_data_r1/status"), "0");
    EXPECT_NE(log().find("disabling replica /data/r2 Forced by administrator"), std::string::npos);

    EXPECT_EQ(write_text("/_data_r2/status", "0"), 1);
    EXPECT_EQ(state_word(1), 0);
    EXPECT_EQ(read_text("/_data_r2/status"), "0");
    EXPECT_NE(log().find("trusting replica /data/r2 Forced by administrator"), std::string::npos);

    store_state_word(2, 1);
    EXPECT_EQ(read_text("/_data_r3/status"), "1");
    // One character long: a read past it is the end of the file.
    EXPECT_EQ(read_text("/_data_r3/status", 4096, 1), "");
    EXPECT_EQ(read_text("/_data_r3/status", 0, 0), "");
    EXPECT_EQ(ctl_truncate("/_data_r3/status", 0, nullptr), 0);
}

TEST_F(ctl_ops_test, refused_writes_send_nothing)
{
    const std::string before = log();
    for (const std::string text : {"3", "00", "11", "222", "abc", "2x", "0 ", "", "\n", "2\n\n", "1\n\n", "0\n\n"}) {
        EXPECT_EQ(write_text("/_data_r1/status", text), -ENOSYS) << '"' << text << '"';
    }
    // Root may open the script for writing, but it is no status file.
    EXPECT_EQ(open_with("/_data_r1/check_vornelix.sh", O_WRONLY), 0);
    EXPECT_EQ(write_text("/_data_r1/check_vornelix.sh", "2"), -ENOSYS);
    EXPECT_EQ(write_text("/_data_r1", "2"), -ENOSYS);
    EXPECT_EQ(write_text("/", "2"), -ENOSYS);
    EXPECT_EQ(write_text("/_data_r9/status", "2"), -ENOENT);
    // A resync of a replica in service, or with no replica in service to
    // copy from, is refused.
    EXPECT_EQ(write_text("/_data_r1/status", "1\n"), -EINVAL);
    for (int k = 0; k < state().replicas.count; ++k)
        EXPECT_EQ(state_word(k), 0);
    for (int k = 0; k < state().replicas.count; ++k)
        store_state_word(k, 2);
    EXPECT_EQ(write_text("/_data_r2/status", "1"), -EINVAL);
    for (int k = 0; k < state().replicas.count; ++k)
        EXPECT_EQ(state_word(k), 2);
    EXPECT_EQ(log(), before);
}

// The script and the progress file follow the state and the resync's
// figures; they read whole, or in pieces at any offset.
TEST_F(ctl_ops_test, script_and_progress_reads_follow_the_state)
{
    const std::string tmpl(check_script_template);
    const size_t length = tmpl.size();
    const struct {
        int64_t state;
        char digit;
        int resynced;  // the replica a resync writes, -1 for none
        uint64_t done, todo;
        const char* progress;
    } states[] = {
        {0, '0', -1, 0, 0, "idle\n"},
        {1, '1', -1, 0, 0, "idle\n"},
        {1, '1', 0, 17, 0, "resyncing: 17 entries copied, 4096 bytes\n"},
        {1, '1', 0, 17, 90, "resyncing: 17 of 90 entries copied, 4096 bytes\n"},
        {1, '1', 1, 17, 90, "idle\n"},  // another replica's resync
        {12345, '2', -1, 0, 0, "idle\n"},
    };
    const std::pair<off_t, size_t> pieces[] = {{0, 4096}, {530, 100}, {600, 100}, {0, 1},
                                               {537, 60}, {static_cast<off_t>(length - 1), 5},
                                               {static_cast<off_t>(length), 10}, {5000, 1}, {10, 0}};
    for (const auto& s : states) {
        store_state_word(0, s.state);
        if (s.resynced >= 0) {
            begin_resync_progress(s.resynced, s.todo);
            current_resync_progress().entries_done.store(s.done);
            current_resync_progress().bytes.store(4096);
        }
        const resync_figures figures{s.resynced == 0, s.done, s.todo, 4096};
        std::string field = "'" + check_message(s.digit, figures) + "'";
        field.resize(status_text_width, ' ');
        const std::string whole = tmpl.substr(0, script_message_field) + field +
                                  tmpl.substr(script_message_field + status_text_width,
                                              script_exit_field - script_message_field - status_text_width) +
                                  s.digit + tmpl.substr(script_exit_field + 1);
        ASSERT_EQ(whole.size(), length);
        for (const auto& [offset, size] : pieces) {
            const size_t want = static_cast<size_t>(offset) >= length ? 0 : std::min<size_t>(size, length - offset);
            EXPECT_EQ(read_text("/_data_r1/check_vornelix.sh", size, offset),
                      whole.substr(std::min<size_t>(offset, length), want))
                << "state " << s.state << " at " << offset << " size " << size;
        }
        const std::string progress = s.progress;
        EXPECT_EQ(read_text("/_data_r1/progress"), progress);
        EXPECT_EQ(read_text("/_data_r1/progress", 4, 3), progress.substr(3, 4));
        EXPECT_EQ(read_text("/_data_r1/progress", 10, 5000), "");
        end_resync_progress();
    }
    // An open progress file reads the text it was opened with to its end,
    // however the figures move between the pieces.
    store_state_word(0, 1);
    begin_resync_progress(0, 90);
    current_resync_progress().entries_done.store(17);
    struct fuse_file_info open{};
    open.flags = O_RDONLY;
    ASSERT_EQ(ctl_open("/_data_r1/progress", &open), 0);
    char head[12];
    ASSERT_EQ(ctl_read("/_data_r1/progress", head, sizeof head, 0, &open), 12);
    current_resync_progress().entries_done.store(1700);
    char tail[64];
    const int rest = ctl_read("/_data_r1/progress", tail, sizeof tail, 12, &open);
    ASSERT_GT(rest, 0);
    EXPECT_EQ(std::string(head, 12) + std::string(tail, static_cast<size_t>(rest)),
              "resyncing: 17 of 90 entries copied, 0 bytes\n");
    EXPECT_EQ(ctl_release("/_data_r1/progress", &open), 0);
    end_resync_progress();
    EXPECT_EQ(write_text("/_data_r1/progress", "1"), -ENOSYS);

    EXPECT_EQ(read_text("/_data_r1"), "error " + std::to_string(ENOSYS));
    EXPECT_EQ(read_text("/"), "error " + std::to_string(ENOSYS));
    EXPECT_EQ(read_text("/_data_r1/nothing"), "error " + std::to_string(ENOENT));
}

TEST_F(ctl_ops_test, open_flags)
{
    EXPECT_EQ(open_with("/_data_r1/status", O_RDONLY), 0);
    EXPECT_EQ(open_with("/_data_r1/status", O_WRONLY | O_TRUNC), 0);
    EXPECT_EQ(open_with("/", O_RDONLY), 0);
    // O_CREAT is refused to everybody, root included; so is O_EXCL alone.
    EXPECT_EQ(open_with("/_data_r1/status", O_WRONLY | O_CREAT), -EACCES);
    EXPECT_EQ(open_with("/_data_r1/new", O_RDONLY | O_CREAT), -EACCES);
    EXPECT_EQ(open_with("/_data_r1/status", O_RDONLY | O_EXCL), -EACCES);
    EXPECT_EQ(open_with("/_data_r1/absent", O_RDONLY), -ENOENT);
    EXPECT_EQ(open_with("/_absent", O_RDONLY), -ENOENT);
}

// Who may do what: the owner and the group have the node's rights (the
// script is r-x, directories r-x), others none but statfs, and a gid of 0
// every right, like root. Names that do not exist are not found rather
// than refused. Rows run in order; a refused write changes no state.
TEST_F(ctl_ops_test, rights_table)
{
    enum op { do_getattr, do_open, do_read, do_write, do_readdir, do_statfs };
    struct caller {
        const char* name;
        uid_t uid;
        gid_t gid;
    };
    const caller owner_class{"owner", owner, stranger_group};
    const caller group_class{"group", stranger, group};
    const caller other{"other", stranger, stranger_group};
    const caller gid_0{"gid 0", stranger, 0};
    const char* const status = "/_data_r1/status";
    const char* const script = "/_data_r1/check_vornelix.sh";
    const char* const progress = "/_data_r1/progress";
    struct row {
        caller who;
        op what;
        const char* path;
        int flags;  // open flags
        const char* text;  // written, or expected from a read
        int result;
    };
    std::vector<row> rows;
    for (const caller& who : {owner_class, group_class}) {
        const std::vector<row> allowed = {
            {who, do_getattr, "/", 0, "", 0},
            {who, do_getattr, status, 0, "", 0},
            {who, do_open, status, O_RDONLY, "", 0},
            {who, do_open, status, O_WRONLY | O_TRUNC, "", 0},
            {who, do_open, status, O_RDWR, "", 0},
            {who, do_open, script, O_RDONLY, "", 0},
            {who, do_open, script, O_WRONLY, "", -EACCES},
            {who, do_open, script, O_RDWR, "", -EACCES},
            {who, do_open, progress, O_RDONLY, "", 0},
            {who, do_open, progress, O_WRONLY, "", -EACCES},
            {who, do_read, progress, 0, "idle\n", 0},
            {who, do_read, status, 0, "0", 0},
            {who, do_write, status, 0, "2", 1},
            {who, do_write, status, 0, "0\n", 2},
            {who, do_write, "/_data_r1", 0, "0", -EACCES},
            {who, do_getattr, "/_data_r1/absent", 0, "", -ENOENT},
            {who, do_open, "/_absent", O_RDONLY, "", -ENOENT},
        };
        rows.insert(rows.end(), allowed.begin(), allowed.end());
    }
    const std::vector<row> others = {
        {other, do_getattr, "/", 0, "", -EACCES},
        {other, do_getattr, "/_data_r1", 0, "", -EACCES},
        {other, do_getattr, status, 0, "", -EACCES},
        {other, do_open, status, O_RDONLY, "", -EACCES},
        {other, do_open, status, O_WRONLY, "", -EACCES},
        {other, do_read, status, 0, "", -EACCES},
        {other, do_read, progress, 0, "", -EACCES},
        {other, do_write, status, 0, "2", -EACCES},
        {other, do_readdir, "/", 0, "", -EACCES},
        {other, do_statfs, "/", 0, "", 0},
        {gid_0, do_write, status, 0, "2", 1},
        {gid_0, do_read, status, 0, "2", 0},
    };
    rows.insert(rows.end(), others.begin(), others.end());

    for (const row& r : rows) {
        const std::string where = std::string(r.who.name) + " op " + std::to_string(r.what) + " " + r.path;
        set_test_caller(r.who.uid, r.who.gid);
        struct stat st;
        struct statvfs sv;
        switch (r.what) {
        case do_getattr:
            EXPECT_EQ(ctl_getattr(r.path, &st, nullptr), r.result) << where;
            break;
        case do_open:
            EXPECT_EQ(open_with(r.path, r.flags), r.result) << where;
            break;
        case do_read:
            EXPECT_EQ(read_text(r.path), r.result == 0 ? std::string(r.text) : "error " + std::to_string(-r.result))
                << where;
            break;
        case do_write:
            EXPECT_EQ(write_text(r.path, r.text), r.result) << where;
            break;
        case do_readdir:
            EXPECT_EQ(ctl_readdir(r.path, nullptr, nullptr, 0, nullptr, no_readdir_flags), r.result) << where;
            break;
        case do_statfs:
            EXPECT_EQ(ctl_statfs(r.path, &sv), r.result) << where;
            break;
        }
        if (r.result < 0) {
            EXPECT_EQ(state_word(0), 0) << where;
        }
    }
    // The owner and the group may run the script.
    set_test_caller(owner, stranger_group);
    EXPECT_EQ(read_text(script).size(), 746u);
    set_test_caller(stranger, group);
    EXPECT_EQ(read_text(script).size(), 746u);
}

// A listing hands the kernel names, types and inode numbers only, even
// when it asks for attributes too.
TEST_F(ctl_ops_test, readdir_lists_dot_and_children)
{
    std::vector<std::string> names;
    std::vector<ino_t> inodes;
    auto filler = [](void* buffer, const char* name, const struct stat* st, off_t offset,
                     enum fuse_fill_dir_flags flags) -> int {
        auto* seen = static_cast<std::pair<std::vector<std::string>*, std::vector<ino_t>*>*>(buffer);
        EXPECT_EQ(offset, 0);
        EXPECT_EQ(flags, 0) << name;
        seen->first->push_back(name);
        seen->second->push_back(st->st_ino);
        return 0;
    };
    std::pair<std::vector<std::string>*, std::vector<ino_t>*> seen{&names, &inodes};
    for (const enum fuse_readdir_flags asked : {no_readdir_flags, FUSE_READDIR_PLUS}) {
        names.clear();
        inodes.clear();
        ASSERT_EQ(ctl_readdir("/", &seen, filler, 0, nullptr, asked), 0);
        EXPECT_EQ(names, (std::vector<std::string>{".", "_data_r1", "_data_r2", "_data_r3"}));
        EXPECT_EQ(inodes, (std::vector<ino_t>{1, 2, 6, 10}));

        names.clear();
        inodes.clear();
        ASSERT_EQ(ctl_readdir("/_data_r3", &seen, filler, 0, nullptr, asked), 0);
        EXPECT_EQ(names, (std::vector<std::string>{".", "status", "check_vornelix.sh", "progress"}));
        EXPECT_EQ(inodes, (std::vector<ino_t>{10, 11, 12, 13}));
        EXPECT_EQ(ctl_readdir("/_data_r4", &seen, filler, 0, nullptr, asked), -ENOENT);
    }

    // A full buffer stops the listing.
    int calls = 0;
    auto full = [](void* buffer, const char*, const struct stat*, off_t, enum fuse_fill_dir_flags) -> int {
        return ++*static_cast<int*>(buffer) >= 2 ? 1 : 0;
    };
    ASSERT_EQ(ctl_readdir("/", &calls, full, 0, nullptr, no_readdir_flags), 0);
    EXPECT_EQ(calls, 2);
}

TEST_F(ctl_ops_test, statfs_fixed_figures)
{
    struct statvfs sv;
    ASSERT_EQ(ctl_statfs("/_data_r1", &sv), 0);
    EXPECT_EQ(sv.f_bsize, 4096u);
    EXPECT_EQ(sv.f_frsize, 4096u);
    EXPECT_EQ(sv.f_blocks, 0xFFFFFu);
    EXPECT_EQ(sv.f_bfree, 0xFFFFFu);
    EXPECT_EQ(sv.f_bavail, 0xFFFFFu);
    EXPECT_EQ(sv.f_files, 0xFFFFu);
    EXPECT_EQ(sv.f_ffree, 0xFFFFu);
    EXPECT_EQ(sv.f_favail, 0xFFFFu);
    EXPECT_EQ(sv.f_namemax, 255u);
}

// The status file fails, but the script still reads and reports CRITICAL:
// a monitor must never take a failed read for an empty, successful script.
TEST_F(ctl_ops_test, vornelix_gone_gives_eio_but_the_tree_stays)
{
    channel->end_server();
    EXPECT_EQ(read_text("/_data_r1/status"), "error " + std::to_string(EIO));
    const std::string script = read_text("/_data_r1/check_vornelix.sh");
    ASSERT_EQ(script.size(), check_script_template.size());
    EXPECT_EQ(script.substr(script_message_field, 44), "'CRITICAL - Vornelix daemon not answering'  ");
    EXPECT_EQ(read_text("/_data_r1/progress"), "error " + std::to_string(EIO));
    EXPECT_EQ(script[script_exit_field], '2');
    EXPECT_EQ(write_text("/_data_r1/status", "2"), -EIO);
    EXPECT_EQ(write_text("/_data_r1/status", "0\n"), -EIO);
    struct stat st;
    EXPECT_EQ(ctl_getattr("/_data_r1/status", &st, nullptr), 0);
    EXPECT_EQ(open_with("/_data_r1/status", O_RDONLY), 0);
}

TEST_F(ctl_ops_test, refused_request_is_eio)
{
    // A tree that knows more replicas than vornelix does: the request for
    // the fourth is answered ERR.
    free_nodes(tree_root.children);
    replica_entries = {"/_a", "/_b", "/_c", "/_d"};
    ASSERT_EQ(build_tree(), 0);
    EXPECT_EQ(write_text("/_d/status", "2"), -EIO);
    EXPECT_EQ(read_text("/_c/status"), "0");
}

// Exchanges from many threads at once never receive each other's replies:
// two replicas whose states never change must always read as they are,
// while a third is switched back and forth.
TEST_F(ctl_ops_test, concurrent_exchanges_keep_their_replies)
{
    store_state_word(2, 1);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                if (t == 0) {
                    if (write_text("/_data_r2/status", i % 2 ? "0" : "2\n") < 0)
                        ++wrong;
                } else if (t % 2) {
                    if (read_text("/_data_r1/status") != "0")
                        ++wrong;
                } else {
                    const std::string script = read_text("/_data_r3/check_vornelix.sh");
                    if (script.size() != check_script_template.size() || script[script_exit_field] != '1')
                        ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Whatever libfuse would default to, the kernel caches nothing of the
// tree (every stat reaches getattr's permission checks), shows the tree's
// own inode numbers, and sends O_TRUNC as a truncate of its own; every
// other capability is left as libfuse chose it.
TEST(ctl_init, caches_nothing_and_keeps_truncate_apart)
{
    const unsigned chosen[] = {FUSE_CAP_ATOMIC_O_TRUNC | FUSE_CAP_ASYNC_READ | FUSE_CAP_READDIRPLUS,
                               FUSE_CAP_ATOMIC_O_TRUNC, FUSE_CAP_ASYNC_READ, 0};
    for (const unsigned want : chosen) {
        fuse_config config{};
        config.attr_timeout = 1;
        config.entry_timeout = 1;
        config.negative_timeout = 1;
        fuse_conn_info connection{};
        connection.capable = want | FUSE_CAP_PARALLEL_DIROPS;
        connection.want = want;
        EXPECT_EQ(ctl_init(&connection, &config), nullptr);
        EXPECT_EQ(config.use_ino, 1);
        EXPECT_EQ(config.attr_timeout, 0.0);
        EXPECT_EQ(config.entry_timeout, 0.0);
        EXPECT_EQ(config.negative_timeout, 0.0);
        EXPECT_EQ(connection.want, want & ~FUSE_CAP_ATOMIC_O_TRUNC) << std::hex << want;
        EXPECT_EQ(connection.capable, want | FUSE_CAP_PARALLEL_DIROPS) << std::hex << want;
    }
}

TEST(ctl_group_membership, groups_are_the_calling_processs_own)
{
    struct stat st {};
    st.st_uid = owner;
    st.st_gid = group;
    st.st_mode = S_IFREG | 0640;
    // The supplementary groups the kernel holds for the caller count, the
    // group database does not: a caller given the group has it, one that
    // dropped it has it no more.
    set_test_caller(2102, 3200, {3200, group});
    EXPECT_EQ(node_permissions(2102, 3200, st), 4);
    set_test_caller(2102, 3200, {3200});
    EXPECT_EQ(node_permissions(2102, 3200, st), 0);
    EXPECT_EQ(node_permissions(9, group, st), 4);   // by primary group
    EXPECT_EQ(node_permissions(owner, 1, st), 6);   // the owner class only
    std::vector<gid_t> many;
    for (gid_t g = 5000; g < 5300; ++g)
        many.push_back(g);
    many.push_back(group);
    set_test_caller(2102, 3200, many);
    EXPECT_EQ(node_permissions(2102, 3200, st), 4);
    set_test_caller(0, 0);
}

}  // namespace
