#include "file_ops.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scratch_dir.h"

using test_support::exists;
using test_support::mode_of;
using test_support::read_file;
using test_support::scratch_dir;
using test_support::write_file;

namespace {

ino_t inode_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Sets the umask for one test and restores it afterwards.
struct umask_guard {
    mode_t saved;
    explicit umask_guard(mode_t mask) : saved(umask(mask)) {}
    ~umask_guard() { umask(saved); }
};

std::string several_blocks() {
    std::string content;
    for (int i = 0; i < 3 * 4096 + 17; ++i) content += static_cast<char>(i * 7 % 256);
    return content;
}

TEST(CopyWholeFile, CopiesExactBytesOverAnExistingFile) {
    scratch_dir dir;
    const std::string content = several_blocks();
    write_file(dir / "src", content);
    write_file(dir / "dst", std::string(50000, 'x'));  // longer than the source
    const ino_t inode = inode_of(dir / "dst");

    ASSERT_TRUE(updater::copy_whole_file(dir / "src", dir / "dst"));
    EXPECT_EQ(read_file(dir / "dst"), content);
    EXPECT_EQ(inode_of(dir / "dst"), inode) << "the copy is made in place";
    EXPECT_EQ(read_file(dir / "src"), content);
}

TEST(CopyWholeFile, EmptySourceEmptiesTheDestination) {
    scratch_dir dir;
    write_file(dir / "src", "");
    write_file(dir / "dst", "old");
    ASSERT_TRUE(updater::copy_whole_file(dir / "src", dir / "dst"));
    EXPECT_EQ(read_file(dir / "dst"), "");
}

TEST(CopyWholeFile, FailuresBeforeWritingLeaveTheDestinationAlone) {
    scratch_dir dir;
    EXPECT_FALSE(updater::copy_whole_file(dir / "missing", dir / "dst"));
    EXPECT_FALSE(exists(dir / "dst"));

    write_file(dir / "src", "new");
    mkdir((dir / "a directory").c_str(), 0755);
    EXPECT_FALSE(updater::copy_whole_file(dir / "src", dir / "a directory"));
    EXPECT_FALSE(updater::copy_whole_file(dir / "src", dir / "no/such/parent"));
}

TEST(CopyWholeFile, NewDestinationGetsOnlyTheOwnerBitsOfTheSource) {
    umask_guard mask(022);
    scratch_dir dir;
    write_file(dir / "exe", "#!");
    chmod((dir / "exe").c_str(), 0755);
    write_file(dir / "data", "d");
    chmod((dir / "data").c_str(), 0644);
    write_file(dir / "existing", "old");
    chmod((dir / "existing").c_str(), 0644);

    ASSERT_TRUE(updater::copy_whole_file(dir / "exe", dir / "new_exe"));
    ASSERT_TRUE(updater::copy_whole_file(dir / "data", dir / "new_data"));
    ASSERT_TRUE(updater::copy_whole_file(dir / "exe", dir / "existing"));
    EXPECT_EQ(mode_of(dir / "new_exe"), 0700u);
    EXPECT_EQ(mode_of(dir / "new_data"), 0600u);
    EXPECT_EQ(mode_of(dir / "existing"), 0644u);
    EXPECT_EQ(read_file(dir / "existing"), "#!");
}

TEST(CopyWholeFile, FollowsSymlinks) {
    scratch_dir dir;
    write_file(dir / "real_src", "content");
    write_file(dir / "real_dst", "old");
    ASSERT_EQ(symlink("real_src", (dir / "src").c_str()), 0);
    ASSERT_EQ(symlink("real_dst", (dir / "dst").c_str()), 0);
    ASSERT_TRUE(updater::copy_whole_file(dir / "src", dir / "dst"));
    EXPECT_EQ(read_file(dir / "real_dst"), "content");
}

TEST(CopyWholeFile, SameFileIsLeftIntact) {
    scratch_dir dir;
    write_file(dir / "target", "the new content");
    ASSERT_EQ(link((dir / "target").c_str(), (dir / "hard.rep").c_str()), 0);
    ASSERT_EQ(symlink("target", (dir / "soft.rep").c_str()), 0);

    EXPECT_TRUE(updater::copy_whole_file(dir / "hard.rep", dir / "target"));
    EXPECT_TRUE(updater::copy_whole_file(dir / "soft.rep", dir / "target"));
    EXPECT_TRUE(updater::copy_whole_file(dir / "target", dir / "target"));
    // A target that is a symlink to its staged copy would dangle once the copy is deleted.
    ASSERT_EQ(symlink("target", (dir / "p2").c_str()), 0);
    EXPECT_FALSE(updater::copy_whole_file(dir / "target", dir / "p2"));
    EXPECT_EQ(read_file(dir / "target"), "the new content");
}

TEST(DeleteFile, RemovesTheNameOnly) {
    scratch_dir dir;
    write_file(dir / "target", "kept");
    ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
    EXPECT_TRUE(updater::delete_file(dir / "link"));
    EXPECT_FALSE(exists(dir / "link"));
    EXPECT_EQ(read_file(dir / "target"), "kept");
    EXPECT_FALSE(updater::delete_file(dir / "link"));
}

TEST(ReplaceByRename, SwapsInNewContentWithTheTargetsMode) {
    scratch_dir dir;
    const std::string content = several_blocks();
    write_file(dir / "prog.rep", content);
    chmod((dir / "prog.rep").c_str(), 0600);
    write_file(dir / "prog", "old program");
    chmod((dir / "prog").c_str(), 0751);
    const ino_t old_inode = inode_of(dir / "prog");

    ASSERT_TRUE(updater::replace_by_rename(dir / "prog.rep", dir / "prog"));
    EXPECT_EQ(read_file(dir / "prog"), content);
    EXPECT_EQ(mode_of(dir / "prog"), 0751u);
    EXPECT_NE(inode_of(dir / "prog"), old_inode) << "a new file, not an in-place write";
    EXPECT_FALSE(exists(dir / "prog.updating"));
    EXPECT_EQ(read_file(dir / "prog.rep"), content);
}

TEST(ReplaceByRename, ClearsALeftoverTemporaryFile) {
    scratch_dir dir;
    write_file(dir / "prog.rep", "new");
    write_file(dir / "prog", "old");
    write_file(dir / "elsewhere", "must survive");
    // A leftover that is a symlink must be replaced, not written through.
    ASSERT_EQ(symlink("elsewhere", (dir / "prog.updating").c_str()), 0);
    ASSERT_TRUE(updater::replace_by_rename(dir / "prog.rep", dir / "prog"));
    EXPECT_EQ(read_file(dir / "prog"), "new");
    EXPECT_EQ(read_file(dir / "elsewhere"), "must survive");
}

TEST(ReplaceByRename, FailureLeavesTargetAndNoTemporary) {
    scratch_dir dir;
    write_file(dir / "prog", "old");
    EXPECT_FALSE(updater::replace_by_rename(dir / "missing.rep", dir / "prog"));
    EXPECT_EQ(read_file(dir / "prog"), "old");
    EXPECT_FALSE(exists(dir / "prog.updating"));

    write_file(dir / "x.rep", "new");
    EXPECT_FALSE(updater::replace_by_rename(dir / "x.rep", dir / "no_target"));
    EXPECT_FALSE(exists(dir / "no_target"));
    EXPECT_FALSE(exists(dir / "no_target.updating"));
}

TEST(InstallStagedCopy, RenamesOnlyOverTheRunningExecutable) {
    scratch_dir dir;
    write_file(dir / "plain", "old");
    write_file(dir / "plain.rep", "new");
    const ino_t inode = inode_of(dir / "plain");
    ASSERT_TRUE(updater::install_staged_copy(dir / "plain.rep", dir / "plain"));
    EXPECT_EQ(read_file(dir / "plain"), "new");
    EXPECT_EQ(inode_of(dir / "plain"), inode);

    EXPECT_TRUE(updater::is_running_executable("/proc/self/exe"));
    EXPECT_FALSE(updater::is_running_executable(dir / "plain"));
    EXPECT_FALSE(updater::is_running_executable(dir / "missing"));
}

}  // namespace
