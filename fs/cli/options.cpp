#include "fs/cli/options.h"

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fs/cli/verify.h"
#include "fs/engine/event_log.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replica_set.h"
#include "fs/engine/replica_workers.h"

namespace {

// The milliseconds of a "NAME=SECONDS" token (decimals allowed), -EINVAL
// when it is not one. With zero_allowed, "NAME=0" means none.
int64_t seconds_option(const std::string& token, std::string_view name, bool zero_allowed)
{
    if (token.size() <= name.size() + 1 || token.compare(0, name.size(), name) != 0 || token[name.size()] != '=')
        return -EINVAL;
    const char* value = token.c_str() + name.size() + 1;
    if (zero_allowed && std::strcmp(value, "0") == 0)
        return 0;
    return parse_replica_timeout(value);
}

// Lists every option that the scanner and parse_mount_options take, as
// the manual page does.
const char* const usage_options_text =
    "Options:\n"
    "\t--ctl PATH, -c PATH\n"
    "\t\tMounts the control tree at PATH: per replica a status file and\n"
    "\t\ta Nagios check script (see vornctl(8))\n"
    "\t--fuseoptions OPTIONS, -f OPTIONS\n"
    "\t\tFUSE mount options, passed on as they are (the later of -f\n"
    "\t\tand -o wins)\n"
    "\t--help, -h, -?\n"
    "\t\tPrints this help\n"
    "\t--log FILE, -l FILE\n"
    "\t\tSets a log filename. If you don't set it, no log will be\n"
    "\t\tdone at all\n"
    "\t--fsname NAME, -n NAME\n"
    "\t\tDefines the filesystem label name, shown by df and mount\n"
    "\t--o OPTIONS, -o OPTIONS\n"
    "\t\tComma-separated mount options. These are vornelix's own, the\n"
    "\t\tothers go to FUSE (allow_other, attr_timeout=0, ...):\n"
    "\t\tlog=FILE, fsname=NAME, quiet\n"
    "\t\t\tas --log, --fsname, --quiet\n"
    "\t\treplica_timeout=SECONDS\n"
    "\t\t\tHow long a request waits for any one replica before it\n"
    "\t\t\tdisables it (default 5, decimals allowed)\n"
    "\t\theal_interval=SECONDS\n"
    "\t\t\tHow often a replica disabled for not answering is probed;\n"
    "\t\t\tonce it answers, it is resynced by itself (default 30,\n"
    "\t\t\tdecimals allowed; 0: never, the administrator brings it back)\n"
    "\t\tno_inline\n"
    "\t\t\tPuts every call on every replica under that deadline,\n"
    "\t\t\talso on local file systems\n"
    "\t\tsource=PATH\n"
    "\t\t\tOn a first start over replicas that hold different\n"
    "\t\t\ttrees, the replica that is the source: the others are\n"
    "\t\t\tresynced from it, and what only they hold is removed\n"
    "\t--quiet, -q\n"
    "\t\tDo not print error messages to stderr, just set the exit codes\n"
    "\t\tThis does not affect logging\n"
    "\t--version, -V\n"
    "\t\tPrints version of the software\n"
    "\t--verify path=path[=path...]\n"
    "\t\tCompares the replicas instead of mounting and prints every\n"
    "\t\tdifference; exits with 0 when identical, 1 when they differ,\n"
    "\t\t2 on an error\n"
    "\n"
    "path=path[=path[=path...]]\n"
    "\tThe '=' separated list of replica directories; one written with a\n"
    "\tleading ':' is read only when the others fail\n"
    "\n"
    "mount-point\n"
    "\tThe mount-point through which the replicas will be accessed; written\n"
    "\twith a leading ':', the directory under it is a replica too";

// Long-only options take values outside the short option letters.
constexpr int verify_option = 0x100;

const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"fsname", required_argument, nullptr, 'n'},
    {"log", required_argument, nullptr, 'l'},
    {"ctl", required_argument, nullptr, 'c'},
    {"fuseoptions", required_argument, nullptr, 'f'},
    {"o", required_argument, nullptr, 'o'},
    {"quiet", no_argument, nullptr, 'q'},
    {"verify", required_argument, nullptr, verify_option},
    {nullptr, 0, nullptr, 0},
};

start_status stop_with(int status)
{
    return {true, status};
}

// The mount point as the kernel will see it: the word without its ':',
// made canonical; none when it cannot be resolved yet (the replica set
// reports that itself).
std::optional<std::string> canonical_mount_point()
{
    std::string word = state().settings.mount_word;
    if (!word.empty() && word[0] == ':')
        word.erase(0, 1);
    if (word.empty())
        return std::nullopt;
    return resolve_path(word.c_str());
}

}  // namespace

void print_version()
{
    std::printf("This is the Vornelix V%s, a Fuse based filesystem which implements\n"
                "filesystem replication.\n",
                vornelix_version);
}

void print_usage()
{
    std::printf("Usage: vornelix [OPTIONS] path=path[=path[=path...]] mount-point\n");
    print_version();
    std::printf("%s\n", usage_options_text);
}

