// Replicas that left service for a reason of their own stay out, however
// many times the healing looks: only the administrator brings them back.
// The probe program stands in for vornctl, so the test can ask how many
// probe rounds have passed and never has to guess at times.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/mount_harness.h"
#include "tests/support/probe_install.h"
#include "tests/support/replica_compare.h"

namespace {

// The probe rounds so far, from a reply "+LLLLdigits"; -1 when there is none.
int64_t rounds(probe_install& probe)
{
    const std::string reply = probe.send("heal");
    if (reply.size() <= 5 || reply[0] != '+')
        return -1;
    try {
        return std::stoll(reply.substr(5));
    } catch (...) {
        return -1;
    }
}

enum class departure_by { administrator, full_disk };

TEST(healing, a_replica_out_for_a_reason_of_its_own_stays_out)
{
    const struct {
        const char* name;
        departure_by how;
        const char* logged;  // after "disabling replica ", before the root
    } rows[] = {
        {"disabled by the administrator", departure_by::administrator, ""},
        {"disabled by a full disk", departure_by::full_disk, "failed accessing "},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        scratch_dir replicas;
        const std::vector<std::string> roots = {replicas / "r0", replicas / "small"};
        for (const std::string& root : roots)
            mkdir(root.c_str(), 0755);
        const bool small = row.how == departure_by::full_disk;
        if (small) {
            ASSERT_EQ(mount("tmpfs", roots[1].c_str(), "tmpfs", 0, "size=1m,mode=0755"), 0);
        }
        {
            probe_install probe;
            mount_options options = with_probe(probe);
            options.replica_roots = roots;
            options.mount_tokens = {"heal_interval=0.1"};
            test_mount m(options);
            ASSERT_TRUE(m.mounted()) << m.daemon_stderr();
            ASSERT_TRUE(probe.accept_probe()) << m.log_text();
            write_file(m.at("fits"), "on both");
            if (small)
                write_file(m.at("big"), std::string(4 << 20, 'b'));
            else
                EXPECT_EQ(probe.send("disable:01"), "+0002OK");
            EXPECT_EQ(probe.send("stat:01"), "+00012") << m.log_text();
            EXPECT_NE(m.log_text().find(std::string("disabling replica ") + row.logged + roots[1]), std::string::npos)
                << m.log_text();

            const int64_t first = rounds(probe);
            ASSERT_GE(first, 0);
            ASSERT_TRUE(eventually([&] { return rounds(probe) >= first + 5; })) << m.log_text();
            EXPECT_EQ(probe.send("stat:01"), "+00012");
            EXPECT_EQ(m.log_text().find("answers again"), std::string::npos) << m.log_text();

            // The administrator makes room and brings it back.
            if (small)
                unlink(m.at("big").c_str());
            EXPECT_EQ(probe.send("resync:01"), "+0002OK");
            EXPECT_TRUE(eventually([&] { return probe.send("stat:01") == "+00010"; })) << m.log_text();
            EXPECT_EQ(m.unmount(), 0) << m.daemon_stderr();
            EXPECT_EQ(replica_differences(roots), "");
        }
        if (small)
            umount2(roots[1].c_str(), MNT_DETACH);
    }
}

}  // namespace
