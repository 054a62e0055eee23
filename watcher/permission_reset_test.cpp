#include "permission_reset.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "folder_trust.h"
#include "scratch_dir.h"

using test_support::mode_of;
using test_support::scratch_dir;
using test_support::write_file;

namespace {

mode_t own_mode(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

void make(const std::string& path, mode_t mode, bool directory = false) {
    if (directory) {
        ASSERT_EQ(mkdir(path.c_str(), mode), 0) << path;
    } else {
        write_file(path, "x");
    }
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// Runs the reset over `tree` as the daemon does, twice (the second finds nothing to change).
void reset(const std::string& tree) {
    watcher::trusted_folder trusted;
    ASSERT_EQ(watcher::trust_folder(tree.c_str(), 0, trusted), 0) << tree;
    watcher::reset_permissions(tree.c_str(), trusted);
    watcher::reset_permissions(tree.c_str(), trusted);
}

TEST(ResetPermissions, GivesWhatChmod777RecursiveGives) {
    scratch_dir dir;
    const std::string tree = dir / "tree";
    make(tree, 0700, true);
    make(tree + "/file", 0600);
    make(tree + "/setuid", 04755);
    make(tree + "/shared", 02750, true);  // a set-gid download directory stays set-gid
    make(tree + "/shared/deep", 01700, true);
    make(tree + "/shared/deep/f", 0640);
    ASSERT_EQ(mkfifo((tree + "/fifo").c_str(), 0600), 0);
    // Symlinks are neither followed nor changed.
    make(dir / "victim", 0600);
    make(dir / "victim-dir", 0700, true);
    make(dir / "victim-dir/inside", 0600);
    ASSERT_EQ(symlink((dir / "victim").c_str(), (tree + "/link").c_str()), 0);
    ASSERT_EQ(symlink((dir / "victim-dir").c_str(), (tree + "/shared/dir-link").c_str()), 0);

    testing::internal::CaptureStderr();
    reset(tree + "/");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    for (const char* path : {"", "/file", "/setuid", "/shared/deep", "/shared/deep/f", "/fifo"})
        EXPECT_EQ(own_mode(tree + path), 0777u) << path;
    EXPECT_EQ(own_mode(tree + "/shared"), 02777u);
    EXPECT_EQ(mode_of(dir / "victim"), 0600u);
    EXPECT_EQ(mode_of(dir / "victim-dir"), 0700u);
    EXPECT_EQ(mode_of(dir / "victim-dir/inside"), 0600u);
}

TEST(ResetPermissions, FileWithAnotherLinkIsReportedAndLeftAsItIs) {
    scratch_dir dir;
    const std::string tree = dir / "tree";
    make(tree, 0777, true);
    make(dir / "victim", 0600);
    ASSERT_EQ(link((dir / "victim").c_str(), (tree + "/linked").c_str()), 0);
    testing::internal::CaptureStderr();
    reset(tree);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "chmod: not changing permissions of '" + tree + "/linked': it has 2 links\n" +
                  "chmod: not changing permissions of '" + tree + "/linked': it has 2 links\n");
    EXPECT_EQ(mode_of(dir / "victim"), 0600u);
}

TEST(ResetEntry, NameTurnedSymlinkSinceItsListingIsLeftAlone) {
    scratch_dir dir;
    make(dir / "victim", 0600);
    make(dir / "victim-dir", 0700, true);
    ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "was-file").c_str()), 0);
    ASSERT_EQ(symlink((dir / "victim-dir").c_str(), (dir / "was-dir").c_str()), 0);
    const int fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    testing::internal::CaptureStderr();
    watcher::reset_entry(fd, "was-file", DT_REG, dir / "was-file");
    watcher::reset_entry(fd, "was-dir", DT_DIR, dir / "was-dir");
    watcher::reset_entry(fd, "gone", DT_REG, dir / "gone");
    close(fd);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(mode_of(dir / "victim"), 0600u);
    EXPECT_EQ(mode_of(dir / "victim-dir"), 0700u);
}

TEST(ResetPermissions, UnreadableDirectoryIsReportedAndPassedOver) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: a directory that its reader can't open";
    scratch_dir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    const std::string tree = dir / "tree";
    make(tree, 0755, true);
    make(tree + "/locked", 0700, true);
    make(tree + "/locked/inside", 0600);
    make(tree + "/after", 0600);
    ASSERT_EQ(chown(tree.c_str(), 4343, 4343), 0);
    ASSERT_EQ(chown((tree + "/after").c_str(), 4343, 4343), 0);
    ASSERT_EQ(chown((tree + "/locked").c_str(), 4242, 4242), 0);
    // As a user who owns all but the locked directory: it can be neither changed nor read.
    EXPECT_EXIT(
        {
            if (setresgid(4343, 4343, 4343) != 0 || setresuid(4343, 4343, 4343) != 0) std::exit(2);
            watcher::trusted_folder trusted;
            if (watcher::trust_folder(tree.c_str(), 4343, trusted) != 0) std::exit(3);
            watcher::reset_permissions(tree.c_str(), trusted);
            std::exit(mode_of(tree + "/after") == 0777 ? 0 : 1);
        },
        testing::ExitedWithCode(0),
        "chmod: cannot read directory '" + tree + "/locked': Permission denied");
    EXPECT_EQ(mode_of(tree + "/locked/inside"), 0600u);
}

}  // namespace
