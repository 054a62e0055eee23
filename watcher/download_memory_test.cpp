#include "download_memory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace watcher {
namespace {

struct met {
    const char* directory;
    const char* name;
    ino_t inode;
    bool is_directory;
};

// One walk meeting `items` in order; returns what it announces.
std::vector<std::string> walk(download_memory& memory, const std::vector<met>& items,
                              bool complete = true) {
    begin_memory_walk(memory);
    for (const met& each : items)
        meet_item(memory, each.directory, each.name, {1, each.inode}, each.is_directory);
    return end_memory_walk(memory, complete);
}

using names = std::vector<std::string>;

TEST(DownloadMemory, AnnouncesWhatLostEventsHidOnceAndNothingElse) {
    download_memory memory;
    // Downloads in progress: a file, a folder with a file in it, one in a TempDir that lies in
    // IncomingDir (aMule's layout share/IncomingDir/TempDir).
    EXPECT_EQ(names{}, walk(memory, {{"/s/TempDir/", "001.part", 10, false},
                                     {"/s/TempDir/", "album", 11, true},
                                     {"/s/TempDir/album/", "cd.iso", 12, false},
                                     {"/s/IncomingDir/TempDir/", "002.part", 13, false},
                                     {"/s/TempDir/", "gone.part", 14, false},
                                     {"/s/TempDir/", "stays.part", 15, false},
                                     {"/s/TempDir/", "seen.part", 16, false}}));
    // Events are lost; meanwhile 10, 11 (with 12) and 13 complete, 14 is deleted, 15 stays, 16's
    // move is still queued when the walk meets it. Each completed one is announced once, by the
    // name it has now; what lies below a folder is the folder's.
    memory.events_lost = true;
    EXPECT_EQ((names{"probe file.bin", "album", "real name.iso", "seen.bin"}),
              walk(memory, {{"/s/IncomingDir/", "probe file.bin", 10, false},
                            {"/s/IncomingDir/", "album", 11, true},
                            {"/s/IncomingDir/album/", "cd.iso", 12, false},
                            {"/s/IncomingDir/", "real name.iso", 13, false},
                            {"/s/TempDir/", "stays.part", 15, false},
                            {"/s/IncomingDir/", "seen.bin", 16, false}}));
    EXPECT_FALSE(announce_from_move(memory, {1, 16})) << "its queued move announces it again";
    queue_read(memory);
    // Nothing is announced twice, and without lost events a walk announces nothing: the move's
    // own events do.
    EXPECT_EQ(names{}, walk(memory, {{"/s/IncomingDir/", "probe file.bin", 10, false},
                                     {"/s/IncomingDir/", "stays.part", 15, false}}));
    EXPECT_TRUE(announce_from_move(memory, {1, 15}));
    // A walk that lost its way keeps what it didn't reach, and events stay lost until one ends.
    EXPECT_EQ(names{}, walk(memory, {{"/s/TempDir/", "003.part", 17, false}}));
    memory.events_lost = true;
    EXPECT_EQ(names{}, walk(memory, {{"/s/TempDir/", "004.part", 18, false}}, false));
    EXPECT_EQ((names{"3.iso", "4.iso"}), walk(memory, {{"/s/IncomingDir/", "3.iso", 17, false},
                                                       {"/s/IncomingDir/", "4.iso", 18, false}}));
    EXPECT_FALSE(memory.events_lost);

    // A walk between a move and the read of the overflow that lost its events: the walk after
    // the overflow announces it. Once a queue is read without loss, its events told.
    remember_temp_item(memory, "/s/TempDir/005.part", {1, 19});
    remember_temp_item(memory, "/s/TempDir/006.part", {1, 20});
    remember_temp_item(memory, "/s/IncomingDir/x.iso", {1, 21});
    EXPECT_EQ(names{}, walk(memory, {{"/s/IncomingDir/", "5.iso", 19, false},
                                     {"/s/IncomingDir/", "6.iso", 20, false}}));
    memory.events_lost = true;
    EXPECT_EQ(names{"5.iso"}, walk(memory, {{"/s/IncomingDir/", "5.iso", 19, false},
                                            {"/s/IncomingDir/", "x.iso", 21, false}}));
    remember_temp_item(memory, "/s/TempDir/007.part", {1, 22});
    walk(memory, {{"/s/IncomingDir/", "7.iso", 22, false}});
    queue_read(memory);
    memory.events_lost = true;
    EXPECT_EQ(names{}, walk(memory, {{"/s/IncomingDir/", "7.iso", 22, false}}));

    // What lies inside a download folder is the folder's: a folder announced from its move
    // leaves nothing of it to announce again.
    walk(memory, {{"/s/TempDir/", "X", 23, true}, {"/s/TempDir/X/", "sub", 24, true}});
    EXPECT_TRUE(announce_from_move(memory, {1, 23}));
    memory.events_lost = true;
    EXPECT_EQ(names{}, walk(memory, {{"/s/IncomingDir/", "X", 23, true},
                                     {"/s/IncomingDir/X/", "sub", 24, true}}));
}

TEST(DownloadMemory, RemembersABoundedNumberOfItems) {
    download_memory memory;
    begin_memory_walk(memory);
    for (ino_t inode = 1; inode <= kRememberedItems + 10; ++inode)
        meet_item(memory, "/s/TempDir/", "x.part", {1, inode}, false);
    end_memory_walk(memory, true);
    EXPECT_EQ(kRememberedItems, memory.in_temp.size());
}

}  // namespace
}  // namespace watcher
