#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/mount_harness.h"

namespace {

const std::string version_text =
    "This is the Vornelix V1.1.1, a Fuse based filesystem which implements\nfilesystem replication.\n";

const std::string usage_line = "Usage: vornelix [OPTIONS] path=path[=path[=path...]] mount-point\n";

// The mount entry of a mount point, from /proc/mounts: "device type options".
std::string mount_entry(const std::string& point)
{
    std::ifstream mounts("/proc/mounts");
    std::string device, where, type, options, rest;
    while (mounts >> device >> where >> type >> options) {
        std::getline(mounts, rest);
        if (where == point)
            return device + " " + type + " " + options;
    }
    return "";
}

// Log lines without their 17-character time stamps.
std::vector<std::string> log_lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
        lines.push_back(end - begin >= 17 ? text.substr(begin + 17, end - begin - 17) : text.substr(begin, end - begin));
    return lines;
}

TEST(startup, help_and_version_texts)
{
    command_result r = run_vornelix({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, version_text);
    EXPECT_EQ(run_vornelix({"-V"}).out, version_text);

    // The usage line and the version come first, as they always have; then
    // every option of the command line and of the -o list, and no pointer
    // to documents that do not exist.
    const std::string usage_text = run_vornelix({"--help"}).out;
    const std::string head = usage_line + version_text + "Options:\n";
    EXPECT_EQ(usage_text.substr(0, head.size()), head);
    for (const char* option :
         {"\t--ctl PATH, -c PATH\n", "\t--fuseoptions OPTIONS, -f OPTIONS\n", "\t--help, -h, -?\n",
          "\t--log FILE, -l FILE\n", "\t--fsname NAME, -n NAME\n", "\t--o OPTIONS, -o OPTIONS\n", "\t--quiet, -q\n",
          "\t--version, -V\n", "\t--verify path=path[=path...]\n", "\tlog=FILE, fsname=NAME, quiet\n",
          "\treplica_timeout=SECONDS\n", "\tno_inline\n", "\tsource=PATH\n", "\npath=path[=path[=path...]]\n",
          "\nmount-point\n"})
        EXPECT_NE(usage_text.find(option), std::string::npos) << option << usage_text;
    EXPECT_EQ(usage_text.find("howto"), std::string::npos) << usage_text;
    for (const char* help : {"--help", "-h", "-?"}) {
        r = run_vornelix({help});
        EXPECT_EQ(r.status, 0) << help;
        EXPECT_EQ(r.out, usage_text) << help;
    }
}

// Command lines refused before anything is mounted, with the exit status
// a boot script sees and what the daemon says on stderr. Some would hang
// the mount, write twice, or fail at the first access if they mounted:
// every run has a deadline, and after every row a mount left behind is
// aborted, so that a regression fails the test instead of wedging the suite.
TEST(startup, refused_command_lines)
{
    scratch_dir dir;
    const std::string r0 = dir / "r0", mnt = dir / "mnt", sub = mnt + "/sub", mntab = dir / "mntab";
    const std::string file = dir / "file", link = dir / "link", alias = dir / "alias";
    // A log that cannot be opened (root may write anywhere, so its name is
    // taken by a directory).
    const std::string locked = dir / "locked/x.log";
    for (const std::string& d : {r0, mnt, sub, mntab, alias, dir / "locked", locked})
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
    write_file(file, "x");
    ASSERT_EQ(symlink(r0.c_str(), link.c_str()), 0);
    ASSERT_EQ(mount(r0.c_str(), alias.c_str(), nullptr, MS_BIND, nullptr), 0);
    // A copy of the daemon looks for its control program beside itself and
    // nowhere else: none there, or one that cannot run.
    scratch_dir bin;
    const std::string lone = bin / "xvornelix", lone_ctl = bin / "xvornctl";
    const std::string stuck = bin / "yvornelix", stuck_ctl = bin / "yvornctl";
    std::filesystem::copy_file(VORNELIX_BINARY, lone);
    std::filesystem::copy_file(VORNELIX_BINARY, stuck);
    write_file(stuck_ctl, "#!/bin/sh\n", 0644);

    const std::string usage_text = run_vornelix({"--help"}).out;
    ASSERT_EQ(usage_text.substr(0, usage_line.size()), usage_line);
    const std::string missing = ": No such file or directory\n";
    const std::string outside = ": Replica must be outside of the mount point\n";
    const std::string twice = ": Replica given twice (the same directory as " + r0 + ")\n";
    const std::string log_inside = "Log file must be outside of the mount point\n";
    enum stderr_match { exactly, containing };
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
        stderr_match match = exactly;
        bool usage = false;       // the usage text on stdout
        std::string program = ""; // another binary than the built one
        std::string cwd = "";     // run from this directory
    } rows[] = {
        // A typo must not look like success: the scanner's own diagnostic,
        // the usage, and the wrong-arguments status.
        {{"--bogus", "a", "b"}, 253, "unrecognized option '--bogus'", containing, true},
        {{"-x", "a", "b"}, 253, "invalid option -- 'x'", containing, true},
        {{"a", "b", "-l"}, 253, "requires an argument", containing, true},
        // Not two positional words: an empty line (none when quiet), the usage.
        {{}, 253, "\n", exactly, true},
        {{"a"}, 253, "\n", exactly, true},
        {{"a", "b", "c"}, 253, "\n", exactly, true},
        {{"-q"}, 253, "", exactly, true},
        {{"-q", "a"}, 253, "", exactly, true},
        // Failures name what failed.
        {{r0 + "=" + dir / "missing", mnt}, ENOENT, dir / "missing" + missing},
        {{r0 + "=:" + dir / "missing", mnt}, ENOENT, dir / "missing" + missing},
        {{r0 + "==" + r0, mnt}, ENOENT, missing},
        {{r0, dir / "nomnt"}, ENOENT, dir / "nomnt" + missing},
        {{r0, ":" + dir / "nomnt"}, ENOENT, ":" + dir / "nomnt" + missing},
        {{"-q", r0, dir / "nomnt"}, ENOENT, ""},
        {{"-l", dir / "nodir/x.log", r0, mnt}, ENOENT,
         "comand line option (-l) pathname canonicalization allocation: No such file or directory\n"},
        {{"--log", locked, r0, mnt}, 251, locked + ": Cannot open the log file\n"},
        // The log and the control directory lie outside the mount; the mount
        // point as typed may be relative or carry ':' for the mount-point
        // replica: the comparison is on canonical paths.
        {{"-l", sub + "/x.log", r0, mnt}, 254, log_inside},
        {{"-l", mnt + "/x.log", r0, ":" + mnt}, 254, log_inside},
        {{"-l", mnt + "/x.log", r0, mnt.substr(1)}, 254, log_inside, exactly, false, "", "/"},
        // A sibling that only shares a prefix is outside: the start goes on
        // (and fails later, on purpose, on a missing replica).
        {{"-l", mntab + "/x.log", dir / "missing", mnt}, ENOENT, dir / "missing" + missing},
        {{"--ctl", dir / "nodir/ctl", r0, mnt}, 255, dir / "nodir/ctl" + missing},
        {{"--ctl", mnt + "/ctl", r0, mnt}, 254, mnt + "/ctl: Control directory must be outside of the mount point\n"},
        // Replicas that would hang the mount or be written twice.
        {{r0 + "=" + mnt, mnt}, 254, mnt + outside},
        {{"-o", "nonempty", r0 + "=" + sub, mnt}, 254, sub + outside},
        {{":" + sub, ":" + mnt}, 254, sub + outside},
        {{r0 + "=" + dir / "r0/../mnt", mnt}, 254, dir / "r0/../mnt" + outside},
        {{r0 + "=" + r0, mnt}, EEXIST, r0 + twice},
        {{r0 + "=:" + link, mnt}, EEXIST, link + twice},
        {{r0 + "=" + alias, mnt}, EEXIST, alias + twice},
        {{r0 + "=" + file, mnt}, ENOTDIR, file + ": Not a directory\n"},
        {{r0, file}, ENOTDIR, file + ": Not a directory\n"},
        {{r0, ":" + file}, ENOTDIR, ":" + file + ": Not a directory\n"},
        // No control program to run.
        {{"--ctl", dir / "ctl", r0, mnt}, ENOENT, "control program " + lone_ctl + missing, exactly, false, lone},
        {{"--ctl", dir / "ctl", r0, mnt}, EACCES, "control program " + stuck_ctl + ": Permission denied\n",
         exactly, false, stuck},
    };
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    for (const auto& row : rows) {
        const std::string line = testing::PrintToString(row.args) + " " + row.program;
        if (!row.cwd.empty()) {
            ASSERT_EQ(chdir(row.cwd.c_str()), 0);
        }
        const command_result r = run_vornelix(row.args, row.program, 20000);
        ASSERT_EQ(chdir(cwd), 0);
        EXPECT_EQ(r.status, row.status) << line;
        if (row.match == exactly)
            EXPECT_EQ(r.err, row.err) << line;
        else
            EXPECT_NE(r.err.find(row.err), std::string::npos) << line << ": " << r.err;
        if (row.usage) {
            EXPECT_EQ(r.out, usage_text) << line;
        }
        EXPECT_FALSE(remove_stray_mount(mnt)) << line << ": mounted";
        EXPECT_FALSE(remove_stray_mount(file)) << line << ": mounted";
    }
    umount2(alias.c_str(), MNT_DETACH);
}

