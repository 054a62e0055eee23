// watch_recovery TREE ROUNDS: the watch table's recovery after lost events, in TREE (which holds
// TempDir/ with files m0, m1, ... and IncomingDir/ beside its other directories), both ways: a
// new instance built from scratch ("rebuild") and the same instance put right against the
// kernel's list of watches ("resync"). Before each recovery a tenth of the directories d0, d1, ...
// (with their sub-directories) are renamed unseen; during it a mover moves one file from TempDir to
// IncomingDir every 100 ms. Then the queued events are read and the moves whose two halves
// both arrived (what a completion notice needs) are counted. Prints, per way, the recovery's
// median ms, the moves made during the recoveries and the moves that arrived whole; then the
// table's cost of one directory move and of one reset of the tree. Results go to standard
// error; each reset prints its own line on standard output.
#include <inotifytools/inotifytools.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "folder_trust.h"
#include "permission_reset.h"
#include "watch_table.h"

namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Moves TempDir/m<first>, m<first+1>, ... to IncomingDir every 100 ms until killed.
pid_t start_mover(const std::string& tree, int first) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    for (int k = first;; ++k) {
        const std::string name = "m" + std::to_string(k);
        rename((tree + "TempDir/" + name).c_str(), (tree + "IncomingDir/" + name).c_str());
        usleep(100000);
    }
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Reads every queued event; returns how many moves from TempDir to IncomingDir arrived whole.
int moves_seen_whole() {
    std::set<std::uint32_t> from_temp;
    int whole = 0;
    while (const inotify_event* event = inotifytools_next_events(0, 1)) {  // a poll
        if (event->len == 0 || event->name[0] != 'm') continue;
        const std::string watch = watcher::watch_path(event->wd);
        if ((event->mask & IN_MOVED_FROM) && watch.find("/TempDir/") != std::string::npos)
            from_temp.insert(event->cookie);
        if ((event->mask & IN_MOVED_TO) && watch.find("/IncomingDir/") != std::string::npos &&
            from_temp.count(event->cookie) != 0)
            ++whole;
    }
    return whole;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string tree = std::string(argv[1]) + "/";
    const int rounds = std::atoi(argv[2]);
    if (!watcher::start_watch_table() || !watcher::watch_tree(tree.c_str())) return 1;
    int groups = 0;
    while (exists(tree + "d" + std::to_string(groups))) ++groups;
    const int renamed_groups = std::max(1, groups / 10);
    int next_file = 0, renames = 0;
    for (const char* way : {"rebuild", "resync"}) {
        std::vector<double> times;
        int made = 0, whole = 0;
        for (int round = 0; round < rounds; ++round) {
            moves_seen_whole();  // what the rename before left
            for (int group = 0; group < renamed_groups; ++group) {
                const std::string name = tree + "d" + std::to_string(group);
                const std::string from = renames % 2 ? name + "x" : name;
                const std::string to = renames % 2 ? name : name + "x";
                if (rename(from.c_str(), to.c_str()) != 0) return 1;
            }
            ++renames;
            const pid_t mover = start_mover(tree, next_file);
            const auto start = clock_type::now();
            const bool done = std::strcmp(way, "rebuild") == 0
                                  ? watcher::rebuild_watch_table(tree.c_str())
                                  : watcher::resync_watch_table(tree.c_str());
            times.push_back(ms_since(start));
            kill(mover, SIGKILL);
            waitpid(mover, nullptr, 0);
            if (!done) return 1;
            const int first = next_file;
            while (exists(tree + "IncomingDir/m" + std::to_string(next_file))) ++next_file;
            made += next_file - first;
            usleep(20000);  // the last move's events reach the queue
            whole += moves_seen_whole();
        }
        std::fprintf(stderr, "%s %.2f %d %d\n", way, median(times), made, whole);
    }
    // The table's cost of one directory move, with its sub-directories, and of one reset.
    std::vector<double> moves;
    for (int round = 0; round < rounds; ++round) {
        const char* from = round % 2 ? "d1x" : "d1";
        const char* to = round % 2 ? "d1" : "d1x";
        if (rename((tree + from).c_str(), (tree + to).c_str()) != 0) return 1;
        const int top = watcher::watch_at(tree.c_str());
        const auto start = clock_type::now();
        watcher::move_tree(top, from, top, to);
        moves.push_back(ms_since(start));
    }
    watcher::trusted_folder trusted;
    if (watcher::trust_folder(tree.c_str(), 0, trusted) != 0) return 1;
    std::vector<double> resets;
    for (int round = 0; round < rounds; ++round) {
        const auto start = clock_type::now();
        watcher::reset_permissions(tree.c_str(), trusted);
        resets.push_back(ms_since(start));
    }
    std::fprintf(stderr, "move %.2f\nreset %.2f\n", median(moves), median(resets));
    return 0;
}