std::optional<std::string> canonicalize_log_path(std::string_view path)
{
    std::string directory;
    std::string name;
    const size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return std::nullopt;
        directory = cwd;
        name = path;
    } else {
        // A file directly in the root directory has an empty directory part:
        // it names the root directory, not the working directory.
        directory = slash == 0 ? "/" : std::string(path.substr(0, slash));
        name = path.substr(slash + 1);
    }
    std::optional<std::string> resolved = resolve_path(directory.c_str());
    if (!resolved)
        return std::nullopt;
    if (resolved->back() != '/')
        *resolved += '/';
    *resolved += name;
    return resolved;
}

start_status parse_mount_options(std::string& text)
{
    start_settings& settings = state().settings;
    log_settings& log = state().log;
    replica_work_settings& work = state().work;
    std::vector<std::string> kept;
    size_t begin = 0;
    while (true) {
        const size_t comma = text.find(',', begin);
        const std::string token =
            text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin);
        if (token.compare(0, 3, "log") == 0) {
            // "log" must carry a file name after "log=": anything shorter
            // would silently log to the working directory.
            if (token.size() <= 4) {
                print_message(token, "a log token needs a file name (log=FILE)");
                return stop_with(EINVAL);
            }
            const std::string value = token.substr(4);
            std::optional<std::string> canonical = canonicalize_log_path(value);
            if (!canonical) {
                const int err = errno;
                print_error(err, value.c_str());
                return stop_with(err);
            }
            log.path = *canonical;
        } else if (token.compare(0, 6, "fsname") == 0) {
            settings.fsname_option = token;
        } else if (token.compare(0, 5, "quiet") == 0) {
            log.quiet = 1;
        } else if (token.compare(0, 7, "source=") == 0 && token.size() > 7) {
            settings.source_word = token.substr(7);
        } else if (token == "no_inline") {
            work.inline_allowed = false;
        } else if (token.compare(0, 15, "replica_timeout") == 0) {
            const int64_t ms = seconds_option(token, "replica_timeout", false);
            if (ms < 0) {
                print_message(token, "the replica deadline is a number of seconds (replica_timeout=5, 0.5, 2.25)");
                return stop_with(EINVAL);
            }
            work.timeout_ms = ms;
        } else if (token.compare(0, 13, "heal_interval") == 0) {
            const int64_t ms = seconds_option(token, "heal_interval", true);
            if (ms < 0) {
                print_message(token, "the healing interval is a number of seconds, 0 for none (heal_interval=30, 0.5)");
                return stop_with(EINVAL);
            }
            work.heal_interval_ms = ms;
        } else {
            kept.push_back(token);
        }
        if (comma == std::string::npos)
            break;
        begin = comma + 1;
    }
    std::string result;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0)
            result += ',';
        result += kept[i];
    }
    text = result;
    return {};
}

start_status scan_command_line(int argc, char** argv)
{
    start_settings& settings = state().settings;
    log_settings& log = state().log;
    optind = 1;
    int option;
    while ((option = getopt_long(argc, argv, "h?Vc:n:l:f:o:q", long_options, nullptr)) != -1) {
        switch (option) {
        case 'V':
            print_version();
            return stop_with(0);
        case 'n':
            settings.fsname_option = std::string("fsname=") + optarg;
            break;
        case 'l': {
            std::optional<std::string> canonical = canonicalize_log_path(optarg);
            if (!canonical) {
                const int err = errno;
                print_error(err, "comand line option (-l) pathname canonicalization allocation");
                return stop_with(err);
            }
            log.path = *canonical;
            break;
        }
        case 'c': {
            // The control directory need not exist yet: init creates it.
            std::optional<std::string> canonical = canonicalize_log_path(optarg);
            if (!canonical) {
                // Name the path and why (a missing parent directory,
                // mostly), not "Low memory"; the exit status stays the one
                // scripts know.
                print_error(errno, optarg);
                return stop_with(start_low_memory);
            }
            settings.ctl_requested = true;
            settings.ctl_path = *canonical;
            break;
        }
        case 'f':
            settings.fuse_options = std::string(optarg);
            break;
        case 'o': {
            settings.fuse_options = std::string(optarg);
            start_status status = parse_mount_options(*settings.fuse_options);
            if (status.stop)
                return status;
            break;
        }
        case 'q':
            log.quiet = 1;
            break;
        case 'h':
            print_usage();
            return stop_with(0);
        case verify_option:
            settings.verify_list = std::string(optarg);
            break;
        default:
            // The scanner answers '?' both for "-?", which asks for help,
            // and for an option it rejected (after its own diagnostic).
            print_usage();
            return stop_with(optind > 0 && std::strcmp(argv[optind - 1], "-?") == 0 ? 0 : start_argument_count);
        }
    }
    if (settings.verify_list) {
        if (argc != optind) {
            print_message("--verify", "takes no mount arguments");
            return stop_with(verify_failed);
        }
        return stop_with(verify_command(*settings.verify_list));
    }
    // The positional words are where the scanner leaves them, whatever form
    // the options took (-lFILE, --log=FILE, -oOPTS).
    if (argc - optind != 2) {
        print_error(start_argument_count, nullptr);
        print_usage();
        return stop_with(start_argument_count);
    }
    settings.replica_list = argv[optind];
    settings.mount_word = argv[optind + 1];
    return {};
}

