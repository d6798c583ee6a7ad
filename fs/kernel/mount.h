// The hand-over to libfuse: mounts the tree and serves it until it is
// unmounted. The only entry into the kernel-facing code from the command
// line, so that nothing outside this folder includes a libfuse header.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Mounts at mount_path with the -o word mount_argument (program_word
// stands where libfuse expects the program's name) and serves the mount
// until it is unmounted. The exit status: 0, or 1 when libfuse could not
// mount or serve. A process that left threads inside calls on replicas
// that stopped answering ends here, without its exit handlers.
int serve_mount(const std::string& program_word, const std::string& mount_path,
                const std::string& mount_argument);

// The options handed to libfuse for an -o word: the word's options less
// those vornelix applies itself (the cache times, direct_io and
// kernel_cache, which set the reply settings of requests.h) and those that
// mean nothing any more, with the options every mount gets. None when a
// cache time is not a number of seconds (said on standard error).
std::optional<std::string> libfuse_options(std::string_view word);
