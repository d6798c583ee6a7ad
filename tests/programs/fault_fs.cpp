// A passthrough FUSE filesystem over one directory, for the end-to-end
// tests of replicas that misbehave: while the marker file exists, every
// flush (each close of a descriptor) fails with EIO after passing on what
// it can, as a network filesystem reports a write it deferred and then
// lost; stopped with SIGSTOP, it stands for a replica that stops
// answering.
//
//   fault_fs BACKING MARKER MOUNTPOINT [FUSE options...]
//
// While MARKER.stall holds "OP PATH" (OP open, create or write), that call on
// PATH waits, after writing the same text to MARKER.reached: a replica
// that stops answering at a chosen moment.
//
// While MARKER.no-trusted exists, trusted. attributes answer "Operation
// not supported", as on NFS: a replica that cannot keep records.
//
// Runs as root in the foreground (-f), multi-threaded: other calls go on
// while one waits.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <fuse.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string backing;
std::string marker;

std::string real(const char* path)
{
    return backing + path;
}

int result(int rc)
{
    return rc == -1 ? -errno : 0;
}

int fault_getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    if (fi != nullptr)
        return result(fstat(static_cast<int>(fi->fh), st));
    return result(lstat(real(path).c_str(), st));
}

int fault_readdir(const char* path, void* buffer, fuse_fill_dir_t filler, off_t, struct fuse_file_info*,
                  enum fuse_readdir_flags)
{
    DIR* dir = opendir(real(path).c_str());
    if (dir == nullptr)
        return -errno;
    while (const struct dirent* entry = readdir(dir)) {
        struct stat st {};
        st.st_ino = entry->d_ino;
        st.st_mode = static_cast<mode_t>(entry->d_type) << 12;
        if (filler(buffer, entry->d_name, &st, 0, static_cast<enum fuse_fill_dir_flags>(0)) != 0)
            break;
    }
    closedir(dir);
    return 0;
}

int fault_mkdir(const char* path, mode_t mode)
{
    return result(mkdir(real(path).c_str(), mode));
}

int fault_unlink(const char* path)
{
    return result(unlink(real(path).c_str()));
}

int fault_rmdir(const char* path)
{
    return result(rmdir(real(path).c_str()));
}

int fault_rename(const char* from, const char* to, unsigned int flags)
{
    if (flags != 0)
        return -EINVAL;
    return result(rename(real(from).c_str(), real(to).c_str()));
}

int fault_chmod(const char* path, mode_t mode, struct fuse_file_info*)
{
    return result(chmod(real(path).c_str(), mode));
}

int fault_chown(const char* path, uid_t uid, gid_t gid, struct fuse_file_info*)
{
    return result(lchown(real(path).c_str(), uid, gid));
}

int fault_truncate(const char* path, off_t size, struct fuse_file_info* fi)
{
    if (fi != nullptr)
        return result(ftruncate(static_cast<int>(fi->fh), size));
    return result(truncate(real(path).c_str(), size));
}

