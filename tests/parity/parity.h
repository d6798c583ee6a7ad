// The differential parity suite: scripted cases that run once in a native
// tmpfs, where the kernel answers, and once through a vornelix mount. The
// errno of every step and the resulting attributes of the named paths must
// agree.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/user_process.h"

namespace parity {

// Given to alice with setgroups but listed for nobody in the group
// database; listed for alice and bob in the database but in nobody's
// process groups.
constexpr gid_t given = 4242, listed = 1500;
constexpr uid_t alice_id = 1001, bob_id = 1002;

inline const identity root{0, 0, {}};
inline const identity alice{alice_id, alice_id, {alice_id, given}};
inline const identity bob{bob_id, bob_id, {bob_id}};

using results = std::vector<int>;

// Names below one case's directory, as C strings that live as long as
// this object.
class where {
public:
    explicit where(std::string root) : root_(std::move(root)) {}
    const char* operator()(const std::string& name) const
    {
        names_.push_back(root_ + "/" + name);
        return names_.back().c_str();
    }

private:
    std::string root_;
    mutable std::deque<std::string> names_;
};

using script = std::function<results(const where&)>;

struct parity_case {
    std::string name{};
    script setup{};                     // run as root
    identity actor{};
    script action{};                    // run as actor
    results expected{};                 // what the kernel answers natively
    std::vector<std::string> observed{};  // names whose attributes are compared
    bool times = false;                 // compare atime and mtime too
    // A deliberate difference: what the mount answers instead, and why.
    std::string mount_differs{};
    results on_mount{};
};

// 0 for a successful call, else errno.
int e(long rc);

// open(path, O_WRONLY | O_CREAT | O_EXCL, mode) and close: 0 or errno.
int create(const char* path, mode_t mode);

// Setup steps, answering 0 or errno: each makes the object, then gives it
// its owner and mode explicitly (so neither the mask nor a set-group-ID
// parent leaves a trace).
int file(const where& at, const std::string& name, mode_t mode, uid_t uid, gid_t gid,
         const std::string& text = "0123456789");
int dir(const where& at, const std::string& name, mode_t mode, uid_t uid, gid_t gid);
int fifo(const where& at, const std::string& name, mode_t mode, uid_t uid, gid_t gid);
int device(const where& at, const std::string& name, mode_t mode, uid_t uid, gid_t gid, dev_t dev);
int link_to(const where& at, const std::string& name, const std::string& target, uid_t uid, gid_t gid);

// Fixed times long past, with nanoseconds, for cases that look at times.
extern const struct timespec early, later;
int stamp(const where& at, const std::string& name);  // atime early, mtime early

// The attributes of the observed names below root, one line each, with
// their extended attributes (access control lists as text); times set at
// or after since are shown as "recent", older ones exactly.
std::string attributes_of(const std::string& root, const std::vector<std::string>& names, bool times,
                          const struct timespec& since);

// Errno names ("0 EACCES ...") for readable comparisons.
std::string errno_names(const results& values);

// The case tables, one per concern.
std::vector<parity_case> group_cases();
std::vector<parity_case> ownership_cases();
std::vector<parity_case> namespace_cases();
std::vector<parity_case> open_cases();
std::vector<parity_case> time_cases();
std::vector<parity_case> xattr_cases();
std::vector<parity_case> identity_cases();

}  // namespace parity
