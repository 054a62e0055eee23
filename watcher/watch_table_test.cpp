#include "watch_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <inotifytools/inotifytools.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "kernel_watches.h"
#include "scratch_dir.h"

using test_support::scratch_dir;
using test_support::write_file;

namespace {

struct watch_session {
    watch_session() { EXPECT_TRUE(watcher::start_watch_table()); }
    ~watch_session() { inotifytools_cleanup(); }
};

bool watched(const std::string& directory) { return watcher::watch_at(directory.c_str()) >= 0; }

std::vector<watcher::kernel_watch> kernel_watches() {
    std::vector<watcher::kernel_watch> kernel;
    EXPECT_TRUE(watcher::read_kernel_watches(
        [&kernel](const watcher::kernel_watch& each) { kernel.push_back(each); }));
    return kernel;
}

std::size_t kernel_watch_count() { return kernel_watches().size(); }

void make_dirs(const std::string& top, std::initializer_list<const char*> names) {
    mkdir(top.c_str(), 0755);
    for (const char* name : names) mkdir((top + name).c_str(), 0755);
}

// Every directory below `top` (ending in "/") is watched under its own path by the watch on its
// inode, and the kernel watches nothing else.
void expect_true_paths(const std::string& top, const std::string& when) {
    const std::vector<watcher::kernel_watch> kernel = kernel_watches();
    std::map<int, ino_t> inode_of;
    for (const auto& each : kernel) inode_of[each.wd] = each.inode;
    std::vector<std::string> pending{top};
    std::size_t directories = 0;
    while (!pending.empty()) {
        const std::string path = pending.back();
        pending.pop_back();
        ++directories;
        struct stat status;
        ASSERT_EQ(lstat(path.c_str(), &status), 0) << path;
        const int wd = watcher::watch_at(path.c_str());
        EXPECT_TRUE(wd >= 0 && inode_of[wd] == status.st_ino) << path << " " << when;
        DIR* listing = opendir(path.c_str());
        while (const dirent* entry = readdir(listing)) {
            if (entry->d_type == DT_DIR && entry->d_name[0] != '.')
                pending.push_back(path + entry->d_name + "/");
        }
        closedir(listing);
    }
    EXPECT_EQ(kernel.size(), directories) << when;
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
    EXPECT_EQ(kernel_watch_count(), 5u);
    // Named with a final "/", or through a symlink above it, a symlink is not followed either.
    for (const char* name : {"link/", "link/new/a/"}) {
        EXPECT_FALSE(watcher::watch_tree((top + name).c_str())) << name;
        EXPECT_TRUE(watcher::watch_error() == ENOTDIR || watcher::watch_error() == ELOOP) << name;
    }
    EXPECT_EQ(kernel_watch_count(), 5u);

    // Again: the watches held are kept, what is new is added.
    const int before = watcher::watch_at((top + "a/").c_str());
    mkdir((top + "a/b/c/e").c_str(), 0755);
    ASSERT_TRUE(watcher::watch_tree(top.c_str()));
    EXPECT_EQ(watcher::watch_at((top + "a/").c_str()), before);
    EXPECT_EQ(kernel_watch_count(), 6u);

    // The deepest one reports what is made in it (after e's own creation).
    write_file(top + "a/b/c/e/late", "x");
    std::string reported;
    for (int events = 0; events < 2; ++events) {
        const inotify_event* event = inotifytools_next_event(5);
        ASSERT_NE(event, nullptr);
        reported = std::string(watcher::watch_path(event->wd)) + event->name;
    }
    EXPECT_EQ(reported, top + "a/b/c/e/late");
}

// Reached by descriptors and kept as names, a directory deeper than a path may be long is
// watched like any other.
TEST(WatchTree, APathLongerThanTheSystemAllowsIsWatchedToTheBottom) {
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
    EXPECT_EQ(kernel_watch_count(), 27u);
    // Removing the scratch tree needs paths, too: shorten it from the top down.
    std::string path = top;
    for (int depth = 0; depth < 25; ++depth) {
        rename((path + name).c_str(), (path + "s").c_str());
        path += "s/";
    }
}

TEST(MoveTree, MovesEveryRecordBelowAndNothingElse) {
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
    const std::size_t watches = kernel_watch_count();
    rename(album.c_str(), (dir / "IncomingDir/album").c_str());

    EXPECT_TRUE(watcher::move_tree(watcher::watch_at((dir / "TempDir/").c_str()), "album",
                                   watcher::watch_at((dir / "IncomingDir/").c_str()), "album"));
    EXPECT_EQ(kernel_watch_count(), watches);
    EXPECT_FALSE(watched(album));
    for (int cd = 1; cd <= 100; ++cd) {
        const std::string cd_dir = dir / "IncomingDir/album/CD" + std::to_string(cd) + "/";
        EXPECT_TRUE(watched(cd_dir)) << cd_dir;
        EXPECT_TRUE(watched(cd_dir + "scans/")) << cd_dir;
        EXPECT_FALSE(watched(album + "CD" + std::to_string(cd) + "/")) << cd_dir;
    }
    EXPECT_TRUE(watched(dir / "TempDir/album2/"));
}

// The table follows the events alone (nothing on disk is looked at): an exchange of TempDir/a
// (X) and IncomingDir/b (Y), then TempDir/a moved on; then Y moved onto IncomingDir/b, setting X
// aside, and a move from there whose IN_MOVE_SELF names Y, not the X set aside.
TEST(MoveTree, FollowsExchangesAndReplacementsByTheirEventsAlone) {
    scratch_dir dir;
    make_dirs(dir / "TempDir/", {"a"});
    make_dirs(dir / "IncomingDir/", {"b"});
    watch_session session;
    ASSERT_TRUE(watcher::watch_tree(dir.path.c_str()));
    const int temp = watcher::watch_at((dir / "TempDir/").c_str());
    const int incoming = watcher::watch_at((dir / "IncomingDir/").c_str());
    const int x = watcher::watch_at((dir / "TempDir/a/").c_str());
    const int y = watcher::watch_at((dir / "IncomingDir/b/").c_str());
    ASSERT_TRUE(watcher::move_tree(temp, "a", incoming, "b"));
    watcher::confirm_move(x);
    ASSERT_TRUE(watcher::move_tree(incoming, "b", temp, "a"));
    watcher::confirm_move(y);
    ASSERT_TRUE(watcher::move_tree(temp, "a", temp, "y"));
    watcher::confirm_move(y);
    EXPECT_EQ(watcher::watch_path(x), dir / "IncomingDir/b/");
    EXPECT_EQ(watcher::watch_path(y), dir / "TempDir/y/");

    ASSERT_TRUE(watcher::move_tree(temp, "y", incoming, "b"));
    watcher::confirm_move(y);
    ASSERT_TRUE(watcher::move_tree(incoming, "b", incoming, "c"));  // takes X, set aside
    watcher::confirm_move(y);
    EXPECT_EQ(watcher::watch_path(y), dir / "IncomingDir/c/");
    watcher::retire_tree(x);  // its deletion, once its last user let it go
    EXPECT_EQ(watcher::watch_path(x), "");
    EXPECT_EQ(watcher::watch_at((dir / "IncomingDir/b/").c_str()), -1);
    EXPECT_EQ(watcher::watch_count(), 4u);
}

// mkdir Z; mv A/X Z/X: Z's watch comes after the move, which raises IN_MOVED_FROM alone.
TEST(DetachTree, ADirectoryMovedIntoOneNotYetWatchedIsFollowedThere) {
    scratch_dir dir;
    const std::string top = dir / "";
    make_dirs(top + "A/", {"X", "X/deep"});
    watch_session session;
    ASSERT_TRUE(watcher::watch_tree(top.c_str()));
    const int a = watcher::watch_at((top + "A/").c_str());
    const int x = watcher::watch_at((top + "A/X/").c_str());
    mkdir((top + "Z").c_str(), 0755);
    ASSERT_EQ(rename((top + "A/X").c_str(), (top + "Z/X").c_str()), 0);
    mkdir((top + "Z/X/made-after").c_str(), 0755);
    ASSERT_TRUE(watcher::watch_tree((top + "Z").c_str()));  // Z's creation, handled
    EXPECT_TRUE(watcher::detach_tree(a, "X", x));           // the lone IN_MOVED_FROM
    watcher::settle_watches();
    expect_true_paths(top, "after the move");
    // The walk comes after the move out, as when Z's creation is read late.
    ASSERT_EQ(rename((top + "Z/X").c_str(), (top + "X2").c_str()), 0);
    mkdir((top + "W").c_str(), 0755);
    ASSERT_EQ(rename((top + "X2").c_str(), (top + "W/X").c_str()), 0);
    EXPECT_TRUE(watcher::detach_tree(watcher::watch_at((top + "Z/").c_str()), "X", x));
    ASSERT_TRUE(watcher::watch_tree((top + "W").c_str()));
    watcher::settle_watches();
    expect_true_paths(top, "after the walk met it");

    // Met there, but moved on since (out of the tree): its watches are the move-out's to drop.
    make_dirs(top + "B/", {"Y"});
    ASSERT_TRUE(watcher::watch_tree(top.c_str()));
    const int y = watcher::watch_at((top + "B/Y/").c_str());
    mkdir((top + "C").c_str(), 0755);
    ASSERT_EQ(rename((top + "B/Y").c_str(), (top + "C/Y").c_str()), 0);
    ASSERT_TRUE(watcher::watch_tree((top + "C").c_str()));
    ASSERT_EQ(rename((top + "C/Y").c_str(), (dir / "../gone-Y").c_str()), 0);
    EXPECT_TRUE(watcher::detach_tree(watcher::watch_at((top + "B/").c_str()), "Y", y));
    EXPECT_FALSE(watcher::detach_tree(watcher::watch_at((top + "B/").c_str()), "Y", y));
    watcher::settle_watches();
    rmdir((dir / "../gone-Y").c_str());
    expect_true_paths(top, "after the move out");

    // exchange W/X with a new V, then mv W/X (V) away: the move's IN_MOVED_FROM names X's place
    // but no IN_MOVE_SELF of X's follows. X stays, and the table asks for a resync.
    EXPECT_TRUE(watcher::detach_tree(watcher::watch_at((top + "W/").c_str()), "X", -1));
    EXPECT_FALSE(watcher::settle_watches());
    EXPECT_EQ(watcher::watch_at((top + "W/X/").c_str()), x);
    expect_true_paths(top, "after a move no IN_MOVE_SELF confirmed");
}

// Whatever happened while events were lost, the same instance ends with every record on its true
// path, new directories watched and nothing outside.
TEST(ResyncWatchTable, PutsEveryRecordOnItsTruePathInTheSameInstance) {
    scratch_dir dir;
    const std::string top = dir / "tree/";
    make_dirs(top, {"a", "a/b", "a/b/c", "x", "y", "y/in-y", "p", "p/q", "out", "out/deep", "del",
                    "del/sub", "keep"});
    watch_session session;
    ASSERT_TRUE(watcher::watch_tree(top.c_str()));
    const int keep = watcher::watch_at((top + "keep/").c_str());
    const auto in = [&top](const char* name) { return top + name; };
    // A directory moved deeper, under a new name; two swapped; one replaced by a new directory
    // that its old sub-directory moved into; one moved out, one deleted; new ones made.
    ASSERT_EQ(rename(in("a").c_str(), in("keep/a2").c_str()), 0);
    ASSERT_EQ(rename(in("x").c_str(), in("t").c_str()), 0);
    ASSERT_EQ(rename(in("y").c_str(), in("x").c_str()), 0);
    ASSERT_EQ(rename(in("t").c_str(), in("y").c_str()), 0);
    ASSERT_EQ(rename(in("p").c_str(), in("p-old").c_str()), 0);
    mkdir(in("p").c_str(), 0755);
    ASSERT_EQ(rename(in("p-old/q").c_str(), in("p/q").c_str()), 0);
    ASSERT_EQ(rename(in("out").c_str(), (dir / "out").c_str()), 0);
    for (const char* gone : {"del/sub", "del"}) rmdir(in(gone).c_str());
    make_dirs(in("new/"), {"n1", "n1/n2"});
    mkdir(in("keep/a2/b/fresh").c_str(), 0755);

    ASSERT_TRUE(watcher::resync_watch_table(top.c_str()));
    expect_true_paths(top, "after the resync");
    EXPECT_EQ(watcher::watch_at((top + "keep/").c_str()), keep);
    EXPECT_FALSE(watcher::resync_watch_table((dir / "missing").c_str()));

    // The instance kept every event: the first one lost nothing.
    const inotify_event* event = inotifytools_next_event(1);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(std::string(event->name), "a");
    EXPECT_TRUE(event->mask & IN_MOVED_FROM);
}

TEST(UnwatchAndRetire, FreeOrRetireEveryRecordBelowAndLeaveNothingBehind) {
    scratch_dir dir;
    make_dirs(dir / "out/", {"a", "a/b"});
    make_dirs(dir / "outer/", {});
    watch_session session;
    ASSERT_TRUE(watcher::watch_tree(dir.path.c_str()));
    const int top = watcher::watch_at((dir / "").c_str());
    const int out = watcher::watch_at((dir / "out/").c_str());
    ASSERT_EQ(rename((dir / "out").c_str(), (dir / "../out").c_str()), 0);
    EXPECT_TRUE(watcher::detach_tree(top, "out", out));
    watcher::settle_watches();
    EXPECT_FALSE(watched(dir / "../out/a/b/"));
    EXPECT_TRUE(watched(dir / "outer/"));
    EXPECT_FALSE(watcher::detach_tree(top, "file", -1));
    EXPECT_EQ(kernel_watch_count(), 2u);

    // Deleted directories: their records go, and nothing of them stays behind anywhere (each
    // re-made one is watched under its own descriptor).
    int last_wd = -1;
    for (int round = 0; round < 3000; ++round) {
        const std::string gone = dir / "gone/";
        mkdir(gone.c_str(), 0755);
        ASSERT_TRUE(watcher::watch_tree(gone.c_str()));
        EXPECT_GT(watcher::watch_at(gone.c_str()), last_wd);
        last_wd = watcher::watch_at(gone.c_str());
        rmdir(gone.c_str());
        watcher::retire_tree(last_wd);
        EXPECT_FALSE(watched(gone));
    }
    EXPECT_EQ(inotifytools_get_num_watches(), 0);
    EXPECT_EQ(kernel_watch_count(), 2u);
    for (const char* name : {"../out/a/b", "../out/a", "../out"}) rmdir((dir / name).c_str());
    ASSERT_TRUE(watcher::rebuild_watch_table(dir.path.c_str()));
    EXPECT_EQ(kernel_watch_count(), 2u);
    EXPECT_TRUE(watched(dir / "outer/"));
}

}  // namespace
