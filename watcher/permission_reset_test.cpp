#include "permission_reset.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Makes a chain of `depth` directories with 200-character names below `top` (far beyond PATH_MAX)
// and a 0600 file "f" at its bottom. Returns the bottom directory, open.
int make_chain(const std::string& top, int depth) {
    const std::string name(200, 'd');
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < depth && fd >= 0; ++i) {
        const int next = mkdirat(fd, name.c_str(), 0700) == 0
                             ? openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY)
                             : -1;
        close(fd);
        fd = next;
    }
    const int file = fd >= 0 ? openat(fd, "f", O_CREAT | O_WRONLY, 0600) : -1;
    if (file >= 0) close(file);
    return fd;
}

mode_t mode_at(int dir_fd, const char* name) {
    struct stat status;
    return fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 ? status.st_mode & 07777 : 0;
}

// The walk holds a fixed number of descriptors whatever the depth, with no recursion: a chain
// deeper than the descriptor limit is reset to its bottom, and twice over.
TEST(ResetPermissions, ChainsDeeperThanTheDescriptorLimitAreResetToTheBottom) {
    scratch_dir dir;
    const int bottom = make_chain(dir.path, 400);
    ASSERT_GE(bottom, 0);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    testing::internal::CaptureStderr();
    reset(dir.path);
    const std::string reported = testing::internal::GetCapturedStderr();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(reported, "");
    EXPECT_EQ(mode_at(bottom, "f"), 0777u);
    EXPECT_EQ(mode_at(bottom, "."), 0777u);
    close(bottom);
}

// Whatever the tree holds, a reset reports a few lines with paths of bounded length; a file once
// seen with another name stays as it is after that name goes.
TEST(ResetPermissions, ReportsStayFewAndShortAndLinkedFilesStayUntouched) {
    scratch_dir dir;
    const std::string victim = dir / "victim";
    make(victim, 0600);
    ASSERT_EQ(mkdir((dir / "tree").c_str(), 0700), 0);
    const int bottom = make_chain(dir / "tree", 40);
    ASSERT_GE(bottom, 0);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(linkat(AT_FDCWD, victim.c_str(), bottom, ("l" + std::to_string(i)).c_str(), 0),
                  0);
    ASSERT_EQ(linkat(AT_FDCWD, victim.c_str(), AT_FDCWD, (dir / "tree/grab").c_str(), 0), 0);
    testing::internal::CaptureStderr();
    reset(dir / "tree");
    std::string reported = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(reported.begin(), reported.end(), '\n'), 2) << reported;
    EXPECT_NE(reported.find("of 301 files that have, or had, more than one link, such as '"),
              std::string::npos)
        << reported;
    EXPECT_LT(reported.size(), 800u);
    // The owner replaces the file the usual way: the old one keeps the tree's name alone.
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(unlinkat(bottom, ("l" + std::to_string(i)).c_str(), 0), 0);
    ASSERT_EQ(unlink(victim.c_str()), 0);
    make(victim, 0600);
    testing::internal::CaptureStderr();
    reset(dir / "tree");
    reported = testing::internal::GetCapturedStderr();
    EXPECT_EQ(own_mode(dir / "tree/grab"), 0600u);
    EXPECT_EQ(own_mode(victim), 0600u);
    EXPECT_EQ(mode_at(bottom, "f"), 0777u);
    close(bottom);
    // Linked files are remembered by owner: what one owner's links filled leaves another
    // owner's files alone.
    if (geteuid() != 0) GTEST_SKIP() << "giving a file to another owner needs root";
    ASSERT_EQ(chown((dir / "tree/grab").c_str(), 4242, 4242), 0);
    reset(dir / "tree");
    EXPECT_EQ(own_mode(dir / "tree/grab"), 0777u);
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
        {"was-file", DT_REG}, {"became-link", DT_REG}, {"gone", DT_REG},        {"fresh1", DT_REG},
        {"was-file", DT_REG}, {"fresh2", DT_REG},      {"became-link", DT_REG}, {"fresh3", DT_REG},
        {"gone", DT_REG},     {"was-dir", DT_DIR}};
    watcher::reset_listed(fd, dir.path, listed);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "chmod: not changing permissions of 2 files that have, or had, more than one link, "
              "such as '" +
                  dir / "became-link" + "'\n");
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
