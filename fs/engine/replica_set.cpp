#include "fs/engine/replica_set.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <string_view>
#include <vector>

#include "fs/engine/event_log.h"
#include "fs/engine/fd_table.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replica_access.h"
#include "fs/engine/replica_lock.h"
#include "fs/engine/replica_record.h"
#include "fs/engine/replicas.h"

std::optional<std::string> resolve_path(const char* path)
{
    char buffer[PATH_MAX];
    if (realpath(path, buffer) == nullptr)
        return std::nullopt;
    return std::string(buffer);
}

bool path_is_within(std::string_view path, std::string_view directory)
{
    while (directory.size() > 1 && directory.back() == '/')
        directory.remove_suffix(1);
    if (directory == "/")
        return !path.empty() && path[0] == '/';
    if (path.compare(0, directory.size(), directory) != 0)
        return false;
    return path.size() == directory.size() || path[directory.size()] == '/';
}

fd_table_sizing size_fd_table(uint64_t soft_limit, uint64_t limit, uint64_t replicas)
{
    fd_table_sizing sizing;
    // Six descriptors stay with the process itself. Below six the
    // subtraction wraps and the table cannot be allocated.
    const uint64_t available = (soft_limit < limit ? soft_limit : limit) - 6;
    uint64_t all_ones = 0;
    if (replicas > 0 && available >= replicas) {
        uint64_t q = available / replicas;
        while (q != 0) {
            ++sizing.bits;
            q >>= 1;
        }
        for (uint64_t i = 0; i < sizing.bits; ++i)
            all_ones = all_ones * 2 + 1;
    }
    sizing.mask = all_ones >> 1;
    sizing.size = sizing.mask;
    return sizing;
}

std::optional<int> read_system_max_files()
{
    return read_system_number("/proc/sys/fs/file-max");
}

