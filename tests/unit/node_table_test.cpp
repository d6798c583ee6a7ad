// The kernel's nodes: one node per file whatever its names, paths that
// follow renames, numbers that survive forgetting, lookups counted.
#include <gtest/gtest.h>

#include <string>

#include "fs/kernel/node_table.h"

namespace {

struct stat file(ino_t ino, mode_t type = S_IFREG)
{
    struct stat st {};
    st.st_dev = 7;
    st.st_ino = ino;
    st.st_mode = type | 0644;
    return st;
}

uint64_t learn(uint64_t parent, const char* name, ino_t ino, mode_t type = S_IFREG)
{
    struct stat st = file(ino, type);
    const uint64_t node = learn_node(parent, name, st);
    EXPECT_EQ(st.st_ino, ino) << name;
    return node;
}

std::string path(uint64_t node)
{
    std::string p;
    return node_path(node, p) ? p : "(none)";
}

class node_table_test : public ::testing::Test {
protected:
    void SetUp() override { node_table_start(file(2, S_IFDIR)); }
    void TearDown() override { node_table_clear(); }
};

TEST_F(node_table_test, every_name_of_a_file_is_one_node_until_the_last_name_goes)
{
    const uint64_t d = learn(root_node, "d", 10, S_IFDIR);
    const uint64_t first = learn(root_node, "a", 11);
    const uint64_t second = learn(d, "b", 11);
    EXPECT_EQ(first, second);
    EXPECT_EQ(path(first), "/a");
    drop_name(root_node, "a");
    EXPECT_EQ(path(first), "/d/b");
    note_open_handle(first, 42);
    drop_name(d, "b");
    EXPECT_EQ(path(first), "(none)");
    {
        const borrowed_handle borrowed(first);
        ASSERT_TRUE(borrowed.held());
        EXPECT_EQ(borrowed.handle(), 42u);
    }
    note_closed_handle(first, 42);
    EXPECT_FALSE(borrowed_handle(first).held());
}

TEST_F(node_table_test, renames_move_every_path_beneath_and_replace_the_target)
{
    const uint64_t d = learn(root_node, "d", 10, S_IFDIR);
    const uint64_t f = learn(d, "f", 11);
    const uint64_t g = learn(root_node, "g", 12);
    move_name(root_node, "d", root_node, "e");
    EXPECT_EQ(path(f), "/e/f");
    move_name(d, "f", root_node, "g");
    EXPECT_EQ(path(f), "/g");
    EXPECT_EQ(path(g), "(none)");
    // Two names of one file: renaming one onto the other leaves both.
    const uint64_t h = learn(root_node, "h", 13);
    EXPECT_EQ(learn(root_node, "h2", 13), h);
    move_name(root_node, "h", root_node, "h2");
    drop_name(root_node, "h2");
    EXPECT_EQ(path(h), "/h");
    EXPECT_TRUE(name_may_be_directory(root_node, "e"));
    EXPECT_FALSE(name_may_be_directory(root_node, "g"));
    EXPECT_TRUE(name_may_be_directory(root_node, "never seen"));
}

TEST_F(node_table_test, a_name_that_now_leads_to_another_file_leaves_the_old_one)
{
    const uint64_t old_file = learn(root_node, "x", 20);
    const uint64_t new_file = learn(root_node, "x", 21);
    EXPECT_NE(old_file, new_file);
    EXPECT_EQ(path(new_file), "/x");
    EXPECT_EQ(path(old_file), "(none)");
}

// tmpfs gives a freed inode number to the next file: a node the kernel
// still holds must not become that file.
TEST_F(node_table_test, a_number_given_again_to_a_new_file_makes_a_new_node)
{
    const uint64_t removed = learn(root_node, "a", 40);
    drop_name(root_node, "a");
    EXPECT_NE(learn(root_node, "b", 40), removed);
    // Removed behind the table's back, the number now a directory's.
    const uint64_t file_node = learn(root_node, "x", 50);
    EXPECT_NE(learn(root_node, "y", 50, S_IFDIR), file_node);
}

// A lookup that a change of names overlapped learns nothing: the name it
// found may already lead elsewhere.
TEST_F(node_table_test, a_lookup_overlapped_by_a_change_of_names_learns_nothing)
{
    const name_epoch before = name_epoch_now();
    struct stat st = file(60);
    EXPECT_NE(learn_node_since(root_node, "a", st, -1, before), 0u);
    name_epoch during{};
    {
        const name_change change;
        during = name_epoch_now();
        EXPECT_TRUE(names_moved_since(before));
    }
    EXPECT_TRUE(names_moved_since(during));
    st = file(61);
    EXPECT_EQ(learn_node_since(root_node, "b", st, -1, before), 0u);
    const name_epoch after = name_epoch_now();
    EXPECT_FALSE(names_moved_since(after));
    EXPECT_NE(learn_node_since(root_node, "b", st, -1, after), 0u);
}

TEST_F(node_table_test, lookups_are_counted_and_a_forgotten_file_keeps_its_number)
{
    const uint64_t node = learn(root_node, "a", 30);
    EXPECT_EQ(learn(root_node, "a", 30), node);
    const size_t held = node_count();
    forget_node(node, 1);
    EXPECT_EQ(node_count(), held);
    forget_node(node, 1);
    EXPECT_EQ(node_count(), held - 1);
    EXPECT_EQ(path(node), "(none)");
    EXPECT_EQ(name_count(), 0u);
    // Looked up again: a new node, the same number shown (learn checks it).
    EXPECT_NE(learn(root_node, "a", 30), node);
    forget_node(root_node, 5);
    EXPECT_EQ(path(root_node), "/");
}

}  // namespace
