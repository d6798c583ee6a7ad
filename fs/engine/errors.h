// Error conventions of vornelix, one rule for each kind of function:
//
//  - System calls answer -1 and set errno (pthread_* answer the error
//    number instead, as POSIX has them).
//  - Internal helpers answer 0, or a value, on success and -errno on
//    failure; the FUSE operations are such helpers. The few that answer
//    otherwise say so in their comment.
//  - Start-up steps, whose answer becomes the process's exit status,
//    answer 0 to go on, or the status to stop with: an errno value, or a
//    start_code below.
// An errno value kept as data (a slot's error, the code of a log line) is
// positive.
//
// print_error and write_log take a code: 0 for none, a positive errno
// value, a start_code or a message_code (code_text in event_log.h gives
// the texts).
#pragma once

#include <cerrno>

// Why start-up stopped where no errno value says it. main answers them as
// they are, so the process exits with 256 minus the number: scripts rely
// on these statuses.
enum start_code : int {
    start_low_memory = -1,       // exit status 255
    start_log_under_mount = -2,  // 254: the log, control directory or a replica inside it
    start_argument_count = -3,   // 253
    start_log_unopenable = -5,   // 251
};

// Texts of the event log that are neither errno values nor start codes.
enum message_code : int {
    code_too_many_files = -4,  // the open-file table is full (fd_table.h)
    code_forced = -7,          // the administrator's doing, not a failure
};

// errno as a positive error number; a call that failed without saying why
// still counts as failed.
inline int failure_errno() noexcept
{
    return errno != 0 ? errno : EIO;
}
