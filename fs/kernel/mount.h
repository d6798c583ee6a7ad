// The hand-over to libfuse: mounts the tree and serves it until it is
// unmounted. The only entry into the kernel-facing code from the command
// line, so that nothing outside this folder includes a libfuse header.
#pragma once

#include <string>

// Mounts at mount_path with the -o word mount_argument (program_word
// stands where libfuse expects the program's name) and serves the mount
// until it is unmounted. The exit status: 0, or 1 when libfuse could not
// mount or serve. A process that left threads inside calls on replicas
// that stopped answering ends here, without its exit handlers.
int serve_mount(const std::string& program_word, const std::string& mount_path,
                const std::string& mount_argument);
