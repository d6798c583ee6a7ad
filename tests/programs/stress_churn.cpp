// Churns a handful of names from several processes at once, the way
// filesystem stress tools do: create, open, write, append, truncate, read,
// unlink, rename (also over open files and directories), link, symlink,
// mkdir, rmdir and chmod, and open-unlink-fstat-write-close sequences.
//
//   stress_churn [-u UID -g GID] [-t SECONDS] DIR SEED OPS PROCS
//
// PROCS workers, each doing OPS operations chosen by a generator seeded
// from SEED, in DIR (which must exist and, with -u, be writable by UID).
// The work is bounded by its count; -t (default 600) only bounds a hang.
// A call that fails with an error that racing on the same names causes on
// any filesystem (ENOENT, EEXIST, ENOTEMPTY...) is normal; any other
// failure, and any failure on a descriptor that is open (fstat, write,
// close of a file another process renamed over or unlinked), is printed
// and makes the exit status 1. Status 2: bad usage or set-up, 3: hang.
//
// Every name the workers make has components from a..e only, so a tree
// left behind holds nothing else unless the filesystem added it.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr const char* names[] = {"a", "b", "c", "d", "e", "d/a", "d/b"};
constexpr const char* link_targets[] = {"a", "b", "c", "d", "d/a", "e", "e/a"};
// The owner keeps every right on what it chmods, so that EACCES stays an
// error worth reporting.
constexpr mode_t modes[] = {0700, 0711, 0750, 0755, 0775, 0777};
constexpr int reported_per_worker = 20;

struct counts {
    long done = 0;        // calls that succeeded
    long raced = 0;       // calls that failed with a normal race outcome
    long unexpected = 0;  // everything else
};

struct worker {
    int id = 0;
    long op = 0;
    std::mt19937 random;
    counts* tally = nullptr;  // this worker's slot in the shared page
};

int pick(worker& w, int bound)
{
    return std::uniform_int_distribution<int>(0, bound - 1)(w.random);
}

template <size_t n>
const char* pick(worker& w, const char* const (&from)[n])
{
    return from[pick(w, static_cast<int>(n))];
}

std::string bytes(worker& w, size_t size)
{
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>('a' + pick(w, 26));
    return data;
}

// The errors that two processes racing on the same few names cause on any
// POSIX filesystem.
bool race_outcome(int err)
{
    switch (err) {
    case ENOENT:
    case EEXIST:
    case ENOTEMPTY:
    case EISDIR:
    case ENOTDIR:
    case ELOOP:
    case EBUSY:
        return true;
    default:
        return false;
    }
}

void report(worker& w, const std::string& what, const char* error)
{
    if (++w.tally->unexpected <= reported_per_worker)
        std::fprintf(stderr, "stress_churn: worker %d op %ld: %s: %s\n", w.id, w.op, what.c_str(),
                     error);
}

// Tallies a call on a name: true when it succeeded. Failures with a race
// outcome or one of `also` are normal.
bool on_name(worker& w, long result, const std::string& what, std::initializer_list<int> also = {})
{
    if (result >= 0) {
        ++w.tally->done;
        return true;
    }
    const int err = errno;
    bool normal = race_outcome(err);
    for (int e : also)
        normal = normal || e == err;
    if (normal)
        ++w.tally->raced;
    else
        report(w, what, std::strerror(err));
    return false;
}

// Tallies a call on an open descriptor, which nothing done to names may
// make fail: true when it succeeded.
bool on_open_file(worker& w, long result, const std::string& what)
{
    if (result >= 0) {
        ++w.tally->done;
        return true;
    }
    report(w, what, std::strerror(errno));
    return false;
}

// fstat through the mount is answered by name: the FUSE library finds the
// file's current name (its hidden name once removed while open). A removal
// or rename of the name that overtakes the library's count of this very
// open leaves it no name to ask by, and fstat answers ENOENT although the
// descriptor still reads and writes. That race is the library's, and is
// counted as one.
bool on_fstat(worker& w, int fd, const std::string& what)
{
    struct stat st;
    const int rc = fstat(fd, &st);
    if (rc == -1 && errno == ENOENT) {
        ++w.tally->raced;
        return false;
    }
    return on_open_file(w, rc, what);
}