// The control program is found by the name the daemon was started under,
// or beside the real binary when it was started through a link of another
// name (nothing executable: a refused command line, in the table above).
TEST(startup, control_program_is_found_beside_the_real_binary)
{
    scratch_dir bin;
    const std::string alias = bin / "replfs";
    ASSERT_EQ(symlink(VORNELIX_BINARY, alias.c_str()), 0);
    {
        mount_options options;
        options.program = alias;
        options.control = true;
        test_mount m(options);
        ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
        EXPECT_TRUE(eventually([&] { return is_mounted(m.ctl()); })) << m.log_text();
        EXPECT_EQ(m.unmount(), 0);
    }
}

// The /etc/fstab line "vornelix#R0=R1 MNT fuse log=...,fsname=...,..."
// reaches us through mount(8) and the mount.fuse helper.
TEST(startup, mounts_through_the_fuse_mount_helper)
{
    mount_options options;
    options.mount_helper = true;
    options.mount_tokens = {"fsname=tree"};
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string entry = mount_entry(m.mnt());
    EXPECT_EQ(entry.substr(0, entry.find(' ')), "tree");
    EXPECT_NE(m.log_text().find("replica priority high failed accessing " + m.replica(1)), std::string::npos)
        << m.log_text();
    write_file(m.at("file"), "both");
    EXPECT_EQ(read_file(m.in_replica(0, "file")), "both");
    EXPECT_EQ(read_file(m.in_replica(1, "file")), "both");
    EXPECT_EQ(m.unmount(), 0);
}

