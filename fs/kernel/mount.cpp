#include "fs/kernel/mount.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "fs/kernel/node_table.h"
#include "fs/kernel/operations.h"
#include "fs/kernel/requests.h"

namespace {

// Options every mount gets:
//  - default_permissions: the kernel checks every request against the mode,
//    owner and group the mount reports, with the calling process's own
//    credentials and supplementary groups, exactly as for a local file
//    system (FIFOs and devices included, which never reach vornelix);
//  - subtype=vornelix: the mount table shows every vornelix mount as
//    fuse.vornelix, which is how a second mount on the same mount point is
//    recognised.
constexpr std::string_view forced_mount_options = "default_permissions,subtype=vornelix";

// Options of older mounts that libfuse no longer knows and that mean
// nothing here any more: large writes are the default, a mount point that
// holds files is accepted, inode numbers always come from the replicas,
// and a removed file never keeps a hidden name. fstab lines still carry
// them, so they are taken and dropped.
constexpr std::string_view dropped_options[] = {"big_writes", "nonempty", "use_ino", "readdir_ino",
                                                "hard_remove"};

bool dropped(std::string_view option) noexcept
{
    for (const std::string_view name : dropped_options)
        if (option == name)
            return true;
    return false;
}

}  // namespace

// The cache times among the options, which are vornelix's to apply to its
// replies: true when option is one of them (taken, or false in valid when
// its value is not a number of seconds).
static bool take_cache_time(std::string_view option, bool& valid)
{
    static constexpr struct {
        std::string_view name;
        double reply_settings::*field;
    } times[] = {{"entry_timeout=", &reply_settings::entry},
                 {"attr_timeout=", &reply_settings::attributes},
                 {"negative_timeout=", &reply_settings::absence}};
    for (const auto& time : times) {
        if (option.substr(0, time.name.size()) != time.name)
            continue;
        const std::string value(option.substr(time.name.size()));
        char* end = nullptr;
        const double seconds = std::strtod(value.c_str(), &end);
        valid = !value.empty() && end != nullptr && *end == '\0' && seconds >= 0;
        if (valid)
            kept_for.*time.field = seconds;
        return true;
    }
    return false;
}

// The -o word's options (after "-o"), less the dropped ones and the cache
// times, with the forced ones after them; none when a cache time is not a
// number (said on standard error). A comma escaped with a backslash
// belongs to its option.
std::optional<std::string> libfuse_options(std::string_view word)
{
    if (word.substr(0, 2) == "-o")
        word.remove_prefix(2);
    std::string kept;
    size_t start = 0;
    for (size_t at = 0; at <= word.size(); ++at) {
        if (at < word.size() && word[at] == '\\') {
            ++at;
            continue;
        }
        if (at < word.size() && word[at] != ',')
            continue;
        const std::string_view option = word.substr(start, at - start);
        start = at + 1;
        bool valid = true;
        if (take_cache_time(option, valid)) {
            if (!valid) {
                std::fprintf(stderr, "fuse: invalid argument `%.*s'\n", static_cast<int>(option.size()),
                             option.data());
                return std::nullopt;
            }
            continue;
        }
        if (option == "direct_io" || option == "kernel_cache") {
            (option == "direct_io" ? kept_for.direct_io : kept_for.kernel_cache) = true;
            continue;
        }
        if (option.empty() || dropped(option))
            continue;
        kept.append(option);
        kept += ',';
    }
    kept.append(forced_mount_options);
    return kept;
}