int fault_utimens(const char* path, const struct timespec times[2], struct fuse_file_info*)
{
    return result(utimensat(AT_FDCWD, real(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

std::string whole_file(const std::string& name)
{
    std::string text;
    if (FILE* file = std::fopen(name.c_str(), "r")) {
        char buffer[256];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            text.append(buffer, n);
        std::fclose(file);
    }
    return text;
}

void wait_while_stalled(const char* op, const char* path)
{
    const std::string wanted = std::string(op) + " " + path;
    bool told = false;
    while (whole_file(marker + ".stall") == wanted) {
        if (!told) {
            const std::string reached = marker + ".reached";
            if (FILE* file = std::fopen((reached + ".new").c_str(), "w")) {
                std::fputs(wanted.c_str(), file);
                std::fclose(file);
                std::rename((reached + ".new").c_str(), reached.c_str());
            }
            told = true;
        }
        usleep(10000);
    }
}

int fault_open(const char* path, struct fuse_file_info* fi)
{
    wait_while_stalled("open", path);
    const int fd = open(real(path).c_str(), fi->flags & ~O_CREAT);
    if (fd == -1)
        return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int fault_create(const char* path, mode_t mode, struct fuse_file_info* fi)
{
    wait_while_stalled("create", path);
    const int fd = open(real(path).c_str(), fi->flags | O_CREAT, mode);
    if (fd == -1)
        return -errno;
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int fault_read(const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info* fi)
{
    const ssize_t n = pread(static_cast<int>(fi->fh), buffer, size, offset);
    return n == -1 ? -errno : static_cast<int>(n);
}

int fault_write(const char* path, const char* data, size_t size, off_t offset, struct fuse_file_info* fi)
{
    if (path != nullptr)
        wait_while_stalled("write", path);
    const ssize_t n = pwrite(static_cast<int>(fi->fh), data, size, offset);
    return n == -1 ? -errno : static_cast<int>(n);
}

int fault_flush(const char*, struct fuse_file_info*)
{
    return access(marker.c_str(), F_OK) == 0 ? -EIO : 0;
}

int fault_release(const char*, struct fuse_file_info* fi)
{
    close(static_cast<int>(fi->fh));
    return 0;
}

int fault_fsync(const char*, int datasync, struct fuse_file_info* fi)
{
    const int fd = static_cast<int>(fi->fh);
    return result(datasync ? fdatasync(fd) : fsync(fd));
}

// Extended attributes, so that vornelix keeps its records here as on a
// network filesystem that has them (unless told otherwise).
bool refused_attribute(const char* name)
{
    return std::string(name).compare(0, 8, "trusted.") == 0 && access((marker + ".no-trusted").c_str(), F_OK) == 0;
}

int fault_setxattr(const char* path, const char* name, const char* value, size_t size, int flags)
{
    if (refused_attribute(name))
        return -ENOTSUP;
    return result(lsetxattr(real(path).c_str(), name, value, size, flags));
}

int fault_getxattr(const char* path, const char* name, char* value, size_t size)
{
    if (refused_attribute(name))
        return -ENOTSUP;
    const ssize_t n = lgetxattr(real(path).c_str(), name, value, size);
    return n < 0 ? -errno : static_cast<int>(n);
}

int fault_removexattr(const char* path, const char* name)
{
    if (refused_attribute(name))
        return -ENOTSUP;
    return result(lremovexattr(real(path).c_str(), name));
}

int fault_statfs(const char*, struct statvfs* st)
{
    return result(statvfs(backing.c_str(), st));
}

// The requests stay those of libfuse 2, which the tests were written
// against: an open with O_TRUNC comes as a truncate and then the open, so
// that a stalled open finds the file already emptied.
void* fault_init(struct fuse_conn_info* connection, struct fuse_config*)
{
    connection->want &= ~FUSE_CAP_ATOMIC_O_TRUNC;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: fault_fs BACKING MARKER MOUNTPOINT [FUSE options...]\n");
        return 2;
    }
    backing = argv[1];
    marker = argv[2];
    umask(0);
    struct fuse_operations operations {};
    operations.init = fault_init;
    operations.getattr = fault_getattr;
    operations.readdir = fault_readdir;
    operations.mkdir = fault_mkdir;
    operations.unlink = fault_unlink;
    operations.rmdir = fault_rmdir;
    operations.rename = fault_rename;
    operations.chmod = fault_chmod;
    operations.chown = fault_chown;
    operations.truncate = fault_truncate;
    operations.utimens = fault_utimens;
    operations.open = fault_open;
    operations.create = fault_create;
    operations.read = fault_read;
    operations.write = fault_write;
    operations.flush = fault_flush;
    operations.release = fault_release;
    operations.fsync = fault_fsync;
    operations.statfs = fault_statfs;
    operations.setxattr = fault_setxattr;
    operations.getxattr = fault_getxattr;
    operations.removexattr = fault_removexattr;
    std::vector<char*> fuse_argv = {argv[0]};
    for (int i = 3; i < argc; ++i)
        fuse_argv.push_back(argv[i]);
    fuse_argv.push_back(nullptr);
    return fuse_main(static_cast<int>(fuse_argv.size()) - 1, fuse_argv.data(), &operations, nullptr);
}
