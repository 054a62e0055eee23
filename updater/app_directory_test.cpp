#include "app_directory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

namespace {

TEST(StripLastComponent, CutsAtTheLastSlash) {
    EXPECT_EQ(updater::strip_last_component("/opt/app/updater"), "/opt/app");
    EXPECT_EQ(updater::strip_last_component("/updater"), "");
    EXPECT_EQ(updater::strip_last_component("/opt/app/"), "/opt/app");
    EXPECT_EQ(updater::strip_last_component("updater"), "updater");
    EXPECT_EQ(updater::strip_last_component(""), "");
}

TEST(DirectoryOf, NamesTheDirectoryToSync) {
    EXPECT_EQ(updater::directory_of("bin/app"), "bin");
    EXPECT_EQ(updater::directory_of("app"), ".");
    EXPECT_EQ(updater::directory_of("/app"), "/");
    EXPECT_EQ(updater::directory_of("/opt/app/x"), "/opt/app");
}

TEST(FindApplicationDirectory, IsTheDirectoryOfThisExecutable) {
    char target[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", target, sizeof target - 1);
    ASSERT_GT(n, 0);
    const std::string exe(target, static_cast<size_t>(n));
    EXPECT_EQ(updater::find_application_directory(), exe.substr(0, exe.rfind('/')));
}

}  // namespace