void write_all(worker& w, int fd, const std::string& data, off_t offset, const std::string& what)
{
    const ssize_t n = offset < 0 ? write(fd, data.data(), data.size())
                                 : pwrite(fd, data.data(), data.size(), offset);
    if (on_open_file(w, n, what) && static_cast<size_t>(n) != data.size())
        report(w, what, "short write");
}

void close_file(worker& w, int fd, const std::string& what)
{
    on_open_file(w, close(fd), "close after " + what);
}

void create_and_write(worker& w)
{
    const std::string name = pick(w, names);
    const int fd = open(name.c_str(), O_CREAT | O_RDWR, 0644);
    if (!on_name(w, fd, "open O_CREAT " + name))
        return;
    write_all(w, fd, bytes(w, pick(w, 6000)), pick(w, 12000), "pwrite " + name);
    close_file(w, fd, name);
}

void open_unlink_write(worker& w)
{
    const std::string name = pick(w, names);
    const int fd = open(name.c_str(), O_CREAT | O_RDWR, 0644);
    if (!on_name(w, fd, "open O_CREAT " + name))
        return;
    on_name(w, unlink(name.c_str()), "unlink open " + name);
    on_fstat(w, fd, "fstat unlinked " + name);
    write_all(w, fd, bytes(w, 1 + pick(w, 3000)), -1, "write unlinked " + name);
    on_fstat(w, fd, "fstat written unlinked " + name);
    char buffer[512];
    on_open_file(w, pread(fd, buffer, sizeof buffer, 0), "pread unlinked " + name);
    close_file(w, fd, "unlinked " + name);
}

void append(worker& w)
{
    const std::string name = pick(w, names);
    const int fd = open(name.c_str(), O_CREAT | O_WRONLY | O_APPEND, 0644);
    if (!on_name(w, fd, "open O_APPEND " + name))
        return;
    write_all(w, fd, "worker " + std::to_string(w.id) + " op " + std::to_string(w.op) + "\n", -1,
              "append " + name);
    on_fstat(w, fd, "fstat appended " + name);
    close_file(w, fd, name);
}

void truncate_and_sync(worker& w)
{
    const std::string name = pick(w, names);
    const int fd = open(name.c_str(), O_RDWR);
    if (!on_name(w, fd, "open O_RDWR " + name))
        return;
    on_open_file(w, ftruncate(fd, pick(w, 9000)), "ftruncate " + name);
    write_all(w, fd, bytes(w, pick(w, 2000)), pick(w, 9000), "pwrite " + name);
    on_open_file(w, fsync(fd), "fsync " + name);
    close_file(w, fd, name);
}

void read_whole(worker& w)
{
    const std::string name = pick(w, names);
    const int fd = open(name.c_str(), O_RDONLY);
    if (!on_name(w, fd, "open O_RDONLY " + name))
        return;
    char buffer[8192];
    ssize_t n;
    // A directory opens for reading but yields EISDIR.
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    }
    if (n < 0 && errno != EISDIR)
        on_open_file(w, n, "read " + name);
    close_file(w, fd, name);
}

void rename_names(worker& w)
{
    const std::string from = pick(w, names), to = pick(w, names);
    // EINVAL: a directory into itself.
    on_name(w, rename(from.c_str(), to.c_str()), "rename " + from + " " + to, {EINVAL});
}

// A directory renamed while renames run inside it: both take locks on
// the directory's path in the library underneath the daemon.
void move_directory(worker& w)
{
    const bool forth = pick(w, 2) == 0;
    const char* from = forth ? "d" : "e";
    const char* to = forth ? "e" : "d";
    on_name(w, rename(from, to), std::string("rename directory ") + from + " " + to, {});
}

void rename_inside(worker& w)
{
    const std::string dir = pick(w, 2) == 0 ? "d" : "e";
    const std::string from = dir + "/a", to = dir + "/b";
    on_name(w, rename(from.c_str(), to.c_str()), "rename " + from + " " + to, {});
    const int fd = open(from.c_str(), O_CREAT | O_WRONLY, 0644);
    on_name(w, fd, "create " + from, {});
    if (fd >= 0)
        close_file(w, fd, from);
}

