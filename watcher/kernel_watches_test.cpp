#include "kernel_watches.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>

namespace {

using std::string_literals::operator""s;

// The live instance is read by the watch table's tests, against the inodes of its directories.
TEST(KernelWatches, ParsedFromFdinfoWithTheKernelsDeviceNumbers) {
    const std::string text =
        "pos:\t0\nflags:\t00\nmnt_id:\t17\nino:\t1038\n"
        "inotify wd:1f ino:a76169 sdev:fe00000 mask:fc0 ignored_mask:0 fhandle-bytes:8 "
        "fhandle-type:1 f_handle:6961a7009f459f26\n"
        "inotify wd:2 ino:ffffffffff sdev:812345 mask:fc0 ignored_mask:0\n"
        "inotify wd:3 ino:";  // cut short
    const std::vector<watcher::kernel_watch> parsed = watcher::parse_inotify_fdinfo(text);
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(parsed[0].wd, 0x1f);
    EXPECT_EQ(parsed[0].inode, 0xa76169u);
    EXPECT_EQ(parsed[0].device, makedev(254, 0));
    EXPECT_EQ(parsed[0].handle, watcher::handle_key(1, "\x69\x61\xa7\x00\x9f\x45\x9f\x26"s));
    EXPECT_EQ(parsed[1].handle, "");
    EXPECT_EQ(parsed[1].inode, 0xffffffffffu);
    EXPECT_EQ(parsed[1].device, makedev(8, 0x12345));
}

}  // namespace
