#include "ctl/tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ctl/check_script.h"
#include "tests/support/mount_harness.h"

namespace {

class ctl_tree_test : public ::testing::Test {
protected:
    scratch_dir dir;

    void SetUp() override
    {
        ctl_path = dir / "ctl";
        ASSERT_EQ(mkdir(ctl_path.c_str(), 0500), 0);
        ASSERT_EQ(chown(ctl_path.c_str(), 2001, 3001), 0);
    }
    void TearDown() override
    {
        free_nodes(tree_root.children);
        replica_entries.clear();
        ctl_path.clear();
    }
};

TEST(replica_entry_name, slashes_become_underscores)
{
    EXPECT_EQ(replica_entry_name("/data/r1", "/mnt"), "/_data_r1");
    EXPECT_EQ(replica_entry_name("/", "/mnt"), "/_");
    // The replica under the mount point is named after the mount point:
    // "/." would list as a second "." that no path reaches.
    EXPECT_EQ(replica_entry_name(".", "/srv/replicated"), "/_srv_replicated");
}

TEST_F(ctl_tree_test, nodes_numbered_in_creation_order_with_fixed_attributes)
{
    replica_entries = {"/_data_r1", "/_data_r2", "/_data_r3"};
    ASSERT_EQ(build_tree(), 0);

    auto expect_node = [](const ctl_node& node, const char* name, mode_t mode, ino_t ino, off_t size) {
        SCOPED_TRACE(name);
        EXPECT_EQ(node.name, name);
        EXPECT_EQ(node.attributes.st_mode, mode);
        EXPECT_EQ(node.attributes.st_ino, ino);
        EXPECT_EQ(node.attributes.st_size, size);
        EXPECT_EQ(node.attributes.st_nlink, 0u);
        EXPECT_EQ(node.attributes.st_uid, 2001u);
        EXPECT_EQ(node.attributes.st_gid, 3001u);
        EXPECT_EQ(node.attributes.st_dev, 0u);
        EXPECT_EQ(node.attributes.st_mtime, 0);
        EXPECT_EQ(node.attributes.st_atime, 0);
        EXPECT_EQ(node.attributes.st_ctime, 0);
    };
    expect_node(tree_root, "/", 040550, 1, 1);
    ASSERT_EQ(tree_root.children.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const ctl_node& replica = tree_root.children[i];
        expect_node(replica, replica_entries[i].c_str(), 040550, 2 + 4 * i, 1);
        ASSERT_EQ(replica.children.size(), 3u);
        expect_node(replica.children[0], "/status", 0100660, 3 + 4 * i, 1);
        expect_node(replica.children[1], "/check_vornelix.sh", 0100550, 4 + 4 * i, 746);
        expect_node(replica.children[2], "/progress", 0100440, 5 + 4 * i, 0);
        EXPECT_TRUE(replica.children[0].children.empty());
    }

    // Built again (a second start-up in the same process), numbering
    // starts over.
    replica_entries = {"/_only"};
    ASSERT_EQ(build_tree(), 0);
    EXPECT_EQ(tree_root.children.size(), 1u);
    EXPECT_EQ(tree_root.children[0].children[1].attributes.st_ino, 4u);
}

TEST_F(ctl_tree_test, no_replicas_gives_a_bare_root)
{
    ASSERT_EQ(build_tree(), 0);
    EXPECT_EQ(tree_root.name, "/");
    EXPECT_TRUE(tree_root.children.empty());
}

TEST_F(ctl_tree_test, missing_control_directory_fails)
{
    ctl_path = dir / "absent";
    replica_entries = {"/_data_r1"};
    EXPECT_EQ(build_tree(), -1);
    EXPECT_TRUE(tree_root.children.empty());
}

TEST_F(ctl_tree_test, find_node_matches_whole_components)
{
    replica_entries = {"/_data_r1", "/_data_r10"};
    ASSERT_EQ(build_tree(), 0);
    const auto& top = tree_root.children;

    int index = -1;
    const ctl_node* node = find_node("/_data_r10/status", top, -1, &index);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node, &top[1].children[0]);
    EXPECT_EQ(find_node("/_data_r1/check_vornelix.sh", top, -1), &top[0].children[1]);
    EXPECT_EQ(find_node("/_data_r1", top, -1), &top[0]);

    // Depth 0 stops at the replica directory: its index is the replica.
    EXPECT_EQ(find_node("/_data_r10/status", top, 0, &index), &top[1]);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(find_node("/_data_r1/status", top, 0, &index), &top[0]);
    EXPECT_EQ(index, 0);

    EXPECT_EQ(find_node("/_data_r", top, -1), nullptr);
    EXPECT_EQ(find_node("/_data_r1/nope", top, -1), nullptr);
    EXPECT_EQ(find_node("/_data_r1/status/below", top, -1), nullptr);
    EXPECT_EQ(find_node("/_data_r2/status", top, -1), nullptr);
    EXPECT_EQ(find_node("/_data_r1/statusx", top, -1), nullptr);
}

TEST(parent_path, drops_the_last_component)
{
    std::string parent = "untouched";
    ASSERT_TRUE(parent_path("/", parent));
    EXPECT_EQ(parent, "");
    ASSERT_TRUE(parent_path("/_data_r1", parent));
    EXPECT_EQ(parent, "/");
    ASSERT_TRUE(parent_path("/_data_r1/status", parent));
    EXPECT_EQ(parent, "/_data_r1");
}

TEST_F(ctl_tree_test, free_nodes_releases_everything)
{
    replica_entries = {"/_a", "/_b"};
    ASSERT_EQ(build_tree(), 0);
    free_nodes(tree_root.children);
    EXPECT_TRUE(tree_root.children.empty());
    EXPECT_EQ(tree_root.children.capacity(), 0u);
}

}  // namespace
