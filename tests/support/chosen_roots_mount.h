// A vornelix mount over replica roots that the test chooses (test_mount
// makes its own r0, r1, ...), for cases that depend on where a replica
// sits: under a closed directory, or with a long root. Same options as
// test_mount's default; unmounts and reaps the daemon at the end.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class chosen_roots_mount {
public:
    chosen_roots_mount(const std::vector<std::string>& roots, const std::string& mnt, const std::string& log);
    ~chosen_roots_mount();
    chosen_roots_mount(const chosen_roots_mount&) = delete;
    chosen_roots_mount& operator=(const chosen_roots_mount&) = delete;

    bool mounted() const;
    const std::string& start_output() const { return start_output_; }
    // Unmounts and waits for the daemon; its exit status, or -1.
    int unmount();

private:
    std::string mnt_, start_output_;
    pid_t daemon_ = -1;
};
