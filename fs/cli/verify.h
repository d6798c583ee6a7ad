// vornelix --verify: the command that compares replica directories
// (engine/tree_compare.h) instead of mounting them.
#pragma once

#include <string_view>

#include "fs/engine/tree_compare.h"

// The command: the replica list as typed for mounting ('=' between paths,
// a leading ':' on a path is ignored). Answers the exit status: 0
// identical, 1 different, 2 an error.
int verify_command(std::string_view list) noexcept;
