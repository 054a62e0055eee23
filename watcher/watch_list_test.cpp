#include "watch_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

Texts texts_of(const char* const* array) {
    Texts out;
    while (*array != nullptr) out.emplace_back(*array++);
    return out;
}

struct built {
    watcher::watch_list list;
    ~built() { watcher::free_watch_list(&list); }
};

TEST(BuildWatchList, AppliesTheEntryRulesInOrder) {
    const char* argv[] = {"/a/", "", "@", "@/a/skip/", "/b/", "@@x", "/c"};
    built b;
    ASSERT_EQ(watcher::build_watch_list(&b.list, 7, argv), &b.list);
    EXPECT_EQ(texts_of(b.list.paths), (Texts{"/a/", "/b/", "/c"}));
    EXPECT_EQ(texts_of(b.list.excludes), (Texts{"/a/skip/", "@x"}));
    EXPECT_EQ(b.list.excludes[0], argv[3] + 1) << "entries refer to the caller's texts";
}

TEST(BuildWatchList, SkippedOrExcludedFoldersLeavePathsEmpty) {
    for (const char* folder : {"", "@", "@/tmp/in/"}) {
        const char* argv[] = {folder};
        built b;
        ASSERT_NE(watcher::build_watch_list(&b.list, 1, argv), nullptr);
        EXPECT_EQ(b.list.paths[0], nullptr) << folder;
    }
}

TEST(BuildWatchList, GrowsBy1024WhenOnlyTheNullSlotIsLeft) {
    std::vector<std::string> storage;
    for (int i = 0; i < 2048; ++i) storage.push_back("/p" + std::to_string(i));
    std::vector<const char*> argv;
    for (const auto& s : storage) argv.push_back(s.c_str());

    built fits;
    ASSERT_NE(watcher::build_watch_list(&fits.list, 1023, argv.data()), nullptr);
    EXPECT_EQ(fits.list.paths_capacity, 1024u);
    EXPECT_EQ(fits.list.paths[1022], storage[1022].c_str());
    EXPECT_EQ(fits.list.paths[1023], nullptr);

    built grows;
    ASSERT_NE(watcher::build_watch_list(&grows.list, 1024, argv.data()), nullptr);
    EXPECT_EQ(grows.list.paths_capacity, 2048u);
    EXPECT_EQ(grows.list.excludes_capacity, 1024u);
    EXPECT_EQ(texts_of(grows.list.paths).size(), 1024u);

    built twice;
    ASSERT_NE(watcher::build_watch_list(&twice.list, 2048, argv.data()), nullptr);
    EXPECT_EQ(twice.list.paths_capacity, 3072u);
    EXPECT_EQ(texts_of(twice.list.paths), Texts(storage.begin(), storage.end()));
}

}  // namespace
