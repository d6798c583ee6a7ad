#include "fs/engine/first_start.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fs/engine/event_log.h"
#include "fs/engine/process_state.h"
#include "fs/engine/replicas.h"
#include "fs/engine/tree_compare.h"
#include "fs/engine/tree_walk.h"

namespace {

// Differences named in a refusal: enough to see what kind of difference
// it is, without flooding the terminal with a whole tree.
constexpr size_t differences_named = 5;

std::string joined(const std::vector<first_start_replica>& replicas, const std::vector<int>& which)
{
    std::string text;
    for (size_t i = 0; i < which.size(); ++i) {
        if (i > 0)
            text += i + 1 == which.size() ? " and " : ", ";
        text += replicas[which[i]].root;
    }
    return text;
}

// Whether the entry of dir is an empty directory.
bool empty_directory_at(int dir, const char* name) noexcept
{
    unique_fd fd(open_to_read(dir, name, O_DIRECTORY));
    std::vector<std::string> names;
    return fd && list_directory(fd.get(), names) == 0 && names.empty();
}

}  // namespace

first_start_plan plan_first_start(const std::vector<first_start_replica>& replicas, int source,
                                  const tree_comparison& compare)
{
    const int count = static_cast<int>(replicas.size());
    first_start_plan plan;
    plan.states.assign(replicas.size(), replica_state::in_service);
    if (source >= 0 && source < count) {
        for (int k = 0; k < count; ++k)
            if (k != source) {
                plan.states[k] = replica_state::behind;
                plan.fill.push_back(k);
            }
        plan.message = "first start from the source " + replicas[source].root + ": the other replicas are filled from it";
        return plan;
    }
    std::vector<int> full;
    std::vector<int> empty;
    for (int k = 0; k < count; ++k)
        (replicas[k].empty ? empty : full).push_back(k);
    if (full.empty())
        return plan;
    if (full.size() >= 2) {
        std::vector<std::string> roots;
        for (int k : full)
            roots.push_back(replicas[k].root);
        std::string differences;
        const int compared = compare(roots, differences);
        if (compared != 0) {
            plan.refused = true;
            plan.message = compared == 1
                ? "the replicas " + joined(replicas, full) +
                      " hold different trees; name the one to keep with -o source=PATH (what only the others "
                      "hold is then removed), or make them the same. First differences:\n" + differences
                : "the replicas " + joined(replicas, full) + " could not be compared: " + differences;
            while (!plan.message.empty() && plan.message.back() == '\n')
                plan.message.pop_back();
            return plan;
        }
    }
    if (empty.empty())
        return plan;
    for (int k : empty) {
        plan.states[k] = replica_state::behind;
        plan.fill.push_back(k);
    }
    plan.message = "first start: the empty " + std::string(empty.size() == 1 ? "replica " : "replicas ") +
                   joined(replicas, empty) + (empty.size() == 1 ? " is" : " are") + " filled from " +
                   replicas[full[0]].root;
    return plan;
}

bool root_is_empty(int fd, const std::string& path, int& error) noexcept
{
    error = 0;
    unique_fd opened;
    if (fd < 0) {
        opened.reset(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!opened) {
            error = errno;
            return false;
        }
        fd = opened.get();
    }
    std::vector<std::string> names;
    if (list_tree_names(fd, "/", names) == -1) {
        error = errno;
        return false;
    }
    return names.empty() ||
           (names.size() == 1 && names[0] == "lost+found" && empty_directory_at(fd, "lost+found"));
}

int compare_first_start_trees(const std::vector<std::string>& roots, std::string& differences)
{
    char* out_text = nullptr;
    size_t out_size = 0;
    char* err_text = nullptr;
    size_t err_size = 0;
    FILE* out = open_memstream(&out_text, &out_size);
    FILE* err = open_memstream(&err_text, &err_size);
    int result = verify_failed;
    if (out != nullptr && err != nullptr)
        result = verify_replicas(roots, out, err, false, differences_named);
    if (out != nullptr)
        std::fclose(out);
    if (err != nullptr)
        std::fclose(err);
    if (out == nullptr || err == nullptr)
        differences = std::strerror(ENOMEM);
    else
        differences = result == verify_failed ? std::string(err_text, err_size) : std::string(out_text, out_size);
    std::free(out_text);
    std::free(err_text);
    return result;
}

namespace {

// Empty replicas are one tree only once their roots agree too: the mount's
// root shows the first replica's owner, mode and times, and would show
// another's after that one left service. Nothing else on an empty replica
// can be lost by it.
void align_empty_roots() noexcept
{
    struct stat first;
    if (fstat(replica_at(0).root_fd, &first) == -1)
        return;
    const struct timespec times[2] = {first.st_atim, first.st_mtim};
    for (int k = 1; k < state().replicas.count; ++k) {
        const int root = replica_at(k).root_fd;
        if (fchown(root, first.st_uid, first.st_gid) == -1 || fchmod(root, first.st_mode & 07777) == -1 ||
            futimens(root, times) == -1)
            write_log("first start: giving the root the first replica's owner, mode and times",
                      replica_at(k).root, errno);
    }
}

}  // namespace

bool settle_first_start(int source, std::vector<replica_state>& states, std::vector<int>& fill)
{
    std::vector<first_start_replica> replicas(state().replicas.count);
    for (int k = 0; k < state().replicas.count; ++k) {
        const bool under_mount = replica_at(k).root == mount_point_replica_root;
        replicas[k].root = under_mount && !state().mount.path.empty() ? state().mount.path : replica_at(k).root;
        int error = 0;
        replicas[k].empty = root_is_empty(k == 0 && under_mount ? state().mount.directory : -1,
                                          replicas[k].root, error);
        if (error != 0) {
            print_error(error, replicas[k].root.c_str());
            write_log("first start: reading replica", replica_at(k).root, error);
            return false;
        }
    }
    const first_start_plan plan = plan_first_start(replicas, source, compare_first_start_trees);
    if (plan.refused) {
        print_message("vornelix", plan.message);
        std::string line = plan.message;
        std::replace(line.begin(), line.end(), '\n', ' ');
        write_event("start refused: " + line, state().mount.path);
        return false;
    }
    states = plan.states;
    fill = plan.fill;
    if (!plan.message.empty())
        write_event(plan.message, state().mount.path);
    if (std::all_of(replicas.begin(), replicas.end(), [](const first_start_replica& r) { return r.empty; }))
        align_empty_roots();
    return true;
}
