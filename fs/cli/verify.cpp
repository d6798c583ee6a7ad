#include "fs/cli/verify.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

int verify_command(std::string_view list) noexcept
{
    std::vector<std::string> roots;
    try {
        size_t begin = 0;
        while (true) {
            const size_t equals = list.find('=', begin);
            std::string_view word = list.substr(begin, equals == std::string_view::npos ? list.npos : equals - begin);
            if (!word.empty() && word[0] == ':')
                word.remove_prefix(1);
            roots.emplace_back(word);
            if (equals == std::string_view::npos)
                break;
            begin = equals + 1;
        }
    } catch (const std::exception&) {
        std::fprintf(stderr, "vornelix: verify: %s\n", std::strerror(ENOMEM));
        return verify_failed;
    }
    if (roots.size() < 2) {
        std::fprintf(stderr, "vornelix: verify needs at least two replicas: path=path[=path...]\n");
        return verify_failed;
    }
    return verify_replicas(roots, stdout, stderr, isatty(STDERR_FILENO) == 1);
}
