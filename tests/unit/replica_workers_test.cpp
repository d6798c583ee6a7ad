// The replicated change on the per-replica workers: a replica that does not
// answer is given up at the deadline and leaves service while the request
// completes with the others; the reply never depends on which replica
// finished first. A replica on a local filesystem is served by the request
// itself, unless its worker holds work that the request would overtake.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "fs/engine/replica_workers.h"
#include "fs/engine/replicated_mutation.h"
#include "tests/support/engine_fixture.h"

namespace {

// Waits (five seconds at most) for what a worker does after the request
// stopped waiting for it.
template <typename Condition>
bool eventually(Condition condition)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool closed(int fd)
{
    return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

bool readable(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

struct replica_workers_test : replica_dirs_test {
    int gate[2] = {-1, -1};  // a step reading gate[0] waits until the test writes
    void SetUp() override { ASSERT_EQ(pipe(gate), 0); }
    void TearDown() override
    {
        close(gate[1]);  // every step still waiting ends before the workers stop
        replica_dirs_test::TearDown();
        close(gate[0]);
    }
};

TEST_F(replica_workers_test, replica_that_does_not_answer_is_disabled_and_the_others_carry_the_request)
{
    use_replicas(3);
    state().work.timeout_ms = 300;
    const int stuck = gate[0];
    replica_work work;
    const int rc = replicate_change(work, mutation_variant::strict, "mkdir", "mkdir", [stuck](int k) noexcept {
        char byte;
        if (k == 1)
            (void)read(stuck, &byte, 1);
        return replica_succeeded();
    });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(replica_in_service(0));
    EXPECT_FALSE(replica_in_service(1));
    EXPECT_TRUE(replica_in_service(2));
    EXPECT_NE(events().find("mkdir: no answer in "), std::string::npos) << events();
    EXPECT_NE(events().find("failed accessing " + root(1) + " Connection timed out"), std::string::npos) << events();
    EXPECT_NE(events().find("disabling replica failed accessing " + root(1)), std::string::npos) << events();

    // Later requests do not wait for it.
    replica_work later;
    EXPECT_EQ(replicate_change(later, mutation_variant::strict, "rmdir", "rmdir", [](int k) noexcept {
                  return k == 1 ? replica_failed(EIO) : replica_succeeded();
              }),
              0);
    EXPECT_EQ(events().find("rmdir"), std::string::npos) << events();
}

TEST_F(replica_workers_test, reply_follows_replica_numbers_not_completion_order)
{
    use_replicas(3);
    const struct {
        mutation_variant variant;
        int slow;      // the replica that finishes last
        int expected;  // the reply when every replica fails with EACCES+k
    } cases[] = {
        {mutation_variant::strict, 0, -EACCES},      {mutation_variant::strict, 2, -EACCES},
        {mutation_variant::lenient, 0, -(EACCES + 2)}, {mutation_variant::lenient, 2, -(EACCES + 2)},
    };
    for (const auto& c : cases) {
        const int slow = c.slow;
        replica_work work;
        const int rc = replicate_change(work, c.variant, "unlink", "unlink", [slow](int k) noexcept {
            if (k == slow)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return replica_failed(EACCES + k);
        });
        EXPECT_EQ(rc, c.expected) << "slow replica " << slow;
    }
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(replica_in_service(k));
}

TEST_F(replica_workers_test, local_replica_is_served_by_the_request_unless_its_worker_holds_work)
{
    use_replicas(2);
    const int shm = open("/dev/shm", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct statfs fs {};
    if (shm < 0 || fstatfs(shm, &fs) != 0 || fs.f_type != TMPFS_MAGIC)
        GTEST_SKIP() << "no tmpfs at /dev/shm to stand for a local replica";
    const auto requester = std::this_thread::get_id();
    const auto where_it_ran = [requester](replica_slot& slot, int) noexcept {
        slot.value = std::this_thread::get_id() == requester ? 1 : 0;
    };

    set_replica_local(0, shm);
    replica_work idle;
    ASSERT_TRUE(idle.set_step(where_it_ran));
    idle.submit(0);
    idle.submit(1);
    idle.wait("test");
    EXPECT_EQ(idle.slot(0).value, 1) << "the local replica's step ran on a worker";
    EXPECT_EQ(idle.slot(1).value, 0) << "the other replica's step ran on the request's thread";

    // Worker 0 busy with an earlier request's step: the next one queues.
    set_replica_local(0, -1);
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    const int gate_read = gate[0];
    const int started_write = started[1];
    std::thread earlier([&] {
        replica_work work;
        ASSERT_TRUE(work.set_step([gate_read, started_write](replica_slot&, int) noexcept {
            char byte = 0;
            (void)write(started_write, &byte, 1);
            (void)read(gate_read, &byte, 1);
        }));
        work.submit(0);
        work.wait("test");
    });
    char byte;
    ASSERT_EQ(read(started[0], &byte, 1), 1);
    set_replica_local(0, shm);
    replica_work later;
    ASSERT_TRUE(later.set_step(where_it_ran));
    later.submit(0);
    ASSERT_EQ(write(gate[1], "x", 1), 1);
    later.wait("test");
    earlier.join();
    EXPECT_EQ(later.slot(0).value, 0) << "the step overtook the worker's queue";
    close(started[0]);
    close(started[1]);
    close(shm);
}

TEST_F(replica_workers_test, device_wait_runs_disk_replicas_side_by_side_one_on_the_request)
{
    use_replicas(3);
    const int disk = open("/var/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct statfs fs {};
    if (disk < 0 || fstatfs(disk, &fs) != 0 || fs.f_type != EXT4_SUPER_MAGIC)
        GTEST_SKIP() << "no ext4 at /var/tmp to stand for replicas on disks";
    const auto requester = std::this_thread::get_id();
    for (int k = 0; k < 3; ++k)
        set_replica_local(k, disk);
    const struct {
        bool device_wait;
        int here[3];  // 1: the step ran on the request's thread
    } cases[] = {{false, {1, 1, 1}}, {true, {1, 0, 0}}};
    for (const auto& c : cases) {
        replica_work work;
        ASSERT_TRUE(work.set_step([requester](replica_slot& slot, int) noexcept {
            slot.value = std::this_thread::get_id() == requester ? 1 : 0;
        }));
        if (c.device_wait)
            work.waits_on_device();
        for (int k = 0; k < 3; ++k)
            work.submit(k);
        work.wait("test");
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(work.slot(k).value, c.here[k]) << "replica " << k << ", device wait " << c.device_wait;
    }
    for (int k = 0; k < 3; ++k)
        set_replica_local(k, -1);
    close(disk);
}

TEST_F(replica_workers_test, slot_given_up_at_the_deadline_is_not_wanted_and_what_its_step_opened_is_closed)
{
    use_replicas(2);
    state().work.timeout_ms = 200;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const int opened = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(opened, 0);
    const int gate_read = gate[0];
    const int report_write = report[1];
    replica_work work;
    ASSERT_TRUE(work.set_step([gate_read, report_write, opened](replica_slot& slot, int k) noexcept {
        if (k != 1)
            return;
        char byte;
        (void)read(gate_read, &byte, 1);
        byte = still_wanted(slot) ? 'y' : 'n';
        slot.opened = opened;
        (void)write(report_write, &byte, 1);
    }));
    work.submit(0);
    work.submit(1);
    work.wait("test");
    EXPECT_TRUE(work.answered(0));
    EXPECT_FALSE(work.answered(1));
    EXPECT_TRUE(work.timed_out(1));
    EXPECT_TRUE(work.handed_over(1));

    // Given up: a later step of the request is not queued behind it, even
    // while the worker still holds the slot.
    ASSERT_TRUE(work.set_step([report_write](replica_slot&, int) noexcept { (void)write(report_write, "z", 1); }));
    work.submit(1);
    ASSERT_EQ(write(gate[1], "x", 1), 1);
    char wanted = 0;
    ASSERT_EQ(read(report[0], &wanted, 1), 1);
    EXPECT_EQ(wanted, 'n') << "the step was still wanted after its request gave up";
    work.wait("test");
    EXPECT_TRUE(work.timed_out(1));
    EXPECT_TRUE(eventually([opened] { return closed(opened); })) << "nobody closed what the given-up step opened";
    // Everything queued for the replica before this close has run by now.
    const int later = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close_on_replica(1, later);
    EXPECT_TRUE(eventually([later] { return closed(later); }));
    EXPECT_FALSE(readable(report[0])) << "a step was queued on a slot given up on";
    close(report[0]);
    close(report[1]);
}

TEST_F(replica_workers_test, request_that_ends_gives_up_its_queued_slots_but_a_close_still_runs)
{
    use_replicas(2);
    int started[2];
    int ran[2];
    ASSERT_EQ(pipe(started), 0);
    ASSERT_EQ(pipe(ran), 0);
    const int gate_read = gate[0];
    const int started_write = started[1];
    const int ran_write = ran[1];
    replica_work blocker;
    ASSERT_TRUE(blocker.set_step([gate_read, started_write](replica_slot&, int) noexcept {
        char byte = 0;
        (void)write(started_write, &byte, 1);
        (void)read(gate_read, &byte, 1);
    }));
    blocker.submit(1);
    char byte;
    ASSERT_EQ(read(started[0], &byte, 1), 1);
    {
        replica_work ended;
        ASSERT_TRUE(ended.set_step([ran_write](replica_slot&, int) noexcept { (void)write(ran_write, "s", 1); }));
        ended.submit(1);
    }
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    close_on_replica(1, fd);  // its own request ends at once as well
    EXPECT_FALSE(closed(fd)) << "the close overtook the worker's queue";

    ASSERT_EQ(write(gate[1], "x", 1), 1);
    blocker.wait("test");
    EXPECT_TRUE(blocker.answered(1));
    EXPECT_TRUE(eventually([fd] { return closed(fd); })) << "the close of a request that ended never ran";
    EXPECT_FALSE(readable(ran[0])) << "the step of a request that ended ran";
    EXPECT_TRUE(replica_in_service(1));
    for (const int p : {started[0], started[1], ran[0], ran[1]})
        close(p);
}

TEST_F(replica_workers_test, a_new_step_forgets_the_answers_to_the_one_before)
{
    use_replicas(2);
    replica_work work;
    ASSERT_TRUE(work.set_step([](replica_slot& slot, int) noexcept { slot.value = 1; }));
    work.submit(0);
    work.submit(1);
    work.wait("test");
    EXPECT_TRUE(work.answered(0));
    EXPECT_TRUE(work.answered(1));

    ASSERT_TRUE(work.set_step([](replica_slot& slot, int) noexcept { slot.value = 2; }));
    EXPECT_FALSE(work.answered(0));
    EXPECT_FALSE(work.handed_over(1));
    work.submit(0);
    work.wait("test");
    EXPECT_TRUE(work.answered(0));
    EXPECT_EQ(work.slot(0).value, 2);
    EXPECT_FALSE(work.answered(1)) << "an answer to the step before counted for this one";
    EXPECT_FALSE(work.timed_out(1));
    EXPECT_EQ(work.slot(1).value, 1);
}

}  // namespace
