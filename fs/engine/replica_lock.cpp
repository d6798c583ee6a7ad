#include "fs/engine/replica_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <sstream>
#include <vector>

#include "fs/engine/event_log.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replicas.h"

namespace {

// One descriptor per replica root, holding its flock. Protected by being
// written only before the hand-over and in destroy.
std::vector<int> holds;

// What the holder's mounted marker says, or a plain word.
std::string holder_of(int fd)
{
    char text[512];
    const ssize_t n = fgetxattr(fd, "trusted.vornelix.mounted", text, sizeof text);
    if (n <= 1)  // absent, or the "1" of an older daemon
        return "held by another vornelix";
    return "held by another vornelix, " + std::string(text, static_cast<size_t>(n));
}

// A mountinfo field with its octal escapes (\040 for a space...) undone.
std::string unescaped(std::string_view field)
{
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string_view digits = field.substr(i + 1, 3);
            if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string_view::npos) {
                text += static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0'));
                i += 3;
                continue;
            }
        }
        text += field[i];
    }
    return text;
}

}  // namespace

int hold_replica(int k, const std::string& word) noexcept
{
    try {
        if (holds.size() < static_cast<size_t>(state().replicas.count))
            holds.resize(static_cast<size_t>(state().replicas.count), -1);
        const int root = replica_at(k).root_fd.load();
        // A descriptor of its own: a flock belongs to the open file, and
        // the root descriptor is replaced when a resync opens the root anew.
        const int fd = root < 0 ? -1 : openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return 0;  // the root itself is checked, and reported, elsewhere
        holds[k] = fd;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        const int error = errno;
        if (error == EWOULDBLOCK) {
            print_message(word, "Replica " + holder_of(fd));
            return EBUSY;
        }
        write_log("replica unguarded against a second mount: holding it", replica_at(k).root, error);
    } catch (...) {
        write_log("replica unguarded against a second mount: holding it", replica_at(k).root, ENOMEM);
    }
    return 0;
}

void release_replica_holds() noexcept
{
    for (int& fd : holds)
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    holds.clear();
}

std::string lexical_absolute(std::string_view word)
{
    std::string base;
    if (word.empty() || word[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) != nullptr)
            base = cwd;
    }
    std::vector<std::string> parts;
    const std::string whole = base + "/" + std::string(word);
    size_t at = 0;
    while (at <= whole.size()) {
        const size_t slash = whole.find('/', at);
        const std::string part = whole.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (slash == std::string::npos)
            break;
        at = slash + 1;
    }
    std::string path;
    for (const std::string& part : parts)
        path += "/" + part;
    return path.empty() ? "/" : path;
}

bool vornelix_mount_at(std::string_view mountinfo, const std::string& path)
{
    std::istringstream lines{std::string(mountinfo)};
    std::string line;
    while (std::getline(lines, line)) {
        // ID PARENT MAJ:MIN ROOT MOUNT-POINT OPTIONS [TAGS...] - TYPE SOURCE OPTIONS
        std::istringstream fields(line);
        std::string id, parent, device, root, mount_point;
        if (!(fields >> id >> parent >> device >> root >> mount_point))
            continue;
        std::string field;
        while (fields >> field && field != "-") {
        }
        std::string type;
        if (field != "-" || !(fields >> type))
            continue;
        if (type == vornelix_mount_type && unescaped(mount_point) == path)
            return true;
    }
    return false;
}

bool vornelix_mount_at(const std::string& path)
{
    std::ifstream file("/proc/self/mountinfo");
    if (!file)
        return false;
    std::ostringstream text;
    text << file.rdbuf();
    return vornelix_mount_at(text.str(), path);
}
