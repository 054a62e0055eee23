#include "watch_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <inotifytools/inotifytools.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "scratch_dir.h"

using test_support::scratch_dir;
using test_support::write_file;

namespace {

struct watch_session {
    watch_session() { EXPECT_TRUE(watcher::start_watch_table()); }
    ~watch_session() { inotifytools_cleanup(); }
};

bool watched(const std::string& directory) {
    return inotifytools_wd_from_filename(directory.c_str()) >= 0;
}

void make_dirs(const std::string& top, std::initializer_list<const char*> names) {
    mkdir(top.c_str(), 0755);
    for (const char* name : names) mkdir((top + name).c_str(), 0755);
}

TEST(WatchTree, WatchesEveryDirectoryBelowButNoSymlinkOrFile) {
    scratch_dir dir;
    const std::string top = dir / "new/";
    make_dirs(top, {"a", "a/b", "a/b/c", "d"});
    write_file(top + "a/file", "x");
    ASSERT_EQ(symlink(dir.path.c_str(), (top + "link").c_str()), 0);
    watch_session session;
    ASSERT_TRUE(watcher::watch_tree((dir / "new").c_str()));
    for (const char* name : {"", "a/", "a/b/", "a/b/c/", "d/"}) EXPECT_TRUE(watched(top + name));
    EXPECT_EQ(inotifytools_get_num_watches(), 5);

    // Again: the watches held are kept, what is new is added.
    const int before = inotifytools_wd_from_filename((top + "a/").c_str());
    mkdir((top + "a/b/c/e").c_str(), 0755);
    ASSERT_TRUE(watcher::watch_tree(top.c_str()));
    EXPECT_EQ(inotifytools_wd_from_filename((top + "a/").c_str()), before);
    EXPECT_EQ(inotifytools_get_num_watches(), 6);

    // The deepest one reports what is made in it (after e's own creation).
    write_file(top + "a/b/c/e/late", "x");
    std::string reported;
    for (int events = 0; events < 2; ++events) {
        const inotify_event* event = inotifytools_next_event(5);
        ASSERT_NE(event, nullptr);
        reported = std::string(inotifytools_filename_from_wd(event->wd)) + event->name;
    }
    EXPECT_EQ(reported, top + "a/b/c/e/late");
}

// libinotifytools' own recursive watch gives up, leaving even the top unwatched.
TEST(WatchTree, APartTooDeepForAPathLeavesTheRestWatched) {
    scratch_dir dir;
    const std::string top = dir / "new/";
    make_dirs(top, {"shallow"});
    const std::string name(200, 'n');
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    for (int depth = 0; depth < 25; ++depth) {  // about 5,000 characters deep
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        const int below = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = below;
    }
    close(fd);
    watch_session session;
    EXPECT_TRUE(watcher::watch_tree(top.c_str()));
    EXPECT_TRUE(watched(top));
    EXPECT_TRUE(watched(top + "shallow/"));
    EXPECT_TRUE(watched(top + name + "/"));
    EXPECT_GT(inotifytools_get_num_watches(), 10);
    // Removing the scratch tree needs paths, too: shorten it from the top down.
    std::string path = top;
    for (int depth = 0; depth < 25; ++depth) {
        rename((path + name).c_str(), (path + "s").c_str());
        path += "s/";
    }
}

TEST(RenameTree, MovesEveryRecordBelowAndNothingElse) {
    scratch_dir dir;
    const std::string album = dir / "TempDir/album/";
    mkdir((dir / "TempDir").c_str(), 0755);
    mkdir((dir / "IncomingDir").c_str(), 0755);
    make_dirs(album, {});
    for (int cd = 1; cd <= 100; ++cd) {
        const std::string cd_dir = album + "CD" + std::to_string(cd);
        mkdir(cd_dir.c_str(), 0755);
        mkdir((cd_dir + "/scans").c_str(), 0755);
    }
    make_dirs(dir / "TempDir/album2/", {});  // shares the prefix without the "/"
    watch_session session;
    ASSERT_TRUE(watcher::watch_tree(dir.path.c_str()));
    const int watches = inotifytools_get_num_watches();
    rename(album.c_str(), (dir / "IncomingDir/album").c_str());

    watcher::rename_tree(album.c_str(), (dir / "IncomingDir/album/").c_str());
    EXPECT_EQ(inotifytools_get_num_watches(), watches);
    EXPECT_FALSE(watched(album));
    for (int cd = 1; cd <= 100; ++cd) {
        const std::string cd_dir = dir / "IncomingDir/album/CD" + std::to_string(cd) + "/";
        EXPECT_TRUE(watched(cd_dir)) << cd_dir;
        EXPECT_TRUE(watched(cd_dir + "scans/")) << cd_dir;
        EXPECT_FALSE(watched(album + "CD" + std::to_string(cd) + "/")) << cd_dir;
    }
    EXPECT_TRUE(watched(dir / "TempDir/album2/"));
}

TEST(UnwatchAndRetire, FreeOrRetireEveryRecordBelowAndLetTheTableBeRebuilt) {
    scratch_dir dir;
    make_dirs(dir / "out/", {"a", "a/b"});
    make_dirs(dir / "outer/", {});
    watch_session session;
    ASSERT_TRUE(watcher::watch_tree(dir.path.c_str()));
    EXPECT_TRUE(watcher::unwatch_tree((dir / "out/").c_str()));
    EXPECT_FALSE(watched(dir / "out/a/b/"));
    EXPECT_TRUE(watched(dir / "outer/"));
    EXPECT_FALSE(watcher::unwatch_tree((dir / "file/").c_str()));
    EXPECT_EQ(inotifytools_get_num_watches(), 2);

    // Deleted directories: their records move out of the tree's names; once they outnumber
    // the live watches, a rebuild frees them.
    for (int round = 0; round < 600 && !watcher::rebuild_due(); ++round) {
        const std::string gone = dir / "gone/";
        mkdir(gone.c_str(), 0755);
        ASSERT_TRUE(watcher::watch_tree(gone.c_str()));
        rmdir(gone.c_str());
        watcher::retire_tree(gone.c_str());
        EXPECT_FALSE(watched(gone));
    }
    EXPECT_TRUE(watcher::rebuild_due());
    EXPECT_GT(inotifytools_get_num_watches(), 500);
    for (const char* name : {"out/a/b", "out/a", "out"}) rmdir((dir / name).c_str());
    ASSERT_TRUE(watcher::rebuild_watch_table(dir.path.c_str()));
    EXPECT_FALSE(watcher::rebuild_due());
    EXPECT_EQ(inotifytools_get_num_watches(), 2);
    EXPECT_TRUE(watched(dir / "outer/"));
}

}  // namespace
