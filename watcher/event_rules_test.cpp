#include "event_rules.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>

namespace {

using watcher::classify_event;
using watcher::event_branch;

TEST(ClassifyEvent, FollowsTheBranchOrder) {
    EXPECT_EQ(classify_event(IN_CREATE, false), event_branch::new_item);
    EXPECT_EQ(classify_event(IN_CREATE | IN_ISDIR, true), event_branch::new_item);
    EXPECT_EQ(classify_event(IN_MOVED_TO, false), event_branch::new_item);
    EXPECT_EQ(classify_event(IN_MOVED_TO | IN_ISDIR, true), event_branch::paired_move_in);
    EXPECT_EQ(classify_event(IN_MOVED_FROM, false), event_branch::move_out);
    EXPECT_EQ(classify_event(IN_MOVED_FROM | IN_ISDIR, true), event_branch::move_out);
    EXPECT_EQ(classify_event(IN_DELETE, false), event_branch::deletion);
    EXPECT_EQ(classify_event(IN_DELETE_SELF, true), event_branch::deletion);
    EXPECT_EQ(classify_event(IN_MOVE_SELF, false), event_branch::no_case);
    EXPECT_EQ(classify_event(IN_IGNORED, false), event_branch::no_case);
    EXPECT_EQ(classify_event(IN_Q_OVERFLOW, false), event_branch::no_case);
}

TEST(DropsPendingMove, OnlyTheSameMovesMoveInKeepsIt) {
    EXPECT_FALSE(watcher::drops_pending_move(IN_CREATE, false, false));
    EXPECT_FALSE(watcher::drops_pending_move(IN_MOVED_TO, true, true));
    EXPECT_TRUE(watcher::drops_pending_move(IN_MOVED_TO, true, false));  // another move's
    EXPECT_TRUE(watcher::drops_pending_move(IN_MOVED_FROM, true, true));
    EXPECT_TRUE(watcher::drops_pending_move(IN_CREATE, true, false));
    EXPECT_TRUE(watcher::drops_pending_move(IN_Q_OVERFLOW, true, false));
}

TEST(IsMonitoredFolder, IgnoresOnlyAFinalSlash) {
    EXPECT_TRUE(watcher::is_monitored_folder("/in/share/", "/in/share/"));
    EXPECT_TRUE(watcher::is_monitored_folder("/in/share/", "/in/share"));
    EXPECT_TRUE(watcher::is_monitored_folder("/in/share", "/in/share/"));
    EXPECT_FALSE(watcher::is_monitored_folder("/in/share/x/", "/in/share"));
    EXPECT_FALSE(watcher::is_monitored_folder("/in/shar/", "/in/share"));
    EXPECT_FALSE(watcher::is_monitored_folder("/", ""));
}

TEST(IsDirectoryDeletion, CountsSelfDeletionOfADirectoryWatchOnAnyKernel) {
    // Older kernels mark the event; Linux 6 sends a bare IN_DELETE_SELF (0x400).
    EXPECT_TRUE(watcher::is_directory_deletion(IN_DELETE_SELF | IN_ISDIR, "/in/sub/"));
    EXPECT_TRUE(watcher::is_directory_deletion(IN_DELETE_SELF, "/in/sub/"));
    EXPECT_TRUE(watcher::is_directory_deletion(IN_DELETE | IN_ISDIR, "/in/sub"));
    EXPECT_FALSE(watcher::is_directory_deletion(IN_DELETE, "/in/file"));
    EXPECT_FALSE(watcher::is_directory_deletion(IN_DELETE_SELF, "/in/file"));
    EXPECT_FALSE(watcher::is_directory_deletion(IN_DELETE, "/in/dir/"));
}

TEST(EndsWithSlash, LooksAtTheLastCharacterOnly) {
    EXPECT_TRUE(watcher::ends_with_slash("/"));
    EXPECT_TRUE(watcher::ends_with_slash("/in/"));
    EXPECT_FALSE(watcher::ends_with_slash("/in"));
    EXPECT_FALSE(watcher::ends_with_slash(""));
}

TEST(CompletedDownloadName, NeedsTempDirBeforeAndIncomingDirAfter) {
    EXPECT_STREQ(watcher::completed_download_name("/a/TempDir/x.iso", "/a/IncomingDir/x.iso"),
                 "x.iso");
    EXPECT_STREQ(watcher::completed_download_name("/a/TempDirs/d/", "/IncomingDir2/d"), "d");
    EXPECT_STREQ(watcher::completed_download_name("/s/IncomingDir/TempDir/001.part",
                                                  "/s/IncomingDir/Probe (real name).bin"),
                 "Probe (real name).bin");
    EXPECT_STREQ(watcher::completed_download_name("TempDir/IncomingDir", "IncomingDir"),
                 "IncomingDir");
    EXPECT_EQ(watcher::completed_download_name("/a/Temp/x", "/a/IncomingDir/x"), nullptr);
    EXPECT_EQ(watcher::completed_download_name("/a/TempDir/x", "/a/incomingdir/x"), nullptr);
    EXPECT_EQ(watcher::completed_download_name("/a/IncomingDir/x", "/a/TempDir/x"), nullptr);
    EXPECT_EQ(watcher::completed_download_name("TempDir", "IncomingDir"), nullptr);
}

}  // namespace

namespace {

TEST(IsStaleEvent, EventsOfWatchesWithoutARecordAreStale) {
    EXPECT_FALSE(watcher::is_stale_event(IN_CREATE, true));
    EXPECT_TRUE(watcher::is_stale_event(IN_CREATE, false));
    EXPECT_TRUE(watcher::is_stale_event(IN_DELETE_SELF, false));
    // These two always reach the no-case branch.
    EXPECT_FALSE(watcher::is_stale_event(IN_IGNORED, false));
    EXPECT_FALSE(watcher::is_stale_event(IN_Q_OVERFLOW, false));
}

}  // namespace
