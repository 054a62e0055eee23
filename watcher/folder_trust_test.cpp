#include "folder_trust.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "scratch_dir.h"

using test_support::scratch_dir;

namespace {

TEST(InSystemTree, TheRootAndTheSystemsOwnTrees) {
    for (const char* path :
         {"", "/", "//", "/etc", "/etc/", "//etc/x", "/usr/share/x", "/lib", "/lib64/x", "/libx32",
          "/var/lib/amule", "/root", "/proc/1", "/dev/shm"})
        EXPECT_TRUE(watcher::in_system_tree(path)) << path;
    for (const char* path : {"/share/Download", "/tmp/in", "/mnt/HD/amule", "/home/amule/in",
                             "/etcetera", "/usrdata", "/srv/in"})
        EXPECT_FALSE(watcher::in_system_tree(path)) << path;
}

// Returns true when `folder` is approved for `config_owner`, and can be opened again; false,
// with errno the reason (EPERM: refused), otherwise.
bool opens(const std::string& folder, uid_t config_owner) {
    watcher::trusted_folder trusted;
    errno = watcher::trust_folder(folder.c_str(), config_owner, trusted);
    if (errno != 0) return false;
    const int fd = watcher::open_trusted_folder(trusted);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

TEST(TrustFolder, RefusesRelativeSystemAndForeignFolders) {
    scratch_dir dir;
    const std::string link = dir / "to-etc";
    ASSERT_EQ(symlink("/etc", link.c_str()), 0);
    const std::string up = dir / "../../etc/";
    for (const std::string& folder : {std::string("relative/in/"), std::string("=/a/b/"),
                                      std::string("/"), std::string("/etc/"), link + "/", up}) {
        EXPECT_FALSE(opens(folder, 0)) << folder;
        EXPECT_EQ(errno, EPERM) << folder;
    }
    EXPECT_TRUE(opens(dir.path + "/", geteuid()));
    EXPECT_FALSE(opens(dir / "not-yet/", 0));
    EXPECT_EQ(errno, ENOENT);
    if (geteuid() != 0) return;
    // A user's configuration names that user's own folder only; root's names any.
    ASSERT_EQ(chown(dir.path.c_str(), 4242, 4242), 0);
    EXPECT_TRUE(opens(dir.path, 4242));
    EXPECT_TRUE(opens(dir.path, 0));
    EXPECT_FALSE(opens(dir.path, 4343));
    ASSERT_EQ(chown(dir.path.c_str(), 0, 0), 0);
    EXPECT_FALSE(opens(dir.path, 4242));
    EXPECT_EQ(errno, EPERM);
}

TEST(OpenTrustedFolder, OnlyWithoutSymlinksAndOnlyTheDirectoryApproved) {
    scratch_dir dir;
    ASSERT_EQ(mkdir((dir / "real").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "real/in").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", (dir / "link").c_str()), 0);
    for (const std::string& path : {dir / "link/in", dir / "link", dir / "real/../real/in",
                                    dir / "real/./in", std::string("real/in")})
        EXPECT_EQ(watcher::open_without_symlinks(path.c_str()), -1) << path;
    watcher::trusted_folder trusted;
    ASSERT_EQ(watcher::trust_folder((dir / "link//in/").c_str(), 0, trusted), 0);
    const int fd = watcher::open_trusted_folder(trusted);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    // Renamed away, then another directory in its place.
    ASSERT_EQ(rename((dir / "real/in").c_str(), (dir / "away").c_str()), 0);
    EXPECT_EQ(watcher::open_trusted_folder(trusted), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(mkdir((dir / "real/in").c_str(), 0755), 0);
    EXPECT_EQ(watcher::open_trusted_folder(trusted), -1);
    EXPECT_EQ(errno, ESTALE);
}

// Opens `path` with open_config_file; returns who can change it, or -1 with errno the reason.
long changers_of(const std::string& path) {
    uid_t changers;
    const int fd = watcher::open_config_file(path.c_str(), changers);
    if (fd < 0) return -1;
    close(fd);
    return changers == watcher::kAnyUser ? -2 : static_cast<long>(changers);
}

// Who can change what a configuration says: everyone who could put other text there, through
// the directories on its path, the symlinks followed and the file; and files whose text the
// kernel makes up, or with another name elsewhere, are refused.
TEST(OpenConfigFile, CountsEveryoneWhoCanChangeWhatIsRead) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: files of other users";
    scratch_dir dir;
    ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    for (const char* sub : {"/user", "/other", "/root", "/open", "/sticky"})
        ASSERT_EQ(mkdir((dir.path + sub).c_str(), 0755), 0);
    ASSERT_EQ(chown((dir / "user").c_str(), 4242, 4242), 0);
    ASSERT_EQ(chown((dir / "other").c_str(), 4343, 4343), 0);
    ASSERT_EQ(chmod((dir / "open").c_str(), 0777), 0);
    ASSERT_EQ(chmod((dir / "sticky").c_str(), 01777), 0);
    for (const char* file :
         {"/root/conf", "/root/linked", "/user/conf", "/open/conf", "/sticky/conf"})
        test_support::write_file(dir.path + file, "IncomingDir=/x\n");
    ASSERT_EQ(chown((dir / "user/conf").c_str(), 4242, 4242), 0);
    ASSERT_EQ(symlink((dir / "root/conf").c_str(), (dir / "user/to-root").c_str()), 0);
    ASSERT_EQ(symlink("../root/conf", (dir / "other/relative").c_str()), 0);
    ASSERT_EQ(symlink((dir / "user/to-root").c_str(), (dir / "root/via-user").c_str()), 0);
    ASSERT_EQ(symlink("/proc/self/cmdline", (dir / "root/proc").c_str()), 0);
    ASSERT_EQ(link((dir / "root/linked").c_str(), (dir / "other/linked").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "root/fifo").c_str(), 0600), 0);
    const struct {
        const char* path;
        long changers;  // -2: anyone; -1: refused
    } rows[] = {{"root/conf", 0},       {"root//./conf", 0},      {"user/conf", 4242},
                {"user/to-root", 4242}, {"other/relative", 4343}, {"root/via-user", 4242},
                {"open/conf", -2},      {"sticky/conf", 0},       {"root/linked", -1},
                {"root/proc", -1},      {"root/fifo", -1},        {"root", -1}};
    for (const auto& row : rows) EXPECT_EQ(changers_of(dir / row.path), row.changers) << row.path;
    ASSERT_EQ(chown((dir / "root/conf").c_str(), 4343, 4343), 0);
    EXPECT_EQ(changers_of(dir / "user/to-root"), -2);  // two users
    EXPECT_EQ(changers_of(dir / "root/missing"), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(OnlyOwnerWrites, RegularFilesWithoutGroupOrOtherWrite) {
    struct stat status {};
    status.st_mode = S_IFREG | 0644;
    EXPECT_TRUE(watcher::only_owner_writes(status));
    status.st_mode = S_IFREG | 0664;
    EXPECT_FALSE(watcher::only_owner_writes(status));
    status.st_mode = S_IFREG | 0646;
    EXPECT_FALSE(watcher::only_owner_writes(status));
    status.st_mode = S_IFIFO | 0600;
    EXPECT_FALSE(watcher::only_owner_writes(status));
}

}  // namespace
