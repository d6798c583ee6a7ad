// The status texts and the Nagios check script of each replica directory,
// and the text of its progress file.
//
// The script is never stored: every read fills a copy of one fixed
// template with the state digit and the resync figures that vornelix has
// just reported, so that running it reports the replica's state at the
// moment it is read. When vornelix does not answer, the read still
// succeeds and the script reports that instead: a failed read would leave
// the shell with an empty script, which dash runs as a success.
//
// The script prints one line in the monitoring plugins' form, "SERVICE
// STATUS: text" with "Vornelix replica" as the text's start, and perfdata
// after a '|' while a resync runs; it exits 0, 1, 2 or 3 for OK, WARNING,
// CRITICAL and UNKNOWN. The template has one size whatever it says (the
// size the tree shows), the message padded with spaces after its quotes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "common/resync_figures.h"

inline constexpr size_t status_text_width = 180;

// The script's line: "OK ..." for '0', "WARNING ..." for '1' ("resyncing"
// with the figures and perfdata while a resync writes the replica,
// "inconsistent" otherwise), "CRITICAL ..." for '2'; "UNKNOWN ..." for any
// other digit, which vornelix never sends.
std::string check_message(char digit, const resync_figures& figures);

// What the progress file reads: "resyncing: DONE of TODO entries copied,
// BYTES bytes\n" (without "of TODO" while the total is not known), or
// "idle\n" while no resync writes the replica.
std::string progress_text(const resync_figures& figures);

// The Nagios exit status for a digit: the digit itself for '0'..'2', 3
// (UNKNOWN) otherwise.
char script_exit_digit(char digit) noexcept;

extern const std::string_view check_script_template;

// Where the two fields lie in the template.
inline constexpr size_t script_message_field = 538;
inline constexpr size_t script_exit_field = 730;

// Fills the template for the digit and the figures and copies the part
// from offset on, at most size characters, into buffer. Answers the number
// copied (0 at or past the end).
size_t fill_check_script(char digit, const resync_figures& figures, off_t offset, size_t size,
                         char* buffer) noexcept;

// As fill_check_script, for a read that vornelix did not answer: the
// script says "CRITICAL - Vornelix daemon not answering" and exits 2,
// whatever the replica's last state was, since nothing keeps the replicas
// in step any more.
size_t fill_daemon_gone_script(off_t offset, size_t size, char* buffer) noexcept;
