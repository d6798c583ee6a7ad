#include "tests/support/probe_install.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "common/frame.h"

namespace {

void copy_executable(const std::string& from, const std::string& to)
{
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    chmod(to.c_str(), 0755);
}

}  // namespace

probe_install::probe_install(bool with_probe)
{
    copy_executable(VORNELIX_BINARY, program());
    if (with_probe)
        copy_executable(std::string(TEST_HELPERS_DIR) + "/control_probe", bin_ / "xvornctl");
    else
        write_file(bin_ / "xvornctl", "#!/bin/sh\nexit 0\n", 0755);
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = bin_ / "probe.sock";
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener_, 1) != 0)
        ADD_FAILURE() << "cannot listen on " << path;
}

probe_install::~probe_install()
{
    if (in_ != nullptr)
        fclose(in_);
    if (out_ != nullptr)
        fclose(out_);
    close(listener_);
}

bool probe_install::accept_probe(int timeout_ms)
{
    pollfd ready{listener_, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) != 1)
        return false;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return false;
    timeval limit{60, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    in_ = fdopen(fd, "r");
    out_ = fdopen(dup(fd), "w");
    return in_ != nullptr && out_ != nullptr;
}

std::string probe_install::command(const std::string& text)
{
    std::string reply;
    if (out_ == nullptr || write_frame(out_, text) != 0 || read_message(in_, reply) != 0)
        return "<no answer from the probe>";
    return reply;
}

mount_options with_probe(const probe_install& probe, int replicas)
{
    mount_options options;
    options.control = true;
    options.program = probe.program();
    options.replicas = replicas;
    return options;
}
