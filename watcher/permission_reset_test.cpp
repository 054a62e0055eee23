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

using test_support::scratch_dir;

namespace {

mode_t own_mode(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

// Makes a file, or with a "/" at its end a directory, and gives it `mode`.
void make(const std::string& path, mode_t mode) {
    if (path.back() == '/') {
        ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path;
    } else {
        test_support::write_file(path, "x");
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

TEST(ResetPermissions, GivesWhatChmod777RecursiveGivesAndNothingOutside) {
    scratch_dir dir;
    const std::string tree = dir / "tree";
    // Set-gid directories keep their bit; symlinks and a file with another link outside the
    // tree are left as they are, and so is everything they lead to.
    const struct {
        const char* path;
        mode_t before, after;
    } rows[] = {
        {"/", 0700, 0777},          {"/file", 0600, 0777},          {"/setuid", 04755, 0777},
        {"/shared/", 02750, 02777}, {"/shared/deep/", 01700, 0777}, {"/shared/deep/f", 0640, 0777}};
    for (const auto& row : rows) make(tree + row.path, row.before);
    ASSERT_EQ(mkfifo((tree + "/fifo").c_str(), 0600), 0);
    for (const char* victim : {"/victim", "/victim-dir/", "/victim-dir/inside"})
        make(dir.path + victim, 0600);
    ASSERT_EQ(symlink((dir / "victim").c_str(), (tree + "/link").c_str()), 0);
    ASSERT_EQ(symlink((dir / "victim-dir").c_str(), (tree + "/shared/dir-link").c_str()), 0);
    ASSERT_EQ(link((dir / "victim").c_str(), (tree + "/linked").c_str()), 0);

    testing::internal::CaptureStderr();
    reset(tree + "/");
    const std::string report =
        "chmod: not changing permissions of '" + tree + "/linked': it has 2 links\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), report + report);
    for (const auto& row : rows) EXPECT_EQ(own_mode(tree + row.path), row.after) << row.path;
    EXPECT_EQ(own_mode(tree + "/fifo"), 0777u);
    for (const char* victim : {"/victim", "/victim-dir/", "/victim-dir/inside"})
        EXPECT_EQ(own_mode(dir.path + victim), 0600u) << victim;
}

TEST(ResetListed, NamesChangedSinceTheListingAreLeftAloneAndOnlyTheWalksDescriptorsClosed) {
    scratch_dir dir;
    make(dir / "victim", 0600);
    make(dir / "victim-dir/", 0700);
    for (const char* name : {"fresh1", "fresh2", "fresh3"}) make(dir / name, 0644);
    ASSERT_EQ(symlink((dir / "victim").c_str(), (dir / "was-file").c_str()), 0);
    ASSERT_EQ(symlink((dir / "victim-dir").c_str(), (dir / "was-dir").c_str()), 0);
    ASSERT_EQ(link((dir / "victim").c_str(), (dir / "became-link").c_str()), 0);
    const int fd = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    testing::internal::CaptureStderr();
    // Free descriptors with one in use between them: the files' descriptors don't follow each
    // other, and closing them must leave that one open.
    const int below = open("/dev/null", O_RDONLY), between = open("/dev/null", O_RDONLY);
    ASSERT_EQ(close(below), 0);
    // Each name is met once after a file that needed no change and once after one that did
    // (the walk then opens it at once, without looking at it by name first).
    const std::vector<watcher::listed_entry> listed = {
        {"was-file", DT_REG}, {"became-link", DT_REG}, {"gone", DT_REG},  {"fresh1", DT_REG},
        {"was-file", DT_REG}, {"fresh2", DT_REG},      {"became-link", DT_REG},
        {"fresh3", DT_REG},   {"gone", DT_REG},        {"was-dir", DT_DIR}};
    watcher::reset_listed(fd, dir.path, listed);
    const std::string report =
        "chmod: not changing permissions of '" + dir / "became-link" + "': it has 2 links\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), report + report);
    EXPECT_NE(fcntl(between, F_GETFD), -1);
    close(between);
    close(fd);
    EXPECT_EQ(own_mode(dir / "victim"), 0600u);
    EXPECT_EQ(own_mode(dir / "victim-dir"), 0700u);
    for (const char* name : {"fresh1", "fresh2", "fresh3"}) EXPECT_EQ(own_mode(dir / name), 0777u);
}

TEST(ResetPermissions, UnreadableDirectoryIsReportedAndPassedOver) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: a directory that its reader can't open";
    scratch_dir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    const std::string tree = dir / "tree";
    for (const char* path : {"/", "/locked/", "/locked/inside", "/after"}) make(tree + path, 0700);
    // As a user who owns all but the locked directory: it can be neither changed nor read.
    for (const char* path : {"/", "/after"}) ASSERT_EQ(chown((tree + path).c_str(), 4343, 4343), 0);
    ASSERT_EQ(chown((tree + "/locked").c_str(), 4242, 4242), 0);
    EXPECT_EXIT(
        {
            if (setresgid(4343, 4343, 4343) != 0 || setresuid(4343, 4343, 4343) != 0) std::exit(2);
            watcher::trusted_folder trusted;
            if (watcher::trust_folder(tree.c_str(), 4343, trusted) != 0) std::exit(3);
            watcher::reset_permissions(tree.c_str(), trusted);
            std::exit(own_mode(tree + "/after") == 0777 ? 0 : 1);
        },
        testing::ExitedWithCode(0),
        "chmod: cannot read directory '" + tree + "/locked': Permission denied");
    EXPECT_EQ(own_mode(tree + "/locked/inside"), 0700u);
}

}  // namespace
