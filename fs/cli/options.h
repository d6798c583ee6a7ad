// The command line of vornelix: option scanning, the -o option text, the
// checks on the positional arguments, and the words handed to FUSE.
//
// Every function here runs once, in the main thread, before the hand-over
// to FUSE. Functions that can stop the start-up answer a start_status:
// proceed, or stop with the exit status given (messages already printed).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* vornelix_version = "1.1.1";

// What the command line sets lands in the process state (process_state.h):
// the start settings, the log settings and the work settings. Written only
// before the hand-over; read freely afterwards.

struct start_status {
    bool stop = false;
    int exit_status = 0;
};

void print_version();
void print_usage();

// The directory part made canonical and the last name appended; the file
// itself need not exist. None on failure, errno set. "/x.log" names the file
// x.log in the root directory; a path ending in '/' gives a result ending
// in '/'.
std::optional<std::string> canonicalize_log_path(std::string_view path);

// Takes the log, fsname and quiet tokens out of an -o option text (edited
// in place), setting the log path, the fsname option and quiet.
start_status parse_mount_options(std::string& text);

// Scans argv with getopt_long, applies every option, and takes the two
// positional arguments from where the scanner leaves them.
start_status scan_command_line(int argc, char** argv);

// The log and the control directory must lie outside the mount point.
start_status check_paths_outside_mount();

// Default fsname and the -o word handed to FUSE.
start_status build_mount_argument();

// Name under which the control program is started: argv[0] with its last
// four characters replaced by "ctl", made absolute when it holds a '/'.
// A program file name of four characters or fewer gives "vornctl" in the
// same directory.
std::optional<std::string> derive_ctl_program(std::string_view argv0);

// Where the control program is looked for, in order: the name derived from
// argv[0], then, when it differs, the name derived from the real binary
// (self_exe, the target of /proc/self/exe), for a daemon started through a
// link of another name.
std::vector<std::string> ctl_program_candidates(std::string_view argv0, std::string_view self_exe);

// The first candidate that is an executable regular file, as an absolute
// path (a name without '/' is searched on PATH, as exec would); none with
// errno set (ENOENT, or EACCES when one was found but cannot be executed).
std::optional<std::string> find_executable(const std::vector<std::string>& candidates);

// When a control directory was given: the settings' ctl_program := the
// control program found, or stop the start-up with a message naming every
// place looked at.
start_status find_ctl_program(const char* argv0);