void rename_over_open(worker& w)
{
    const std::string from = pick(w, names), to = pick(w, names);
    const int fd = open(to.c_str(), O_CREAT | O_RDWR, 0644);
    if (!on_name(w, fd, "open O_CREAT " + to))
        return;
    on_name(w, rename(from.c_str(), to.c_str()), "rename " + from + " over open " + to, {EINVAL});
    write_all(w, fd, bytes(w, 1 + pick(w, 3000)), pick(w, 4000), "pwrite renamed-over " + to);
    on_fstat(w, fd, "fstat renamed-over " + to);
    close_file(w, fd, "renamed-over " + to);
}

void link_names(worker& w)
{
    const std::string from = pick(w, names), to = pick(w, names);
    // EPERM: a hard link to a directory.
    on_name(w, link(from.c_str(), to.c_str()), "link " + from + " " + to, {EPERM});
}

void symlink_name(worker& w)
{
    const std::string target = pick(w, link_targets), name = pick(w, names);
    on_name(w, symlink(target.c_str(), name.c_str()), "symlink " + target + " " + name);
    char text[64];
    // EINVAL: the name is not a symbolic link (any more).
    on_name(w, readlink(name.c_str(), text, sizeof text), "readlink " + name, {EINVAL});
}

void make_directory(worker& w)
{
    const std::string name = pick(w, names);
    on_name(w, mkdir(name.c_str(), 0755), "mkdir " + name);
}

// Removes a name with all it holds, as rm -r does, racing with the others.
void remove_tree(worker& w, const std::string& path)
{
    struct stat st;
    if (!on_name(w, lstat(path.c_str(), &st), "lstat " + path))
        return;
    if (!S_ISDIR(st.st_mode)) {
        on_name(w, unlink(path.c_str()), "unlink " + path);
        return;
    }
    std::vector<std::string> children;
    if (DIR* dir = opendir(path.c_str())) {
        while (const dirent* child = readdir(dir)) {
            if (std::strcmp(child->d_name, ".") != 0 && std::strcmp(child->d_name, "..") != 0)
                children.push_back(path + "/" + child->d_name);
        }
        closedir(dir);
    }
    for (const std::string& child : children)
        remove_tree(w, child);
    on_name(w, rmdir(path.c_str()), "rmdir " + path);
}

void remove_name(worker& w)
{
    const std::string name = pick(w, names);
    switch (pick(w, 3)) {
    case 0:
        on_name(w, rmdir(name.c_str()), "rmdir " + name);
        break;
    case 1:
        on_name(w, unlink(name.c_str()), "unlink " + name);
        break;
    default:
        remove_tree(w, name);
    }
}

void change_mode(worker& w)
{
    const std::string name = pick(w, names);
    on_name(w, chmod(name.c_str(), modes[pick(w, 6)]), "chmod " + name);
}

void truncate_name(worker& w)
{
    const std::string name = pick(w, names);
    on_name(w, truncate(name.c_str(), pick(w, 5000)), "truncate " + name);
}

void stat_and_list(worker& w)
{
    const std::string name = pick(w, names);
    struct stat st;
    on_name(w, lstat(name.c_str(), &st), "lstat " + name);
    const char* where = pick(w, 2) == 0 ? "." : "d";
    DIR* dir = opendir(where);
    if (!on_name(w, dir == nullptr ? -1 : 0, std::string("opendir ") + where))
        return;
    errno = 0;
    while (readdir(dir) != nullptr) {
    }
    if (errno != 0)
        on_open_file(w, -1, std::string("readdir ") + where);
    closedir(dir);
}

using operation = void (*)(worker&);
// The sequences on open files that renames and unlinks race with come
// twice as often as the rest.
constexpr operation operations[] = {
    create_and_write, open_unlink_write, open_unlink_write, append,        truncate_and_sync,
    read_whole,       rename_names,      rename_over_open,  rename_over_open, link_names,
    symlink_name,     make_directory,    remove_name,       change_mode,   truncate_name,
    stat_and_list,    move_directory,    rename_inside,     rename_inside,
};

[[noreturn]] void run_worker(int id, unsigned seed, long ops, counts* tally)
{
    worker w;
    w.id = id;
    w.random.seed(seed * 1000u + static_cast<unsigned>(id));
    w.tally = tally;
    for (w.op = 0; w.op < ops; ++w.op)
        operations[pick(w, static_cast<int>(std::size(operations)))](w);
    _exit(0);
}