start_status check_paths_outside_mount()
{
    const start_settings& settings = state().settings;
    const std::optional<std::string>& log_path = state().log.path;
    if (!log_path && !settings.ctl_path)
        return {};
    // A log or control directory inside the mount would be served by this
    // very filesystem: every log line would recurse into it, and init would
    // wait on the mount it is starting.
    std::optional<std::string> mount_point = canonical_mount_point();
    if (!mount_point)
        return {};
    if (log_path && path_is_within(*log_path, *mount_point)) {
        print_error(start_log_under_mount, nullptr);
        return stop_with(start_log_under_mount);
    }
    if (settings.ctl_path && path_is_within(*settings.ctl_path, *mount_point)) {
        print_message(*settings.ctl_path, "Control directory must be outside of the mount point");
        return stop_with(start_log_under_mount);
    }
    return {};
}

start_status build_mount_argument()
{
    start_settings& settings = state().settings;
    if (!settings.fsname_option)
        settings.fsname_option = "fsname=" + settings.replica_list;
    if (settings.fuse_options)
        settings.mount_argument = "-o" + *settings.fuse_options + "," + *settings.fsname_option;
    else
        settings.mount_argument = "-o" + *settings.fsname_option;
    return {};
}

std::optional<std::string> derive_ctl_program(std::string_view argv0)
{
    std::string name;
    const size_t slash = argv0.rfind('/');
    const size_t base = slash == std::string_view::npos ? 0 : slash + 1;
    if (argv0.size() - base > 4) {
        name = std::string(argv0.substr(0, argv0.size() - 4)) + "ctl";
    } else {
        // Too short to hold "elix": look for vornctl beside it.
        name = std::string(argv0.substr(0, base)) + "vornctl";
    }
    // A relative name stops working once the working directory changes
    // (the mount-point replica, daemonizing): make it absolute now. A name
    // without '/' is looked up through PATH and stays as it is.
    if (name.find('/') != std::string::npos && name[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return std::nullopt;
        name = std::string(cwd) + "/" + name;
    }
    return name;
}

std::vector<std::string> ctl_program_candidates(std::string_view argv0, std::string_view self_exe)
{
    std::vector<std::string> candidates;
    if (std::optional<std::string> derived = derive_ctl_program(argv0))
        candidates.push_back(*derived);
    if (!self_exe.empty() && self_exe[0] == '/') {
        std::optional<std::string> beside = derive_ctl_program(self_exe);
        if (beside && (candidates.empty() || candidates[0] != *beside))
            candidates.push_back(*beside);
    }
    return candidates;
}

namespace {

// 0 when path is a regular file this process may execute, else -errno.
int check_executable(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return -errno;
    if (!S_ISREG(st.st_mode))
        return -EACCES;
    return access(path.c_str(), X_OK) == 0 ? 0 : -errno;
}

// Where exec would look for name: the name itself when it holds a '/',
// otherwise each PATH directory (an empty entry is the working directory).
std::vector<std::string> places_of(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return {name};
    std::vector<std::string> places;
    const char* search = std::getenv("PATH");
    std::string_view rest = search != nullptr ? search : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const size_t colon = rest.find(':');
        const std::string_view directory = rest.substr(0, colon);
        places.push_back((directory.empty() ? std::string(".") : std::string(directory)) + "/" + name);
        if (colon == std::string_view::npos)
            return places;
        rest.remove_prefix(colon + 1);
    }
}

}  // namespace

std::optional<std::string> find_executable(const std::vector<std::string>& candidates)
{
    int error = ENOENT;
    for (const std::string& name : candidates) {
        for (const std::string& path : places_of(name)) {
            const int checked = check_executable(path);
            if (checked == 0)
                return path[0] == '/' ? std::optional<std::string>(path) : resolve_path(path.c_str());
            if (checked == -EACCES)
                error = EACCES;
        }
    }
    errno = error;
    return std::nullopt;
}

start_status find_ctl_program(const char* argv0)
{
    start_settings& settings = state().settings;
    if (!settings.ctl_requested)
        return {};
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string_view self_exe(self, length > 0 ? static_cast<size_t>(length) : 0);
    const std::vector<std::string> candidates = ctl_program_candidates(argv0, self_exe);
    if (candidates.empty()) {
        print_error(start_low_memory, "trying to determine the name of the vornctl executable");
        return stop_with(start_low_memory);
    }
    settings.ctl_program = find_executable(candidates);
    if (settings.ctl_program)
        return {};
    // Without it the control directory would stay empty and nobody would
    // know why: refuse now, naming every place looked at.
    const int err = errno;
    std::string context = "control program";
    for (size_t i = 0; i < candidates.size(); ++i) {
        context += i == 0 ? " " : ", ";
        context += candidates[i];
        if (candidates[i].find('/') == std::string::npos)
            context += " (on PATH)";
    }
    print_error(err, context.c_str());
    return stop_with(err);
}
