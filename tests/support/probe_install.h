// The control program's stand-in (tests/programs/control_probe) in place
// of vornctl: a copy of vornelix starts it on the real pipes, and the test
// has it send the requests it wants and reports the bytes that came back.
// For the control channel's own tests, and for requests that only tests
// make (the healing's probe rounds).
#pragma once

#include <cstdio>
#include <string>

#include "tests/support/mount_harness.h"

// A copy of vornelix named xvornelix, which starts xvornctl beside it: the
// last four characters of its name ("elix") give way to "ctl". The probe
// (or, without it, a script that ends at once) is installed under that
// name and reports back through probe.sock.
class probe_install {
public:
    explicit probe_install(bool with_probe = true);
    ~probe_install();
    probe_install(const probe_install&) = delete;
    probe_install& operator=(const probe_install&) = delete;

    std::string program() const { return bin_ / "xvornelix"; }

    // Waits for the probe started by the control thread to call in.
    bool accept_probe(int timeout_ms = 60000);

    // One command to the probe: "+" and the bytes vornelix answered, or
    // "!" and what failed.
    std::string command(const std::string& text);
    std::string send(const std::string& payload) { return command("send:" + payload); }

private:
    scratch_dir bin_;
    int listener_ = -1;
    FILE* in_ = nullptr;
    FILE* out_ = nullptr;
};

// Mount options that start the probe in place of vornctl.
mount_options with_probe(const probe_install& probe, int replicas = 2);
