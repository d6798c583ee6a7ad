#include "fs/replica_set.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <vector>

#include "fs/event_log.h"
#include "fs/fd_table.h"
#include "fs/options.h"
#include "fs/replica_record.h"
#include "fs/replicas.h"

std::string mount_path;
int mount_point_directory = -1;

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
    std::ifstream file("/proc/sys/fs/file-max");
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

}  // namespace

int build_replica_set(std::string replica_list, const std::string& mount_word)
{
    const std::vector<std::string> words = split_words(replica_list);
    const bool mount_point_replica = !mount_word.empty() && mount_word[0] == ':';
    const int count = static_cast<int>(words.size()) + (mount_point_replica ? 1 : 0);

    std::optional<int> system_max = read_system_max_files();
    if (!system_max) {
        print_error(errno, "reading system parameter 'max open files'");
        system_max = 4096;
    }
    const uint64_t limit = static_cast<uint64_t>(*system_max) >> 1;

    struct rlimit nofile;
    if (getrlimit(RLIMIT_NOFILE, &nofile) != 0)
        return fail(errno, "reading nofile resource limit");
    if (nofile.rlim_cur != RLIM_INFINITY && nofile.rlim_cur < limit) {
        // A refused raise is no error: the sizing uses the limit in force.
        struct rlimit raised = {limit, limit};
        (void)setrlimit(RLIMIT_NOFILE, &raised);
        if (getrlimit(RLIMIT_NOFILE, &nofile) != 0)
            return fail(errno, "reading nofile resource limit, second attempt");
    }

    const fd_table_sizing sizing = size_fd_table(nofile.rlim_cur, limit, count);
    if (fd_table_allocate(sizing.bits, sizing.mask, sizing.size) != 0)
        return fail(code_low_memory, "file descriptor hash table allocation");

    replica_table = new (std::nothrow) replica_info[count];
    if (replica_table == nullptr)
        return fail(ENOMEM, "replica info allocation");
    replica_count = count;

    std::vector<int> high_list;
    std::vector<int> low_list;
    int first_list_replica = 0;
    if (mount_point_replica) {
        std::optional<std::string> resolved = resolve_path(mount_word.c_str() + 1);
        if (!resolved)
            return fail(errno, mount_word.c_str());
        mount_path = *resolved;
        high_list.push_back(0);
        first_list_replica = 1;
    } else {
        std::optional<std::string> resolved = resolve_path(mount_word.c_str());
        if (!resolved) {
            const int err = errno;
            release_replica_set();
            return fail(err, mount_word.c_str());
        }
        mount_path = *resolved;
    }

    for (int k = first_list_replica; k < count; ++k) {
        std::string word = words[k - first_list_replica];
        if (!word.empty() && word[0] == ':') {
            word.erase(0, 1);
            replica_table[k].low_priority = 1;
            low_list.push_back(k);
        } else {
            high_list.push_back(k);
        }
        std::optional<std::string> root = resolve_path(word.c_str());
        if (!root) {
            const int err = errno;
            release_replica_set();
            return fail(err, word.c_str());
        }
        replica_table[k].root = *root;
        replica_table[k].root_length = root->size();
    }

    if (mount_point_replica) {
        replica_table[0].root = error_messages[7];
        replica_table[0].root_length = 1;
        // Paths of this replica are relative to the working directory, which
        // still reaches the directory under the mount once it is mounted
        // over. Daemonizing moves to "/", so init comes back through this
        // descriptor.
        (void)chdir(mount_path.c_str());
        mount_point_directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }

    if (log_path) {
        const int status = open_log();
        if (status != 0) {
            release_replica_set();
            return status;
        }
        for (int k = first_list_replica; k < count; ++k)
            write_log(replica_table[k].low_priority ? "replica priority low" : "replica priority high",
                      replica_table[k].root, 0);
    }

    // Replicas that fell behind before the last stop start untrusted.
    load_replica_records();

    high_count = static_cast<int>(high_list.size());
    low_count = static_cast<int>(low_list.size());
    high_rotation = make_rotation_table(high_list);
    low_rotation = make_rotation_table(low_list);
    return 0;
}

void release_replica_set() noexcept
{
    mount_path.clear();
    delete[] replica_table;
    replica_table = nullptr;
    close_log();
}
