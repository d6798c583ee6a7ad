#include "fs/replica_record.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "fs/event_log.h"
#include "fs/replica_set.h"
#include "fs/replica_workers.h"
#include "fs/replicas.h"

namespace {

constexpr const char* generation_name = "trusted.vornelix.generation";
constexpr const char* mounted_name = "trusted.vornelix.mounted";

struct root_record {
    bool recordable = false;  // its record is read and written
    bool marked = false;      // this mount set its mounted marker
    bool asked = false;       // in the change being recorded side by side
};

// Protects records and current_generation (lock order in the header).
std::mutex record_lock;
std::vector<root_record> records;  // one per replica; empty when not loaded
uint64_t current_generation = 0;

// A descriptor of replica k's root, or -1 with errno set. The mount-point
// replica's root is reached through the descriptor kept from before the
// mount covered it.
int open_root(int k) noexcept
{
    if (replica_table[k].root == ".") {
        if (mount_point_directory < 0) {
            errno = EBADF;
            return -1;
        }
        return fcntl(mount_point_directory, F_DUPFD_CLOEXEC, 0);
    }
    return open(replica_table[k].root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Replica k's root, opened afresh for every step: a replica whose disk was
// replaced while it was out of service is written on the new disk, and no
// descriptor of ours keeps a disabled replica's filesystem busy.
struct root_descriptor {
    int fd;
    explicit root_descriptor(int k) noexcept : fd(open_root(k)) {}
    ~root_descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    root_descriptor(const root_descriptor&) = delete;
    root_descriptor& operator=(const root_descriptor&) = delete;
};

// The record on an open root; error is set for an unrecordable one.
record_reading read_record(int fd, int& error) noexcept
{
    char text[32];
    const ssize_t length = fgetxattr(fd, generation_name, text, sizeof text);
    if (length < 0) {
        if (errno == ENODATA)
            return {record_reading::absent, 0};
        error = errno;
        return {record_reading::unrecordable, 0};
    }
    const std::optional<uint64_t> generation = parse_generation(std::string_view(text, length));
    if (!generation) {
        error = EINVAL;
        return {record_reading::unrecordable, 0};
    }
    return {record_reading::present, *generation};
}

// Sets one attribute of replica k's root and makes it durable: 0 or an
// errno value.
int write_durably(int k, const char* name, std::string_view value) noexcept
{
    const root_descriptor root(k);
    if (root.fd < 0 || fsetxattr(root.fd, name, value.data(), value.size(), 0) != 0 || fsync(root.fd) != 0)
        return errno;
    return 0;
}

// Removes one attribute of replica k's root durably: 0 or an errno value.
int remove_durably(int k, const char* name) noexcept
{
    const root_descriptor root(k);
    if (root.fd < 0 || fremovexattr(root.fd, name) != 0 || fsync(root.fd) != 0)
        return errno;
    return 0;
}

// One change of a record, as a step may carry it: by value, since a step
// given up on may still run after its caller has gone.
struct record_change {
    const char* name = generation_name;
    char value[24] = {};
    size_t length = 0;
    bool removes = false;

    int apply(int k) const noexcept
    {
        return removes ? remove_durably(k, name) : write_durably(k, name, std::string_view(value, length));
    }
};

record_change generation_change(uint64_t generation) noexcept
{
    record_change change;
    change.length = static_cast<size_t>(
        snprintf(change.value, sizeof change.value, "%llu", static_cast<unsigned long long>(generation)));
    return change;
}

// 0 or an errno value.
int write_generation(int k, uint64_t generation) noexcept
{
    return generation_change(generation).apply(k);
}

// Applies change to the replicas whose record is marked asked, side by
// side and each through its worker, then clears the marks: a replica that
// stopped answering holds up another's departure, or the unmount, for the
// deadline at most, as it would any request. Nothing is disabled from here
// (the record lock is held): such a replica meets the deadline again at
// its next request. result(k, error) gets 0, the step's errno, or
// ETIMEDOUT for a replica that did not answer in time. Called with the
// record lock held.
template <typename Result>
void record_side_by_side(const record_change& change, Result result) noexcept
{
    replica_work work;
    const bool queued = work.ready() && work.set_step([change](replica_slot& slot, int k) noexcept {
        slot.error = change.apply(k);
    });
    const int count = static_cast<int>(records.size());
    for (int k = 0; k < count; ++k)
        if (records[k].asked) {
            if (queued)
                work.submit(k);
            else  // no memory for a job: here, one after the other
                result(k, change.apply(k));
        }
    if (queued)
        work.wait_for_records();
    for (int k = 0; k < count; ++k) {
        if (!records[k].asked)
            continue;
        records[k].asked = false;
        if (queued)
            result(k, work.answered(k) ? work.slot(k).error : ETIMEDOUT);
    }
}

// Errors that mean the replica's filesystem, or the privileges vornelix
// runs with, cannot keep a record at all.
bool cannot_hold_records(int error) noexcept
{
    return error == ENOTSUP || error == EPERM || error == EACCES;
}

void log_record_failure(int k, int error) noexcept
{
    write_log("recording replica generation", replica_table[k].root, error);
}

void log_untrusted_start(int k, const record_reading& reading) noexcept
{
    try {
        const std::string word = reading.kind == record_reading::absent
            ? std::string("replica without generation record while others hold one, starting untrusted")
            : "replica behind the others (generation " + std::to_string(reading.generation) + " of " +
                std::to_string(current_generation) + "), starting untrusted";
        write_log(word, replica_table[k].root, 0);
    } catch (...) {
        write_log("replica behind the others, starting untrusted", replica_table[k].root, 0);
    }
}

// Reads every record, logging the replicas that cannot hold one. Answers
// the first replica found with a mounted marker, or -1.
int read_records(std::vector<record_reading>& readings) noexcept
{
    int marked_replica = -1;
    for (int k = 0; k < replica_count; ++k) {
        int error = 0;
        const root_descriptor root(k);
        if (root.fd < 0)
            error = errno;
        else
            readings[k] = read_record(root.fd, error);
        if (root.fd < 0 || readings[k].kind == record_reading::unrecordable) {
            readings[k].kind = record_reading::unrecordable;
            write_log("replica generation record", replica_table[k].root, error);
            continue;
        }
        records[k].recordable = true;
        char mark[8];
        if (marked_replica < 0 && fgetxattr(root.fd, mounted_name, mark, sizeof mark) >= 0)
            marked_replica = k;
    }
    return marked_replica;
}

}  // namespace

std::optional<uint64_t> parse_generation(std::string_view text) noexcept
{
    if (text.empty() || text.size() > 20)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

start_decision decide_start_states(const std::vector<record_reading>& readings)
{
    start_decision decision;
    decision.states.assign(readings.size(), 0);
    bool any_record = false;
    uint64_t highest = 0;
    for (const record_reading& reading : readings) {
        if (reading.kind == record_reading::present) {
            any_record = true;
            highest = std::max(highest, reading.generation);
        }
    }
    if (!any_record) {
        decision.first_start = true;
        decision.generation = 1;
        return decision;
    }
    // Generation 0 is written only to a replica that left service while no
    // other could record being ahead: it is behind whatever else holds.
    decision.generation = std::max<uint64_t>(highest, 1);
    for (size_t k = 0; k < readings.size(); ++k) {
        const record_reading& reading = readings[k];
        if (reading.kind == record_reading::absent ||
            (reading.kind == record_reading::present && reading.generation != decision.generation))
            decision.states[k] = 1;
    }
    return decision;
}

void load_replica_records() noexcept
{
    std::lock_guard<std::mutex> guard(record_lock);
    start_decision decision;
    int marked_replica = -1;
    try {
        records.assign(replica_count, root_record{});
        std::vector<record_reading> readings(replica_count);
        marked_replica = read_records(readings);
        decision = decide_start_states(readings);
        current_generation = decision.generation;
        for (int k = 0; k < replica_count; ++k) {
            if (decision.states[k] == 1)
                log_untrusted_start(k, readings[k]);
        }
    } catch (...) {
        // Out of memory this early: start as before records existed.
        records.clear();
        return;
    }
    for (int k = 0; k < replica_count; ++k) {
        if (decision.states[k] != 0)
            replica_table[k].state.store(decision.states[k]);
        if (decision.first_start && records[k].recordable) {
            const int error = write_generation(k, decision.generation);
            if (error != 0) {
                log_record_failure(k, error);
                records[k].recordable = !cannot_hold_records(error);
            }
        }
    }
    if (marked_replica >= 0)
        write_log("previous mount ended without unmounting, compare the replicas with vornelix --verify",
                  replica_table[marked_replica].root, 0);
}

void mark_replicas_mounted() noexcept
{
    std::lock_guard<std::mutex> guard(record_lock);
    for (size_t k = 0; k < records.size(); ++k) {
        root_record& record = records[k];
        if (!record.recordable || !replica_in_service(static_cast<int>(k)))
            continue;
        const int error = write_durably(static_cast<int>(k), mounted_name, "1");
        if (error != 0)
            write_log("marking replica mounted", replica_table[k].root, error);
        else
            record.marked = true;
    }
}

void release_replica_records() noexcept
{
    std::lock_guard<std::mutex> guard(record_lock);
    for (size_t k = 0; k < records.size(); ++k)
        records[k].asked = records[k].marked;
    record_change unmark;
    unmark.name = mounted_name;
    unmark.removes = true;
    record_side_by_side(unmark, [](int k, int error) noexcept {
        if (error != 0)
            write_log("unmarking replica mounted", replica_table[k].root, error);
    });
    records.clear();
    current_generation = 0;
}

std::unique_lock<std::mutex> record_departure(int k) noexcept
{
    std::unique_lock<std::mutex> lock(record_lock);
    if (records.empty() || !replica_in_service(k))
        return lock;
    const uint64_t next = current_generation + 1;
    int survivors = 0;
    int recorded = 0;
    for (int j = 0; j < replica_count; ++j) {
        if (j == k || !replica_in_service(j))
            continue;
        ++survivors;
        records[j].asked = records[j].recordable;
    }
    record_side_by_side(generation_change(next), [&recorded](int j, int error) noexcept {
        if (error != 0)
            log_record_failure(j, error);
        else
            ++recorded;
    });
    if (survivors == 0)
        return lock;
    current_generation = next;
    if (recorded == 0 && records[k].recordable) {
        // The departing replica may be the one that stopped answering.
        records[k].asked = true;
        record_side_by_side(generation_change(0), [](int j, int error) noexcept {
            if (error != 0)
                log_record_failure(j, error);
        });
    }
    return lock;
}

std::unique_lock<std::mutex> record_return(int k, bool (*still_wanted)(int k) noexcept) noexcept
{
    std::unique_lock<std::mutex> lock(record_lock);
    if (records.empty() || !records[k].recordable || (still_wanted != nullptr && !still_wanted(k)))
        return lock;
    records[k].asked = true;
    record_side_by_side(generation_change(current_generation), [](int j, int error) noexcept {
        if (error != 0)
            log_record_failure(j, error);
    });
    return lock;
}

std::unique_lock<std::mutex> hold_records() noexcept
{
    return std::unique_lock<std::mutex>(record_lock);
}