std::optional<int> read_system_number(const char* path)
{
    std::ifstream file(path);
    unsigned long long value = 0;
    if (!(file >> value)) {
        errno = file.fail() ? EIO : errno;
        return std::nullopt;
    }
    return value > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

namespace {

int fail(int code, const char* context)
{
    print_error(code, context);
    return code;
}

int refuse(int status, const std::string& word, std::string_view text)
{
    print_message(word, text);
    return status;
}

// Splits the list at each '=' into the words as typed.
std::vector<std::string> split_words(const std::string& list)
{
    std::vector<std::string> words;
    size_t begin = 0;
    while (true) {
        const size_t equals = list.find('=', begin);
        words.push_back(list.substr(begin, equals == std::string::npos ? std::string::npos : equals - begin));
        if (equals == std::string::npos)
            return words;
        begin = equals + 1;
    }
}

// A directory named on the command line, resolved and checked.
struct checked_directory {
    std::string word;  // as typed, without its ':'
    std::string root;  // canonical
    struct stat status;
    bool low_priority = false;
};

// Resolves path and requires a directory. 0, or the exit status after a
// message naming word.
int check_directory(const std::string& path, const std::string& word, checked_directory& checked)
{
    std::optional<std::string> resolved = resolve_path(path.c_str());
    if (!resolved)
        return fail(errno, word.c_str());
    if (stat(resolved->c_str(), &checked.status) != 0)
        return fail(errno, word.c_str());
    if (!S_ISDIR(checked.status.st_mode))
        return fail(ENOTDIR, word.c_str());
    checked.root = *resolved;
    return 0;
}

bool same_directory(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The replica that word names (the same directory, however written), or
// -1.
int find_replica(const std::string& word, bool mount_point_replica, const struct stat& mount_point,
                 const std::vector<checked_directory>& list)
{
    const std::string unprefixed = !word.empty() && word[0] == ':' ? word.substr(1) : word;
    struct stat named;
    if (stat(unprefixed.c_str(), &named) != 0)
        return -1;
    if (mount_point_replica && same_directory(named, mount_point))
        return 0;
    for (size_t i = 0; i < list.size(); ++i)
        if (same_directory(named, list[i].status))
            return static_cast<int>(i) + (mount_point_replica ? 1 : 0);
    return -1;
}

// Everything the command line names, checked before anything is built or
// mounted: the mount point and each list replica must be directories; a
// list replica must lie outside the mount point (serving it would make a
// request thread wait on the very mount it serves) and must not repeat an
// earlier one under another name (every change would be made twice).
// 0, or the exit status after the message.
int check_command_line_directories(const std::vector<std::string>& words, const std::string& mount_word,
                                   bool mount_point_replica, checked_directory& mount_point,
                                   std::vector<checked_directory>& replicas)
{
    const std::string unprefixed = mount_point_replica ? mount_word.substr(1) : mount_word;
    if (int status = check_directory(unprefixed, mount_word, mount_point); status != 0)
        return status;
    for (const std::string& typed : words) {
        checked_directory replica;
        replica.low_priority = !typed.empty() && typed[0] == ':';
        replica.word = replica.low_priority ? typed.substr(1) : typed;
        if (int status = check_directory(replica.word, replica.word, replica); status != 0)
            return status;
        if (path_is_within(replica.root, mount_point.root) || same_directory(replica.status, mount_point.status))
            return refuse(start_log_under_mount, replica.word, "Replica must be outside of the mount point");
        for (const checked_directory& earlier : replicas) {
            if (same_directory(replica.status, earlier.status))
                return refuse(EEXIST, replica.word, "Replica given twice (the same directory as " + earlier.word + ")");
        }
        replicas.push_back(std::move(replica));
    }
    return 0;
}

// Raises the descriptor limit when it can, and sizes and allocates the
// open-file table for count replicas. 0, or the exit status after the
// message.
int allocate_fd_table(int count)
{
    std::optional<int> system_max = read_system_max_files();
    if (!system_max) {
        print_error(errno, "reading system parameter 'max open files'");
        system_max = 4096;
    }
    uint64_t limit = static_cast<uint64_t>(*system_max) >> 1;
    // No process may hold more descriptors than nr_open, and a raise past
    // it is refused whole: on a system whose file-max is practically
    // unbounded the table would otherwise stay sized for the login limit.
    if (const std::optional<int> per_process = read_system_number("/proc/sys/fs/nr_open");
        per_process && *per_process > 0 && static_cast<uint64_t>(*per_process) < limit)
        limit = static_cast<uint64_t>(*per_process);

    struct rlimit nofile;
    if (getrlimit(RLIMIT_NOFILE, &nofile) != 0)
        return fail(errno, "reading nofile resource limit");
    if (nofile.rlim_cur != RLIM_INFINITY && nofile.rlim_cur < limit) {
        // A refused raise is no error: the sizing uses the limit in force.
        struct rlimit raised = {limit, limit};
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0 && nofile.rlim_cur < nofile.rlim_max) {
            // Without the right to raise the hard limit, the soft one can
            // still go up to it (commonly 1024 soft against 524288 hard).
            raised.rlim_cur = raised.rlim_max = nofile.rlim_max < limit ? nofile.rlim_max : limit;
            (void)setrlimit(RLIMIT_NOFILE, &raised);
        }
        if (getrlimit(RLIMIT_NOFILE, &nofile) != 0)
            return fail(errno, "reading nofile resource limit, second attempt");
    }

    const fd_table_sizing sizing = size_fd_table(nofile.rlim_cur, limit, count);
    if (fd_table_allocate(sizing.bits, sizing.mask, sizing.size) != 0)
        return fail(start_low_memory, "file descriptor hash table allocation");
    // What the open files leave: the directories requests keep take part
    // of it, so that a low descriptor limit still opens every file the
    // table holds.
    const uint64_t usable = (nofile.rlim_cur < limit ? nofile.rlim_cur : limit);
    const uint64_t held = sizing.size * static_cast<uint64_t>(count) + 6;
    size_kept_places(usable > held ? usable - held : 0, count);
    return 0;
}

}  // namespace

int build_replica_set(std::string replica_list, const std::string& mount_word)
{
    const std::vector<std::string> words = split_words(replica_list);
    const bool mount_point_replica = !mount_word.empty() && mount_word[0] == ':';
    checked_directory mount_point;
    std::vector<checked_directory> list;
    if (int status = check_command_line_directories(words, mount_word, mount_point_replica, mount_point, list);
        status != 0)
        return status;
    const int first_list_replica = mount_point_replica ? 1 : 0;
    const int count = static_cast<int>(list.size()) + first_list_replica;

    if (int status = allocate_fd_table(count); status != 0)
        return status;

    replica_set& replicas = state().replicas;
    mount_place& mount = state().mount;
    replicas.table.reset(new (std::nothrow) replica_info[count]);
    if (!replicas.table)
        return fail(ENOMEM, "replica info allocation");
    replicas.count = count;
    mount.path = mount_point.root;

    std::vector<int> high_list;
    std::vector<int> low_list;
    if (mount_point_replica)
        high_list.push_back(0);
    for (int k = first_list_replica; k < count; ++k) {
        checked_directory& replica = list[k - first_list_replica];
        replica_at(k).low_priority = replica.low_priority ? 1 : 0;
        (replica.low_priority ? low_list : high_list).push_back(k);
        replica_at(k).root = std::move(replica.root);
        replica_at(k).root_length = replica_at(k).root.size();
        replica_at(k).root_fd = open_replica_root(replica_at(k).root.c_str());
        if (replica_at(k).root_fd == -1) {
            const int err = errno;
            const std::string root = replica_at(k).root;
            release_replica_set();
            return fail(err, root.c_str());
        }
    }

    if (mount_point_replica) {
        // Through a temporary: GCC 12 takes the literal itself for an overlap.
        replica_at(0).root = std::string(mount_point_replica_root);
        replica_at(0).root_length = replica_at(0).root.size();
        // Paths of this replica are relative to the working directory, which
        // still reaches the directory under the mount once it is mounted
        // over. Daemonizing moves to "/", so init comes back through this
        // descriptor.
        (void)chdir(mount.path.c_str());
        mount.directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        replica_at(0).root_fd = mount.directory;
        if (mount.directory == -1) {
            const int err = errno;
            release_replica_set();
            return fail(err, mount_word.c_str());
        }
    }

    // Before anything is written to the log or the replicas: another
    // daemon over any of them, or over the mount point, stops this one.
    if (vornelix_mount_at(mount.path)) {
        release_replica_set();
        return refuse(EBUSY, mount_word, "Mount point is already a vornelix mount");
    }
    for (int k = 0; k < count; ++k) {
        const std::string word = k < first_list_replica ? mount_word : list[k - first_list_replica].word;
        if (const int status = hold_replica(k, word); status != 0) {
            release_replica_set();
            return status;
        }
    }
    int source = -1;
    if (const std::optional<std::string>& source_word = state().settings.source_word) {
        source = find_replica(*source_word, mount_point_replica, mount_point.status, list);
        if (source < 0) {
            release_replica_set();
            return refuse(EINVAL, *source_word, "source is not one of the replicas");
        }
    }

    if (state().log.path) {
        const int status = open_log();
        if (status != 0) {
            release_replica_set();
            return status;
        }
        for (int k = first_list_replica; k < count; ++k)
            write_log(replica_at(k).low_priority ? "replica priority low" : "replica priority high",
                      replica_at(k).root, 0);
    }

    // Replicas that fell behind before the last stop start untrusted; a
    // first start over replicas that differ stops here.
    if (const int status = load_replica_records(source); status != 0) {
        release_replica_set();
        return status;
    }

    replicas.high_count = static_cast<int>(high_list.size());
    replicas.low_count = static_cast<int>(low_list.size());
    replicas.high_rotation = make_rotation_table(high_list);
    replicas.low_rotation = make_rotation_table(low_list);
    return 0;
}

void release_replica_set(bool with_table) noexcept
{
    if (!with_table) {
        close_log();
        return;
    }
    replica_set& replicas = state().replicas;
    mount_place& mount = state().mount;
    for (int k = 0; replicas.table && k < replicas.count; ++k)
        if (replicas.table[k].root_fd >= 0 && replicas.table[k].root_fd != mount.directory)
            close(replicas.table[k].root_fd);
    if (mount.directory >= 0) {
        close(mount.directory);
        mount.directory = -1;
    }
    release_replica_holds();
    mount.path.clear();
    replicas.table.reset();
    close_log();
}
