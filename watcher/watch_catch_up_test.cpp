#include "watch_catch_up.h"

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

constexpr int kMask = IN_CREATE | IN_DELETE;

struct inotify_session {
    inotify_session() { EXPECT_TRUE(inotifytools_initialize()); }
    ~inotify_session() { inotifytools_cleanup(); }
};

bool watched(const std::string& directory) {
    return inotifytools_wd_from_filename(directory.c_str()) >= 0;
}

// The situation libinotifytools leaves when sub-directories were made while it listed their
// parent: the parent is watched, the tree below it is not.
TEST(WatchUnwatchedBelow, WatchesEveryDirectoryTheRecursiveWatchMissed) {
    scratch_dir dir;
    const std::string top = dir / "new/";
    mkdir(top.c_str(), 0755);
    mkdir((top + "a").c_str(), 0755);
    mkdir((top + "a/b").c_str(), 0755);
    mkdir((top + "a/b/c").c_str(), 0755);
    mkdir((top + "d").c_str(), 0755);
    write_file(top + "a/file", "x");
    symlink(dir.path.c_str(), (top + "link").c_str());
    inotify_session session;
    ASSERT_TRUE(inotifytools_watch_file(top.c_str(), kMask));

    ASSERT_TRUE(watcher::watch_unwatched_below(top.c_str(), kMask));
    EXPECT_TRUE(watched(top + "a/"));
    EXPECT_TRUE(watched(top + "a/b/"));
    EXPECT_TRUE(watched(top + "a/b/c/"));
    EXPECT_TRUE(watched(top + "d/"));
    EXPECT_FALSE(watched(top + "a/file/"));
    EXPECT_FALSE(watched(top + "link/"));
    EXPECT_EQ(inotifytools_get_num_watches(), 5);

    // The deepest one now reports what is made in it.
    write_file(top + "a/b/c/late", "x");
    const inotify_event* event = inotifytools_next_event(5);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(std::string(inotifytools_filename_from_wd(event->wd)) + event->name,
              top + "a/b/c/late");
}

TEST(WatchUnwatchedBelow, KeepsExistingWatches) {
    scratch_dir dir;
    const std::string top = dir / "new/";
    mkdir(top.c_str(), 0755);
    mkdir((top + "a").c_str(), 0755);
    inotify_session session;
    ASSERT_TRUE(inotifytools_watch_file(top.c_str(), kMask));
    ASSERT_TRUE(inotifytools_watch_file((top + "a/").c_str(), kMask));
    const int before = inotifytools_wd_from_filename((top + "a/").c_str());

    ASSERT_TRUE(watcher::watch_unwatched_below(top.c_str(), kMask));
    EXPECT_EQ(inotifytools_wd_from_filename((top + "a/").c_str()), before);
    EXPECT_EQ(inotifytools_get_num_watches(), 2);

    // Named without the final "/" (a new directory's path from an event): the same names.
    mkdir((top + "b").c_str(), 0755);
    ASSERT_TRUE(watcher::watch_unwatched_below((dir / "new").c_str(), kMask));
    EXPECT_EQ(inotifytools_wd_from_filename((top + "a/").c_str()), before);
    EXPECT_TRUE(watched(top + "b/"));
    EXPECT_EQ(inotifytools_get_num_watches(), 3);
}

}  // namespace
