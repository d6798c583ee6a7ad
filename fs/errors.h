// Error conventions of vornelix, written once:
//
//  - system calls answer -1 and set errno;
//  - pthread_* and getgrgid_r/getpwnam_r answer the error number;
//  - the FUSE operations answer 0, a byte count, or -errno;
//  - the internal helpers say in their one-line comment which of the above
//    they follow.
//
// Error codes passed to print_error and write_log: 0 is no error, a positive
// code is an errno value, -1..-7 are the internal codes below.
#pragma once

#include <cerrno>

enum internal_code {
    code_low_memory = -1,
    code_log_under_mount = -2,
    code_argument_count = -3,
    code_too_many_files = -4,
    code_log_unopenable = -5,
    code_bad_path_max = -6,
    code_forced = -7,
};

// errno as a positive error number; a call that failed without saying why
// still counts as failed.
inline int failure_errno() noexcept
{
    return errno != 0 ? errno : EIO;
}