struct settings {
    const char* dir = nullptr;
    unsigned seed = 0;
    long ops = 0;
    int procs = 0;
    long uid = -1, gid = -1;  // -1: the workers keep our identity
    unsigned hang_seconds = 600;
};

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: stress_churn [-u UID -g GID] [-t SECONDS] DIR SEED OPS PROCS\n");
    std::exit(2);
}

settings parse_settings(int argc, char** argv)
{
    settings s;
    for (int option; (option = getopt(argc, argv, "u:g:t:")) != -1;) {
        if (option == 'u')
            s.uid = std::atol(optarg);
        else if (option == 'g')
            s.gid = std::atol(optarg);
        else if (option == 't')
            s.hang_seconds = static_cast<unsigned>(std::atol(optarg));
        else
            usage();
    }
    if (argc - optind != 4 || (s.uid < 0) != (s.gid < 0))
        usage();
    s.dir = argv[optind];
    s.seed = static_cast<unsigned>(std::strtoul(argv[optind + 1], nullptr, 10));
    s.ops = std::atol(argv[optind + 2]);
    s.procs = std::atoi(argv[optind + 3]);
    if (s.ops <= 0 || s.procs <= 0)
        usage();
    return s;
}

// Forks the workers (each dropping to the settings' identity first); their
// pids, fewer than asked when fork failed.
std::vector<pid_t> start_workers(const settings& s, counts* tally)
{
    std::vector<pid_t> workers;
    for (int id = 0; id < s.procs; ++id) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (s.uid >= 0 && (setgroups(0, nullptr) != 0 || setresgid(s.gid, s.gid, s.gid) != 0 ||
                               setresuid(s.uid, s.uid, s.uid) != 0)) {
                std::perror("stress_churn: dropping privileges");
                _exit(2);
            }
            run_worker(id, s.seed, s.ops, &tally[id]);
        }
        if (pid < 0) {
            std::perror("stress_churn: fork");
            break;
        }
        workers.push_back(pid);
    }
    return workers;
}

volatile sig_atomic_t timed_out = 0;

void on_alarm(int)
{
    timed_out = 1;
}

// Waits for every worker; how many did not exit with 0, or -1 when some
// were still busy after `seconds` (they are killed then: the filesystem
// hung).
int wait_for_workers(const std::vector<pid_t>& workers, unsigned seconds)
{
    struct sigaction alarm_action {};
    alarm_action.sa_handler = on_alarm;
    sigaction(SIGALRM, &alarm_action, nullptr);
    alarm(seconds);
    int failed = 0;
    for (size_t done = 0; done < workers.size();) {
        int status = 0;
        if (waitpid(-1, &status, 0) > 0) {
            ++done;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                ++failed;
        } else if (timed_out) {
            for (pid_t pid : workers)
                kill(pid, SIGKILL);
            while (wait(nullptr) > 0) {
            }
            return -1;
        }
    }
    return failed;
}

}  // namespace

int main(int argc, char** argv)
{
    const settings s = parse_settings(argc, argv);
    if (chdir(s.dir) != 0) {
        std::perror(s.dir);
        return 2;
    }
    void* page = mmap(nullptr, sizeof(counts) * s.procs, PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        std::perror("stress_churn: mmap");
        return 2;
    }
    counts* tally = new (page) counts[s.procs];
    const std::vector<pid_t> workers = start_workers(s, tally);
    const int failed = wait_for_workers(workers, s.hang_seconds);
    if (failed < 0) {
        std::fprintf(stderr, "stress_churn: workers still busy after %u s\n", s.hang_seconds);
        return 3;
    }
    const int missing = s.procs - static_cast<int>(workers.size());
    counts total;
    for (int id = 0; id < s.procs; ++id) {
        total.done += tally[id].done;
        total.raced += tally[id].raced;
        total.unexpected += tally[id].unexpected;
    }
    std::printf("stress_churn: %d workers x %ld operations: %ld calls succeeded, %ld failed as "
                "races do, %ld failed unexpectedly, %d workers failed\n",
                s.procs, s.ops, total.done, total.raced, total.unexpected, failed + missing);
    return total.unexpected == 0 && failed + missing == 0 ? 0 : 1;
}
