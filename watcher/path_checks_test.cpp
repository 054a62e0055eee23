#include "path_checks.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "scratch_dir.h"

using test_support::scratch_dir;
using test_support::write_file;

namespace {

TEST(Isdir, OnlyARealDirectoryCounts) {
    scratch_dir dir;
    mkdir((dir / "d").c_str(), 0755);
    write_file(dir / "f", "x");
    ASSERT_EQ(symlink("d", (dir / "link").c_str()), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(isdir((dir / "d").c_str()), 1);
    EXPECT_EQ(isdir((dir / "d/").c_str()), 1);
    EXPECT_EQ(isdir((dir / "f").c_str()), 0);
    EXPECT_EQ(isdir((dir / "link").c_str()), 0);
    EXPECT_EQ(isdir((dir / "missing").c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Isdir, OtherStatFailuresAreReported) {
    scratch_dir dir;
    write_file(dir / "f", "x");
    const std::string below = dir / "f/below";
    testing::internal::CaptureStderr();
    EXPECT_EQ(isdir(below.c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Stat failed on " + below + ": Not a directory\n");
}

TEST(Niceassert, WritesOnlyFailedChecks) {
    testing::internal::CaptureStderr();
    _niceassert(1, 10, "quillwatch", "a == b", "never shown");
    _niceassert(-1, 11, "quillwatch", "a == b", nullptr);
    _niceassert(0, 42, "quillwatch", "-1 != asprintf(&p, \"%s\", q)", "out of memory");
    _niceassert(0, 43, "quillwatch", "x", nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "quillwatch:42 assertion ( -1 != asprintf(&p, \"%s\", q) ) failed: out of memory\n"
              "quillwatch:43 assertion ( x ) failed.\n");
}

}  // namespace
