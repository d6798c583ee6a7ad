// Stands in for vornctl in the control-channel tests: installed beside a
// copy of vornelix under the name vornelix derives, it is started by the
// control thread on the real pipes. It connects back to the test through
// the socket probe.sock next to itself and does what the test asks, one
// command at a time, reporting exactly which bytes vornelix sent.
//
// Commands (frames on the socket), each answered with one frame that
// starts with '+' and the bytes read from vornelix, or '!' and what failed:
//   send:PAYLOAD   sends PAYLOAD as one request frame and reads the reply
//                  (the whole info sequence for "info")
//   raw:BYTES      writes BYTES to the request pipe as they are
//   exit           answers "+bye" and ends the program
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/frame.h"

namespace {

constexpr int reply_timeout_ms = 10000;

std::string received;  // bytes read from vornelix since the last command

ssize_t recording_read(void*, char* buffer, size_t size)
{
    pollfd ready{STDIN_FILENO, POLLIN, 0};
    if (poll(&ready, 1, reply_timeout_ms) <= 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    const ssize_t n = read(STDIN_FILENO, buffer, size);
    if (n > 0)
        received.append(buffer, static_cast<size_t>(n));
    return n;
}

std::string failure(const char* what)
{
    return std::string("!") + what + ": " + strerror(errno);
}

// One request and its whole reply, as the bytes that came back.
std::string request(FILE* from_vornelix, FILE* to_vornelix, const std::string& payload)
{
    received.clear();
    if (write_frame(to_vornelix, payload) != 0)
        return failure("write");
    std::string message;
    int frames = payload == "info" ? 3 : 1;
    for (int i = 0; i < frames; ++i) {
        if (read_message(from_vornelix, message) != 0)
            return failure("read");
        if (payload == "info" && i == 2) {
            unsigned count = 0;
            if (sscanf(message.c_str(), "%X", &count) != 1)
                return "!count";
            frames += static_cast<int>(count);
        }
    }
    return "+" + received;
}

int connect_to_test(const std::string& socket_path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || socket_path.size() >= sizeof address.sun_path)
        return -1;
    memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return -1;
    return fd;
}

}  // namespace

int main(int, char** argv)
{
    const std::string self = argv[0];
    const std::string directory = self.substr(0, self.rfind('/') + 1);
    const int test_fd = connect_to_test(directory + "probe.sock");
    if (test_fd < 0)
        return 3;
    FILE* from_test = fdopen(test_fd, "r");
    FILE* to_test = fdopen(dup(test_fd), "w");

    cookie_io_functions_t recording{recording_read, nullptr, nullptr, nullptr};
    FILE* from_vornelix = fopencookie(nullptr, "r", recording);
    FILE* to_vornelix = fdopen(STDOUT_FILENO, "w");
    if (from_test == nullptr || to_test == nullptr || from_vornelix == nullptr || to_vornelix == nullptr)
        return 4;
    signal(SIGPIPE, SIG_IGN);

    std::string command;
    while (read_message(from_test, command) == 0) {
        std::string answer;
        if (command.rfind("send:", 0) == 0) {
            answer = request(from_vornelix, to_vornelix, command.substr(5));
        } else if (command.rfind("raw:", 0) == 0) {
            const std::string bytes = command.substr(4);
            answer = fwrite(bytes.data(), 1, bytes.size(), to_vornelix) == bytes.size() && fflush(to_vornelix) == 0
                         ? "+sent"
                         : failure("write");
        } else if (command == "exit") {
            write_frame(to_test, "+bye");
            return 0;
        } else {
            answer = "!unknown command";
        }
        if (write_frame(to_test, answer) != 0)
            return 5;
    }
    return 0;
}
