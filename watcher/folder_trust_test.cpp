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
