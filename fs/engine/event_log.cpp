#include "fs/engine/event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "fs/engine/process_state.h"

namespace {

// Protects log_stream: held over the reopening and the writing of a whole
// line, and by close_log.
std::mutex log_lock;  // lock_order.h: #10, after the record lock
FILE* log_stream = nullptr;
// Set once the log is open at start-up; cleared for good by close_log.
bool log_enabled = false;

// The log file is created 0644 by an explicit mode, never by changing the
// process file-creation mask: request threads create objects meanwhile and
// their modes must reach the replicas exactly.
FILE* open_log_stream()
{
    const std::optional<std::string>& path = state().log.path;
    if (!path)
        return nullptr;
    int fd = open(path->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return nullptr;
    FILE* stream = fdopen(fd, "a");
    if (stream == nullptr) {
        close(fd);
        return nullptr;
    }
    setlinebuf(stream);
    return stream;
}

// Appends the line that format makes for the local time, under the log
// lock. Reopened for every line, so that a log moved away is created anew.
// A line that cannot be written is dropped: the filesystem must go on
// serving its users whatever happens to the log's directory.
template <typename Format>
void append_line(const Format& format) noexcept
{
    std::lock_guard<std::mutex> guard(log_lock);
    if (!log_enabled)
        return;
    if (log_stream != nullptr) {
        std::fclose(log_stream);
        log_stream = nullptr;
    }
    log_stream = open_log_stream();
    if (log_stream == nullptr)
        return;
    try {
        const time_t now = time(nullptr);
        struct tm local;
        localtime_r(&now, &local);
        std::string line = format(local);
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), log_stream);
        std::fflush(log_stream);
    } catch (...) {
    }
}

std::string date_stamp(const struct tm& when)
{
    char stamp[19];
    std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M ", &when);
    return stamp;
}

}  // namespace

std::string code_text(int code)
{
    if (code > 0)
        return std::strerror(code);
    switch (code) {
    case start_low_memory:
        return "Low memory";
    case start_log_under_mount:
        return "Log file must be outside of the mount point";
    case code_too_many_files:
        return "Too many opened files";
    case start_log_unopenable:
        return "Cannot open the log file";
    case code_forced:
        return "Forced by administrator";
    case start_argument_count:  // a blank line: the usage that follows says it
    default:
        return "";
    }
}

void print_error(int code, const char* context) noexcept
{
    if (state().log.quiet)
        return;
    try {
        const std::string text = code_text(code);
        if (context != nullptr)
            std::fprintf(stderr, "%s: %s\n", context, text.c_str());
        else
            std::fprintf(stderr, "%s\n", text.c_str());
    } catch (...) {
    }
}

void print_message(std::string_view context, std::string_view text) noexcept
{
    if (!state().log.quiet)
        std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(context.size()), context.data(),
                     static_cast<int>(text.size()), text.data());
}

int open_log() noexcept
{
    std::lock_guard<std::mutex> guard(log_lock);
    if (log_stream != nullptr) {
        std::fclose(log_stream);
        log_stream = nullptr;
    }
    log_stream = open_log_stream();
    if (log_stream == nullptr) {
        const std::optional<std::string>& path = state().log.path;
        print_error(start_log_unopenable, path ? path->c_str() : "");
        return start_log_unopenable;
    }
    log_enabled = true;
    return 0;
}

std::string format_log_line(std::string_view word, std::string_view path, int code,
                            const struct tm& when)
{
    std::string line = date_stamp(when);
    line += word;
    if (code == code_forced) {
        line += ' ';
        line += path;
        line += ' ';
        line += code_text(code_forced);
    } else {
        line += " failed accessing ";
        line += path;
        if (code != 0) {
            line += ' ';
            line += code_text(code);
        }
    }
    return line;
}

std::string format_event_line(std::string_view word, std::string_view path, const struct tm& when)
{
    std::string line = date_stamp(when);
    line += word;
    line += ' ';
    line += path;
    return line;
}

void write_log(std::string_view word, std::string_view path, int code) noexcept
{
    append_line([&](const struct tm& when) { return format_log_line(word, path, code, when); });
}

void write_event(std::string_view word, std::string_view path) noexcept
{
    append_line([&](const struct tm& when) { return format_event_line(word, path, when); });
}

void close_log() noexcept
{
    std::lock_guard<std::mutex> guard(log_lock);
    if (log_stream != nullptr)
        std::fclose(log_stream);
    log_stream = nullptr;
    log_enabled = false;
}