namespace {

// The session being served, for the notices the daemon sends the kernel
// of its own accord.
std::atomic<struct fuse_session*> serving{nullptr};

void on_init(void*, struct fuse_conn_info* connection) noexcept
{
    // The kernel clears set-user-ID and set-group-ID bits itself, through
    // a setattr, as it did for every mount before.
    connection->want &= ~FUSE_CAP_HANDLE_KILLPRIV;
    // Every acknowledged write is on every replica in service: no cache
    // may hold writes back.
    connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    // Access control lists, checked and kept by the kernel: it reads them
    // as system.posix_acl_* attributes and forgets them when they or the
    // mode change through the mount. Creation then hands the caller's
    // umask over unapplied (creation_mode.cpp applies it where no default
    // list stands in for it): asked for together or not at all, since
    // lists without it would come on top of a mode already masked.
    // (libfuse refuses a session that wants what the kernel cannot.)
    constexpr unsigned lists = FUSE_CAP_POSIX_ACL | FUSE_CAP_DONT_MASK;
    if ((connection->capable & lists) == lists)
        connection->want |= lists;
    // No export support (FUSE_CAP_EXPORT_SUPPORT): a file handle would then
    // outlive the kernel's inode, and the node it names would have to be
    // found again by number after its forget ("." of that node, ".." of a
    // directory). The table keeps a node only while the kernel does; keeping
    // every number ever handed out is memory without bound, and a replica
    // gives no path from an inode number. So open_by_handle_at works while
    // the kernel holds the file and answers ESTALE after, as it always has.
    fs_init();
    struct stat root;
    if (fs_getattr("/", &root) != 0) {
        std::memset(&root, 0, sizeof root);
        root.st_ino = root_node;
    }
    node_table_start(root);
}

void on_destroy(void*) noexcept
{
    fs_destroy();
    node_table_clear();
}

struct fuse_lowlevel_ops operations() noexcept
{
    struct fuse_lowlevel_ops table;
    std::memset(&table, 0, sizeof table);
    table.init = on_init;
    table.destroy = on_destroy;
    table.lookup = on_lookup;
    table.forget = on_forget;
    table.forget_multi = on_forget_multi;
    table.getattr = on_getattr;
    table.setattr = on_setattr;
    table.readlink = on_readlink;
    table.mknod = on_mknod;
    table.mkdir = on_mkdir;
    table.unlink = on_unlink;
    table.rmdir = on_rmdir;
    table.symlink = on_symlink;
    table.rename = on_rename;
    table.link = on_link;
    table.open = on_open;
    table.read = on_read;
    table.write = on_write;
    table.flush = on_flush;
    table.release = on_release;
    table.fsync = on_fsync;
    table.opendir = on_opendir;
    table.readdir = on_readdir;
    table.readdirplus = on_readdirplus;
    table.releasedir = on_releasedir;
    table.fsyncdir = on_fsyncdir;
    table.statfs = on_statfs;
    table.setxattr = on_setxattr;
    table.getxattr = on_getxattr;
    table.listxattr = on_listxattr;
    table.removexattr = on_removexattr;
    // The kernel answers access() itself from the mode: the tree is
    // mounted with its permission checks.
    table.create = on_create;
    table.fallocate = on_fallocate;
    table.lseek = on_lseek;
    table.copy_file_range = on_copy_file_range;
    return table;
}

}  // namespace

void forget_kernel_attributes(fuse_ino_t node) noexcept
{
    if (struct fuse_session* session = serving.load())
        (void)fuse_lowlevel_notify_inval_inode(session, node, -1, 0);
}

int serve_mount(const std::string& program_word, const std::string& mount_path,
                const std::string& mount_argument)
{
    std::string word0 = program_word;
    std::string word1 = "-o";
    const std::optional<std::string> options = libfuse_options(mount_argument);
    if (!options)
        return 1;
    std::string word2 = *options;
    char* fuse_argv[] = {word0.data(), word1.data(), word2.data(), nullptr};
    struct fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);

    const struct fuse_lowlevel_ops table = operations();
    struct fuse_session* session = fuse_session_new(&args, &table, sizeof table, nullptr);
    // libfuse may have copied the arguments while it parsed them.
    fuse_opt_free_args(&args);
    if (session == nullptr)
        return 1;
    serving.store(session);
    int ended = 1;
    if (fuse_set_signal_handlers(session) == 0) {
        if (fuse_session_mount(session, mount_path.c_str()) == 0) {
            // In the background, as every mount helper expects.
            if (fuse_daemonize(0) == 0) {
                struct fuse_loop_config config;
                std::memset(&config, 0, sizeof config);
                config.clone_fd = 0;
                config.max_idle_threads = 10;
                ended = fuse_session_loop_mt(session, &config) < 0 ? 1 : 0;
            }
            fuse_session_unmount(session);
        }
        fuse_remove_signal_handlers(session);
    }
    serving.store(nullptr);
    fuse_session_destroy(session);
    if (threads_left_behind()) {
        // Not every stream: the control thread may be inside a read of its
        // channel, holding that stream's lock for good.
        std::fflush(stdout);
        _exit(ended);
    }
    return ended;
}
