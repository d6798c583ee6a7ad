// The status texts and the Nagios check script of each replica directory.
//
// The script is never stored: every read fills a copy of one fixed
// template with the state digit that vornelix has just reported, so that
// running it reports the replica's state at the moment it is read. When
// vornelix does not answer, the read still succeeds and the script reports
// that instead: a failed read would leave the shell with an empty script,
// which dash runs as a success.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string_view>

inline constexpr size_t status_text_width = 52;

// "OK ..." for '0', "WARNING ..." for '1', "CRITICAL ..." for '2', each
// padded with spaces to status_text_width; "UNKNOWN ..." for any other
// digit, which vornelix never sends.
std::string_view status_text(char digit) noexcept;

// The Nagios exit status for a digit: the digit itself for '0'..'2', 3
// (UNKNOWN) otherwise.
char script_exit_digit(char digit) noexcept;

extern const std::string_view check_script_template;

// Where the two fields lie in the template.
inline constexpr size_t script_message_field = 538;
inline constexpr size_t script_exit_field = 602;

// Fills the template for the digit and copies the part from offset on, at
// most size characters, into buffer. Answers the number copied (0 at or
// past the end).
size_t fill_check_script(char digit, off_t offset, size_t size, char* buffer) noexcept;

// As fill_check_script, for a read that vornelix did not answer: the
// script says "CRITICAL - Vornelix daemon not answering" and exits 2,
// whatever the replica's last state was, since nothing keeps the replicas
// in step any more.
size_t fill_daemon_gone_script(off_t offset, size_t size, char* buffer) noexcept;
