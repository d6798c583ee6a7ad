// Messages for the person who starts the program (print_error, standard
// error) and the event log (write_log for failures, write_event for the
// rest), a text file with one dated line per event that is reopened for
// every line so it can be rotated at will. Its path and the quiet flag are
// the process state's log settings (process_state.h), set at start-up.
//
// Thread safety: write_log, write_event and close_log serialise on one log
// lock; print_error holds no lock (a single formatted write).
#pragma once

#include <string>
#include <string_view>

#include "fs/engine/errors.h"

// The text of a code (errors.h): strerror for a positive one, ours for a
// start_code or a message_code.
std::string code_text(int code);

// "%s: %s\n" with context and the code's text, or "%s\n" without context.
void print_error(int code, const char* context) noexcept;

// A refusal of our own (not one of the coded texts): "context: text" on
// standard error, silenced like print_error.
void print_message(std::string_view context, std::string_view text) noexcept;

// Opens the log path at start-up. Returns 0, or prints the message of
// start_log_unopenable and answers it when the file cannot be opened (the
// caller exits with it).
int open_log() noexcept;

// One line: "%Y/%m/%d %H:%M ", the word, then either " PATH Forced by
// administrator" (code_forced) or " failed accessing PATH" and, for a code
// other than 0, a space and the code's text. Does nothing without a log.
// A line that cannot be written (the log cannot be reopened) is dropped;
// logging resumes as soon as the path can be opened again.
void write_log(std::string_view word, std::string_view path, int code) noexcept;

// One line for an event that is no failure: "%Y/%m/%d %H:%M ", the word, a
// space and the path. Never "failed accessing", so that an alert on that
// phrase fires on failures only. Written and dropped as write_log's.
void write_event(std::string_view word, std::string_view path) noexcept;

// Closes the log for good: later write_log and write_event calls write
// nothing.
void close_log() noexcept;

// The lines write_log and write_event would write for the given local time
// (no newline); exposed for the tests.
std::string format_log_line(std::string_view word, std::string_view path, int code,
                            const struct tm& when);
std::string format_event_line(std::string_view word, std::string_view path, const struct tm& when);
