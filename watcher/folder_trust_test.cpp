#include "folder_trust.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "scratch_dir.h"

using test_support::scratch_dir;

namespace {

TEST(InSystemTree, TheRootAndTheSystemsOwnTrees) {
    for (const char* path : {"", "/", "//", "/etc", "/etc/", "//etc/x", "/usr/share/x", "/lib",
                             "/lib64/x", "/libx32", "/var/lib/amule", "/root", "/proc/1", "/dev/shm"})
        EXPECT_TRUE(watcher::in_system_tree(path)) << path;
    for (const char* path : {"/share/Download", "/tmp/in", "/mnt/HD/amule", "/home/amule/in",
                             "/etcetera", "/usrdata", "/srv/in"})
        EXPECT_FALSE(watcher::in_system_tree(path)) << path;
}

TEST(MayWatch, RefusesRelativeSystemAndForeignFolders) {
    scratch_dir dir;
    const std::string link = dir / "to-etc";
    ASSERT_EQ(symlink("/etc", link.c_str()), 0);
    const std::string up = dir / "../../etc/";
    for (const std::string& folder : {std::string("relative/in/"), std::string("=/a/b/"),
                                      std::string("/"), std::string("/etc/"), link + "/", up})
        EXPECT_FALSE(watcher::may_watch(folder.c_str(), 0)) << folder;

    EXPECT_TRUE(watcher::may_watch((dir.path + "/").c_str(), geteuid()));
    EXPECT_TRUE(watcher::may_watch((dir / "not-yet/").c_str(), 0));
    // A user's folder, named by that user's configuration or by another user's.
    if (geteuid() == 0) {
        ASSERT_EQ(chown(dir.path.c_str(), 4242, 4242), 0);
        EXPECT_TRUE(watcher::may_watch(dir.path.c_str(), 4242));
        EXPECT_FALSE(watcher::may_watch(dir.path.c_str(), 4343));
    }
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
