#include "fs/engine/replica_record.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "fs/engine/change_journal.h"
#include "fs/engine/event_log.h"
#include "fs/engine/first_start.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replica_workers.h"
#include "fs/engine/replicas.h"

namespace {

constexpr const char* generation_name = "trusted.vornelix.generation";
constexpr const char* mounted_name = "trusted.vornelix.mounted";
constexpr const char* behind_name = "trusted.vornelix.behind";

struct root_record {
    bool recordable = false;  // its record is read and written
    bool marked = false;      // this mount set its mounted marker
    bool asked = false;       // in the change being recorded side by side
};

// Protects records and current_generation.
std::mutex record_lock;  // lock_order.h: #9, after the open-file table lock
std::vector<root_record> records;  // one per replica; empty when not loaded
uint64_t current_generation = 0;
std::vector<int> to_fill;  // what a first start left to fill, for init

// Replica k's root, opened afresh for every step: a replica whose disk was
// replaced while it was out of service is written on the new disk, and no
// descriptor of ours keeps a disabled replica's filesystem busy.
struct root_descriptor {
    int fd;  // or -errno
    explicit root_descriptor(int k) noexcept : fd(open_replica_root(k)) {}
    ~root_descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    root_descriptor(const root_descriptor&) = delete;
    root_descriptor& operator=(const root_descriptor&) = delete;
};

record_reading reading_of(record_reading::kind_type kind, uint64_t generation = 0)
{
    record_reading reading;
    reading.kind = kind;
    reading.generation = generation;
    return reading;
}

// The record on replica k's open root; error is set for an unrecordable
// one. Throws only for want of memory.
record_reading read_record(int k, int fd, int& error)
{
    char text[32];
    const ssize_t length = fgetxattr(fd, generation_name, text, sizeof text);
    if (length < 0) {
        if (errno == ENODATA)
            return reading_of(record_reading::absent);
        error = errno;
        return reading_of(record_reading::unrecordable);
    }
    const std::optional<uint64_t> generation = parse_generation(std::string_view(text, length));
    if (!generation) {
        error = EINVAL;
        return reading_of(record_reading::unrecordable);
    }
    record_reading reading = reading_of(record_reading::present, *generation);
    std::string list;
    ssize_t size = fgetxattr(fd, behind_name, nullptr, 0);
    for (int attempt = 0; size > 0 && attempt < 4; ++attempt) {
        list.resize(static_cast<size_t>(size));
        const ssize_t got = fgetxattr(fd, behind_name, list.data(), list.size());
        if (got >= 0) {
            list.resize(static_cast<size_t>(got));
            break;
        }
        // Grown since it was measured: measure again.
        size = errno == ERANGE ? fgetxattr(fd, behind_name, nullptr, 0) : -1;
    }
    if (size < 0 && errno != ENODATA) {
        // A list that cannot be read names nobody: the generations still
        // say who is behind wherever a replica holds one.
        write_log("replica behind list", replica_at(k).root, errno);
    }
    reading.behind = parse_behind_list(list);
    return reading;
}

// Sets one attribute of replica k's root and makes it durable: 0 or
// -errno.
int write_durably(int k, const char* name, std::string_view value) noexcept
{
    const root_descriptor root(k);
    if (root.fd < 0)
        return root.fd;
    if (fsetxattr(root.fd, name, value.data(), value.size(), 0) != 0 || fsync(root.fd) != 0)
        return -errno;
    return 0;
}

// Removes one attribute of replica k's root durably: 0 or -errno.
int remove_durably(int k, const char* name) noexcept
{
    const root_descriptor root(k);
    if (root.fd < 0)
        return root.fd;
    if (fremovexattr(root.fd, name) != 0 || fsync(root.fd) != 0)
        return -errno;
    return 0;
}

// Writes the generation and the behind list (removed when empty) of
// replica k's root, then makes both durable: 0 or -errno.
int write_generation_and_behind(int k, std::string_view generation, std::string_view behind) noexcept
{
    const root_descriptor root(k);
    if (root.fd < 0)
        return root.fd;
    const int listed = behind.empty() ? fremovexattr(root.fd, behind_name)
                                      : fsetxattr(root.fd, behind_name, behind.data(), behind.size(), 0);
    if (listed != 0 && !(behind.empty() && errno == ENODATA))
        return -errno;
    if (fsetxattr(root.fd, generation_name, generation.data(), generation.size(), 0) != 0 || fsync(root.fd) != 0)
        return -errno;
    return 0;
}

// One change of a record, as a step may carry it: by value, since a step
// given up on may still run after its caller has gone. A behind list
// lives in the job's texts, which outlive the step.
struct record_change {
    const char* name = generation_name;
    char value[24] = {};
    size_t length = 0;
    bool removes = false;
    bool with_behind = false;  // the generation with the behind list:
    const char* behind = nullptr;
    size_t behind_length = 0;