TEST(startup, mount_shows_its_name_and_the_log_its_priorities)
{
    mount_options options;
    options.low_priority = {false, true, false};
    options.replicas = 3;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();

    const std::string entry = mount_entry(m.mnt());
    const std::string list = m.replica(0) + "=:" + m.replica(1) + "=" + m.replica(2);
    EXPECT_EQ(entry.substr(0, entry.find(' ')), list);
    EXPECT_NE(entry.find("allow_other"), std::string::npos) << entry;

    const std::string log = m.log_text();
    EXPECT_EQ(log_lines(log), (std::vector<std::string>{
                                  "replica priority high failed accessing " + m.replica(0),
                                  "replica priority low failed accessing " + m.replica(1),
                                  "replica priority high failed accessing " + m.replica(2),
                              }));
    // Each line starts with a time stamp of the form "YYYY/MM/DD HH:MM ".
    ASSERT_GE(log.size(), 17u);
    EXPECT_EQ(log[4], '/');
    EXPECT_EQ(log[7], '/');
    EXPECT_EQ(log[13], ':');
    EXPECT_EQ(log[16], ' ');
    struct stat st;
    ASSERT_EQ(stat(m.log_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    EXPECT_EQ(m.unmount(), 0);
    EXPECT_FALSE(m.mounted());
}

TEST(startup, every_option_form_reaches_the_mount)
{
    scratch_dir dir;
    mount_options options;
    options.log = false;
    options.extra_args = {"--log=" + dir / "attached.log", "-nlabel"};
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string entry = mount_entry(m.mnt());
    EXPECT_EQ(entry.substr(0, entry.find(' ')), "label");
    EXPECT_NE(read_file(dir / "attached.log").find("replica priority high"), std::string::npos);
}

TEST(startup, mount_point_replica_is_reached_after_going_to_the_background)
{
    mount_options options;
    options.mount_point_replica = true;
    options.replicas = 1;
    // Something already under the mount point: the replica is not empty.
    scratch_dir holder;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const std::string entry = mount_entry(m.mnt());
    EXPECT_EQ(entry.substr(0, entry.find(' ')), m.replica(0));
    EXPECT_EQ(m.log_text().find("replica priority"), m.log_text().rfind("replica priority"))
        << "one priority line: the mount-point replica has none";

    ASSERT_EQ(mkdir(m.at("made").c_str(), 0750), 0);
    write_file(m.at("made/file"), "contents");
    EXPECT_EQ(read_file(m.at("made/file")), "contents");
    EXPECT_EQ(read_file(m.in_replica(0, "made/file")), "contents");
    EXPECT_EQ(m.unmount(), 0);
    // The directory under the mount point holds the same tree.
    EXPECT_EQ(read_file(m.at("made/file")), "contents");
}

TEST(startup, log_survives_being_moved_or_made_unwritable)
{
    mount_options options;
    options.replicas = 3;
    test_mount m(options);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    // An event: a name missing from replica 2, removed through the mount.
    write_file(m.in_replica(0, "only01"), "x");
    write_file(m.in_replica(1, "only01"), "x");

    const std::string moved = m.scratch() / "moved.log";
    ASSERT_EQ(rename(m.log_path().c_str(), moved.c_str()), 0);
    ASSERT_EQ(unlink(m.at("only01").c_str()), 0);
    std::vector<std::string> lines = log_lines(m.log_text());
    EXPECT_EQ(lines, (std::vector<std::string>{
                                           "unlink failed accessing " + m.replica(2) + " No such file or directory",
                                           "disabling replica failed accessing " + m.replica(2),
                                       }));
    struct stat st;
    ASSERT_EQ(stat(m.log_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(log_lines(read_file(moved)).size(), 3u) << "the moved log gets no more lines";

    // The log's place taken by a directory: lines are dropped and the mount
    // keeps serving; logging resumes once the place is free again. A link
    // that is a file on replica 1 is read there by turns, which fails and
    // is logged.
    ASSERT_EQ(symlink("t", m.in_replica(0, "link").c_str()), 0);
    write_file(m.in_replica(1, "link"), "x");
    ASSERT_EQ(unlink(m.log_path().c_str()), 0);
    ASSERT_EQ(mkdir(m.log_path().c_str(), 0755), 0);
    char target[8];
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(readlink(m.at("link").c_str(), target, sizeof target), 1);
    ASSERT_EQ(rmdir(m.log_path().c_str()), 0);
    EXPECT_TRUE(m.mounted());
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(readlink(m.at("link").c_str(), target, sizeof target), 1);
    lines = log_lines(m.log_text());
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines)
        EXPECT_EQ(line, "readlink failed accessing " + m.replica(1) + " Invalid argument");
    ASSERT_EQ(unlink(m.in_replica(1, "link").c_str()), 0);
    ASSERT_EQ(symlink("t", m.in_replica(1, "link").c_str()), 0);
    EXPECT_EQ(m.unmount(), 0);
}

// The daemon told to end while a file is still open: destroy must release
// that file's descriptors and array too (a sanitizer build reports a leak
// and ends with another status otherwise).
TEST(startup, daemon_ending_with_a_file_still_open_releases_it)
{
    test_mount m;
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
    const int fd = open(m.at("kept").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "x", 1), 1);
    ASSERT_EQ(kill(m.daemon_pid(), SIGTERM), 0);
    EXPECT_TRUE(eventually([&] { return !m.mounted(); }));
    close(fd);
    EXPECT_EQ(m.unmount(), 0) << m.daemon_stderr();
    EXPECT_EQ(read_file(m.in_replica(0, "kept")), "x");
    EXPECT_EQ(read_file(m.in_replica(1, "kept")), "x");
}

TEST(startup, daemon_started_under_a_file_size_limit_survives_it)
{
    // The daemon inherits a 1 MiB limit; the test itself writes unlimited.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = {1 << 20, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    test_mount m;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    ASSERT_TRUE(m.mounted()) << m.daemon_stderr();

    const int fd = open(m.at("big").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const std::string chunk(1 << 16, 'x');
    ssize_t total = 0;
    for (int i = 0; i < 32; ++i) {
        const ssize_t n = write(fd, chunk.data(), chunk.size());
        if (n <= 0)
            break;
        total += n;
    }
    close(fd);
    EXPECT_EQ(total, 1 << 20);
    // Both replicas were cut at the same place: nobody is out of service,
    // and the mount still answers.
    EXPECT_EQ(read_file(m.in_replica(0, "big")), read_file(m.in_replica(1, "big")));
    write_file(m.at("after"), "still here");
    EXPECT_EQ(read_file(m.in_replica(1, "after")), "still here");
    EXPECT_EQ(m.unmount(), 0);
}

}  // namespace
