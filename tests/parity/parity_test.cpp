// Runs every case of the tables in a native tmpfs and through one vornelix
// mount per table, each case in its own directory of both trees, and
// compares the answers; after each case the replicas must still agree and
// none may have been taken out of service.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "tests/parity/parity.h"
#include "tests/support/mount_harness.h"
#include "tests/support/tree_listing.h"

namespace parity {
namespace {

// The mount's flags among those that change what the kernel allows
// (nosuid, nodev, noexec), so that the native tree gets the same.
std::string restricting_flags(const std::string& point)
{
    std::ifstream mounts("/proc/self/mounts");
    std::string device, at, type, flags, rest;
    while (mounts >> device >> at >> type >> flags) {
        std::getline(mounts, rest);
        if (at != point)
            continue;
        std::string chosen;
        std::istringstream words(flags);
        std::string word;
        while (std::getline(words, word, ','))
            if (word == "nosuid" || word == "nodev" || word == "noexec")
                chosen += (chosen.empty() ? "" : ",") + word;
        return chosen;
    }
    return "";
}

class mount_vs_native : public testing::TestWithParam<parity_case> {
protected:
    // One mount and one native tree for all the cases of a table.
    static void SetUpTestSuite()
    {
        files_ = std::make_unique<scratch_dir>();
        // The daemon's group database: alice and bob are members of
        // `listed`, which neither has among its process groups.
        write_file(*files_ / "passwd", "alice:x:1001:1001::/:/bin/sh\nbob:x:1002:1002::/:/bin/sh\n");
        write_file(*files_ / "group", "alice:x:1001:\nbob:x:1002:\nlisted:x:1500:alice,bob\n");
        mount_options options;
        // The kernel's caches as every user has them: what a reply leaves
        // out of date shows in the attributes compared.
        options.no_cache = false;
        options.environment = {"LD_PRELOAD=libnss_wrapper.so", "NSS_WRAPPER_PASSWD=" + (*files_ / "passwd"),
                               "NSS_WRAPPER_GROUP=" + (*files_ / "group"),
                               "ASAN_OPTIONS=verify_asan_link_order=0"};
        mount_ = std::make_unique<test_mount>(options);
        native_ = *files_ / "native";
        mkdir(native_.c_str(), 0755);
        const std::string flags = restricting_flags(mount_->mnt());
        const unsigned long bits = (flags.find("nosuid") != std::string::npos ? MS_NOSUID : 0) |
                                   (flags.find("nodev") != std::string::npos ? MS_NODEV : 0) |
                                   (flags.find("noexec") != std::string::npos ? MS_NOEXEC : 0);
        native_mounted_ = mount("parity", native_.c_str(), "tmpfs", bits, "mode=0755") == 0 &&
                          restricting_flags(native_) == flags;
    }

    static void TearDownTestSuite()
    {
        umount2(native_.c_str(), MNT_DETACH);
        if (mount_->mounted()) {
            EXPECT_EQ(mount_->unmount(), 0) << mount_->log_text();
        }
        mount_.reset();
        files_.reset();
    }

    static std::unique_ptr<scratch_dir> files_;
    static std::unique_ptr<test_mount> mount_;
    static std::string native_;
    static bool native_mounted_;
};

std::unique_ptr<scratch_dir> mount_vs_native::files_;
std::unique_ptr<test_mount> mount_vs_native::mount_;
std::string mount_vs_native::native_;
bool mount_vs_native::native_mounted_ = false;

struct timespec a_moment_ago()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    now.tv_sec -= 1;
    return now;
}

TEST_P(mount_vs_native, agrees)
{
    const parity_case& c = GetParam();
    ASSERT_TRUE(native_mounted_) << "the native tmpfs could not be mounted like the mount";
    ASSERT_TRUE(mount_->mounted()) << mount_->daemon_stderr();
    const std::string native = native_ + "/" + c.name, mounted = mount_->at(c.name);
    const std::size_t log_before = mount_->log_text().size();
    // Times from here on show as "recent"; older ones only come from the
    // fixed stamps of the setup.
    const struct timespec since = a_moment_ago();

    for (const std::string& tree : {native, mounted})
        ASSERT_EQ(errno_names(results_as(root, [&] { return results{dir(where(tree), "", 0755, 0, 0)}; })), "0");
    const results native_setup = results_as(root, [&] { return c.setup(where(native)); });
    ASSERT_EQ(errno_names(native_setup), errno_names(results(native_setup.size(), 0))) << "native setup";
    EXPECT_EQ(errno_names(results_as(root, [&] { return c.setup(where(mounted)); })), errno_names(native_setup))
        << "setup through the mount";

    const results on_native = results_as(c.actor, [&] { return c.action(where(native)); });
    const results on_mount = results_as(c.actor, [&] { return c.action(where(mounted)); });
    EXPECT_EQ(errno_names(on_native), errno_names(c.expected)) << "the kernel's answers";
    if (c.mount_differs.empty()) {
        EXPECT_EQ(errno_names(on_mount), errno_names(on_native)) << "answers through the mount";
    } else {
        EXPECT_EQ(errno_names(on_mount), errno_names(c.on_mount)) << c.mount_differs;
    }
    EXPECT_EQ(attributes_of(mounted, c.observed, c.times, since), attributes_of(native, c.observed, c.times, since))
        << "attributes through the mount (left) and native (right)";
    EXPECT_EQ(attributes_of(mount_->in_replica(0, c.name), c.observed, c.times, since),
              attributes_of(native, c.observed, c.times, since))
        << "attributes in replica 0 (left) and native (right)";
    const std::string first = tree_listing(mount_->in_replica(0, c.name));
    EXPECT_EQ(listing_difference(first, tree_listing(mount_->in_replica(1, c.name))), "") << "replicas 0 and 1";
    const std::string log = mount_->log_text();
    EXPECT_EQ(log.find("disabling", log_before), std::string::npos) << log.substr(log_before);
}

std::string case_name(const testing::TestParamInfo<parity_case>& info)
{
    return info.param.name;
}

}  // namespace

void PrintTo(const parity_case& c, std::ostream* out)
{
    *out << c.name;
}

INSTANTIATE_TEST_SUITE_P(groups, mount_vs_native, testing::ValuesIn(group_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(ownership, mount_vs_native, testing::ValuesIn(ownership_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(names, mount_vs_native, testing::ValuesIn(namespace_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(opens, mount_vs_native, testing::ValuesIn(open_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(times, mount_vs_native, testing::ValuesIn(time_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(xattrs, mount_vs_native, testing::ValuesIn(xattr_cases()), case_name);
INSTANTIATE_TEST_SUITE_P(identity, mount_vs_native, testing::ValuesIn(identity_cases()), case_name);

}  // namespace parity