    int apply(int k) const noexcept
    {
        if (removes)
            return remove_durably(k, name);
        if (with_behind)
            return write_generation_and_behind(k, std::string_view(value, length),
                                               std::string_view(behind, behind_length));
        return write_durably(k, name, std::string_view(value, length));
    }
};

record_change generation_change(uint64_t generation) noexcept
{
    record_change change;
    change.length = static_cast<size_t>(
        snprintf(change.value, sizeof change.value, "%llu", static_cast<unsigned long long>(generation)));
    return change;
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
void record_side_by_side(record_change change, Result result, const std::string* behind = nullptr) noexcept
{
    replica_work work;
    bool kept = true;
    if (behind != nullptr) {
        change.with_behind = true;
        change.behind_length = behind->size();
        change.behind = behind->empty() ? "" : work.keep_data(behind->data(), behind->size());
        kept = change.behind != nullptr;
        if (!kept)  // no memory for a job: here, one after the other
            change.behind = behind->data();
    }
    const bool queued = kept && work.ready() && work.set_step([change](replica_slot& slot, int k) noexcept {
        slot.error = -change.apply(k);
    });
    const int count = static_cast<int>(records.size());
    for (int k = 0; k < count; ++k)
        if (records[k].asked) {
            if (queued)
                work.submit(k);
            else  // no memory for a job: here, one after the other
                result(k, -change.apply(k));
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
    write_log("recording replica generation", replica_at(k).root, error);
}

void log_untrusted_start(int k, const record_reading& reading, bool named_behind) noexcept
{
    try {
        std::string word;
        if (reading.kind == record_reading::present && reading.generation < current_generation)
            word = "replica behind the others (generation " + std::to_string(reading.generation) + " of " +
                   std::to_string(current_generation) + "), starting untrusted";
        else if (named_behind)
            word = "replica named behind by the others, starting untrusted";
        else
            word = "replica without generation record while others hold one, starting untrusted";
        write_event(word, replica_at(k).root);
    } catch (...) {
        write_event("replica behind the others, starting untrusted", replica_at(k).root);
    }
}

// Reads every record, logging the replicas that cannot hold one. Answers
// the first replica found with a mounted marker, or -1; its text in holder.
int read_records(std::vector<record_reading>& readings) noexcept
{
    int marked_replica = -1;
    for (int k = 0; k < state().replicas.count; ++k) {
        int error = 0;
        const root_descriptor root(k);
        try {
            if (root.fd < 0)
                error = -root.fd;
            else
                readings[k] = read_record(k, root.fd, error);
        } catch (...) {
            error = ENOMEM;
            readings[k] = reading_of(record_reading::unrecordable);
        }
        if (root.fd < 0 || readings[k].kind == record_reading::unrecordable) {
            readings[k].kind = record_reading::unrecordable;
            write_log("replica generation record", replica_at(k).root, error);
            continue;
        }
        records[k].recordable = true;
        if (marked_replica < 0 && fgetxattr(root.fd, mounted_name, nullptr, 0) >= 0)
            marked_replica = k;
    }
    return marked_replica;
}

// The behind list for the replicas out of service, departing (and not yet
// stored) or returning replica k counted as it will be.
std::string behind_now(int k, bool departing)
{
    std::vector<std::string> names;
    for (int j = 0; j < state().replicas.count; ++j) {
        const bool behind = j == k ? departing : !replica_in_service(j);
        if (behind)
            names.push_back(replica_identity(j));
    }
    return behind_list_text(names);
}

}  // namespace

int open_replica_root(int k) noexcept
{
    int fd;
    if (replica_at(k).root == mount_point_replica_root) {
        if (state().mount.directory < 0)
            return -EBADF;
        fd = fcntl(state().mount.directory, F_DUPFD_CLOEXEC, 0);
    } else {
        fd = open(replica_at(k).root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    return fd >= 0 ? fd : -errno;
}

std::optional<uint64_t> replica_generation_on(int root_fd) noexcept
{
    char text[32];
    const ssize_t length = fgetxattr(root_fd, generation_name, text, sizeof text);
    if (length < 0)
        return std::nullopt;
    return parse_generation(std::string_view(text, static_cast<size_t>(length)));
}

std::string replica_identity(int k)
{
    return replica_at(k).root == mount_point_replica_root ? ":" + state().mount.path : replica_at(k).root;
}

std::vector<std::string> parse_behind_list(std::string_view text)
{
    std::vector<std::string> names;
    while (!text.empty()) {
        const size_t end = text.find('\0');
        names.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return names;
}

std::string behind_list_text(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) {
        text += name;
        text += '\0';
    }
    return text;
}

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

start_decision decide_start_states(const std::vector<record_reading>& readings,
                                   const std::vector<std::string>& identities)
{
    start_decision decision;
    decision.states.assign(readings.size(), replica_state::in_service);
    decision.named_behind.assign(readings.size(), false);
    bool any_record = false;
    bool any_recordable = false;
    uint64_t highest = 0;
    for (const record_reading& reading : readings) {
        any_recordable = any_recordable || reading.kind != record_reading::unrecordable;
        if (reading.kind == record_reading::present) {
            any_record = true;
            highest = std::max(highest, reading.generation);
        }
    }
    if (!any_record) {
        decision.first_start = any_recordable;
        decision.no_records = !any_recordable;
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
            decision.states[k] = replica_state::behind;
    }
    // What the current replicas remember of the others counts too: a
    // replica that cannot hold a record has nothing else to show.
    for (const record_reading& reading : readings) {
        if (reading.kind != record_reading::present || reading.generation != decision.generation)
            continue;
        for (const std::string& name : reading.behind)
            for (size_t k = 0; k < identities.size() && k < readings.size(); ++k)
                if (identities[k] == name) {
                    decision.states[k] = replica_state::behind;
                    decision.named_behind[k] = true;
                }
    }
    return decision;
}

int load_replica_records(int source) noexcept
{
    std::lock_guard<std::mutex> guard(record_lock);
    start_decision decision;
    int marked_replica = -1;
    std::vector<record_reading> readings;
    std::string behind;
    to_fill.clear();
    try {
        records.assign(state().replicas.count, root_record{});
        readings.resize(state().replicas.count);
        marked_replica = read_records(readings);
        std::vector<std::string> identities;
        for (int k = 0; k < state().replicas.count; ++k)
            identities.push_back(replica_identity(k));
        decision = decide_start_states(readings, identities);
        current_generation = decision.generation;
        if (decision.no_records) {
            const char* warning = "no replica can hold a generation record (trusted. extended attributes): every "
                                  "start trusts every replica, and one that fell behind is not remembered";
            print_message("vornelix", warning);
            write_event(warning, state().mount.path);
        }
        if (source >= 0 && !decision.first_start)
            write_event("the replicas hold generation records: source ignored, only a first start takes it",
                        replica_at(source).root);
        if (decision.first_start && !settle_first_start(source, decision.states, to_fill)) {
            records.clear();
            return ENOTEMPTY;
        }
        for (int k = 0; k < state().replicas.count; ++k) {
            if (decision.states[k] == replica_state::behind && !decision.first_start)
                log_untrusted_start(k, readings[k], decision.named_behind[k]);
        }
        std::vector<std::string> names;
        for (int k = 0; k < state().replicas.count; ++k)
            if (decision.states[k] != replica_state::in_service)
                names.push_back(identities[k]);
        behind = behind_list_text(names);
    } catch (...) {
        // Out of memory this early: start as before records existed.
        records.clear();
        to_fill.clear();
        return 0;
    }
    for (int k = 0; k < state().replicas.count; ++k) {
        if (decision.states[k] != replica_state::in_service)
            set_state(k, decision.states[k]);
        if (decision.first_start && records[k].recordable && decision.states[k] == replica_state::in_service) {
            const int error = -write_generation_and_behind(k, "1", behind);
            if (error != 0) {
                log_record_failure(k, error);
                records[k].recordable = !cannot_hold_records(error);
            }
        }
    }
    if (marked_replica >= 0)
        write_event("previous mount ended without unmounting, compare the replicas with vornelix --verify",
                    replica_at(marked_replica).root);
    journal_load();
    return 0;
}

std::vector<int> take_replicas_to_fill()
{
    std::lock_guard<std::mutex> guard(record_lock);
    std::vector<int> taken;
    taken.swap(to_fill);
    return taken;
}

void mark_replicas_mounted() noexcept
{
    std::lock_guard<std::mutex> guard(record_lock);
    std::string holder;
    try {
        // uname, not gethostname: the latter is what name-service
        // wrappers take over, and it must not matter which one is loaded.
        struct utsname system {};
        uname(&system);
        holder = "mounted at " + state().mount.path + " by pid " + std::to_string(getpid()) + " on " + system.nodename;
    } catch (...) {
        holder = "1";
    }
    for (size_t k = 0; k < records.size(); ++k) {
        root_record& record = records[k];
        if (!record.recordable || !replica_in_service(static_cast<int>(k)))
            continue;
        const int error = -write_durably(static_cast<int>(k), mounted_name, holder);
        if (error != 0)
            write_log("marking replica mounted", replica_at(k).root, error);
        else
            record.marked = true;
    }
}

void release_replica_records() noexcept
{
    std::lock_guard<std::mutex> guard(record_lock);
    journal_close();
    for (size_t k = 0; k < records.size(); ++k)
        records[k].asked = records[k].marked;
    record_change unmark;
    unmark.name = mounted_name;
    unmark.removes = true;
    record_side_by_side(unmark, [](int k, int error) noexcept {
        if (error != 0)
            write_log("unmarking replica mounted", replica_at(k).root, error);
    });
    records.clear();
    to_fill.clear();
    current_generation = 0;
}

std::unique_lock<std::mutex> record_departure(int k) noexcept
{
    return record_departure(k, std::unique_lock<std::mutex>(record_lock));
}

std::unique_lock<std::mutex> record_departure(int k, std::unique_lock<std::mutex> lock) noexcept
{
    if (records.empty() || !replica_in_service(k))
        return lock;
    const uint64_t next = current_generation + 1;
    int survivors = 0;
    int recorded = 0;
    for (int j = 0; j < state().replicas.count; ++j) {
        if (j == k || !replica_in_service(j))
            continue;
        ++survivors;
        records[j].asked = records[j].recordable;
    }
    std::string behind;
    try {
        behind = behind_now(k, true);
    } catch (...) {
        // Without the list the generations still tell who is behind,
        // wherever a replica can hold one.
    }
    record_side_by_side(
        generation_change(next),
        [&recorded](int j, int error) noexcept {
            if (error != 0)
                log_record_failure(j, error);
            else
                ++recorded;
        },
        &behind);
    if (survivors == 0)
        return lock;
    // The survivors journal what changes from here; k still holds the
    // generation it leaves with.
    if (recorded > 0 && records[k].recordable)
        journal_departure(k, current_generation);
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
    if (records.empty() || (still_wanted != nullptr && !still_wanted(k)))
        return lock;
    // The replicas in service forget k in their behind lists, and k takes
    // the current generation.
    records[k].asked = records[k].recordable;
    for (int j = 0; j < state().replicas.count; ++j)
        if (j != k && replica_in_service(j))
            records[j].asked = records[j].recordable;
    std::string behind;
    try {
        behind = behind_now(k, false);
    } catch (...) {
    }
    record_side_by_side(
        generation_change(current_generation),
        [](int j, int error) noexcept {
            if (error != 0)
                log_record_failure(j, error);
        },
        &behind);
    journal_return(k);
    return lock;
}

std::unique_lock<std::mutex> hold_records() noexcept
{
    return std::unique_lock<std::mutex>(record_lock);
}
