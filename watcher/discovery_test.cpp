#include "discovery.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "scratch_dir.h"

using test_support::scratch_dir;
using test_support::write_file;

namespace {

// Runs the registry scan over `registry` text. Returns the install path, or "<-1>" on failure.
std::string scan(const std::string& registry) {
    scratch_dir dir;
    write_file(dir / "apkg.xml", registry);
    char install_path[16] = {};
    if (watcher::read_package_path(install_path, (dir / "apkg.xml").c_str()) != 0) return "<-1>";
    return install_path;
}

TEST(ReadPackagePath, CopiesAThirteenCharacterPathOfTheAmuleEntry) {
    EXPECT_EQ(scan("<apkg>\n<item>\n<name>Other</name>\n<path>/tmp/otherpkg</path>\n</item>\n"
                   "<item>\n<name>aMule</name>\n<path>/tmp/qwtest01</path>\n</item>\n</apkg>\n"),
              "/tmp/qwtest01");
}

TEST(ReadPackagePath, CopiesAFixedWidthWhateverFollowsTheTag) {
    // A shorter path brings the start of the closing tag along; a longer one is cut.
    EXPECT_EQ(scan("<name>aMule</name>\n<path>/tmp/qwtes</path>\n"), "/tmp/qwtes</p");
    EXPECT_EQ(scan("<name>aMule</name>\n<path>/mnt/HD/HD_a2/Nas_Prog</path>\n"), "/mnt/HD/HD_a2");
    // Only the end of the piece stops it early: the newline is copied.
    EXPECT_EQ(scan("<name>aMule</name>\n<path>/opt/a\n"), "/opt/a\n");
}

TEST(ReadPackagePath, TheNameFlagDecidesWhilstTheNumberIsZero) {
    // A path before the name is not copied.
    EXPECT_EQ(scan("<path>/tmp/qwtest01</path>\n<name>aMule</name>\n"), "");
    // A path on the same piece as the name is.
    EXPECT_EQ(scan("<name>aMule</name><path>/tmp/qwtest02</path>\n"), "/tmp/qwtest02");
    // Copying clears the flag: the next path needs the name again.
    EXPECT_EQ(scan("<name>aMule</name>\n<path>/tmp/qwtest01</path>\n<path>/tmp/qwtest02</path>\n"),
              "/tmp/qwtest01");
    EXPECT_EQ(scan("<name>aMule</name>\n<path>/tmp/qwtest01</path>\n<name>aMule</name>\n"
                   "<path>/tmp/qwtest02</path>\n"),
              "/tmp/qwtest02");
}

TEST(ReadPackagePath, ANonZeroNumberAfterAQuoteCopiesEveryLaterPath) {
    const std::string registry =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<apkg>\n"
        "<name>aMule</name>\n<path>/tmp/qwtest01</path>\n"
        "<name>Other</name>\n<path>/tmp/otherpkg</path>\n</apkg>\n";
    EXPECT_EQ(scan(registry), "/tmp/otherpkg");
    // A quote followed by 0 (or no digit) sets the number back.
    EXPECT_EQ(
        scan("<v n=\"7\">\n<path>/tmp/seven001</path>\n<v n=\"x\">\n<path>/tmp/other001</path>\n"),
        "/tmp/seven001");
    EXPECT_EQ(scan("<v n=\" -3\">\n<path>/tmp/minus001</path>\n"), "/tmp/minus001");
}

TEST(ReadPackagePath, MissingRegistryFails) {
    char install_path[16] = {};
    EXPECT_EQ(watcher::read_package_path(install_path, "/nonexistent/apkg.xml"), -1);
    EXPECT_STREQ(install_path, "");
}

TEST(ReadPackagePath, LongLinesAreSeenInPiecesOf63) {
    const std::string pad(50, ' ');
    // "<path>" straddles the end of the first 63 characters: found in neither piece.
    EXPECT_EQ(scan("<name>aMule</name>" + std::string(42, ' ') + "<path>/tmp/qwtest01</path>\n"),
              "");
    // The name in one piece, the path in the next piece of the same line.
    EXPECT_EQ(scan("<name>aMule</name>" + pad + "<path>/tmp/qwtest01</path>\n"), "/tmp/qwtest01");
}

// Discovery against a real 13-character install directory and a registry that names it.
class ReadMonitorFolder : public ::testing::Test {
protected:
    scratch_dir dir;
    std::string install;
    std::string registry = dir / "apkg.xml";

    void SetUp() override {
        char name[] = "/tmp/qwXXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        install = name;
        write_file(registry, "<name>aMule</name>\n<path>" + install + "</path>\n");
    }
    void TearDown() override {
        unlink(config().c_str());
        for (const char* sub : {"/Nas_Prog/aMule/.aMule", "/Nas_Prog/aMule", "/Nas_Prog", ""})
            rmdir((install + sub).c_str());
    }
    std::string config() const { return install + "/Nas_Prog/aMule/.aMule/amule.conf"; }
    void write_config(const std::string& text) {
        ASSERT_EQ(system(("mkdir -p '" + install + "/Nas_Prog/aMule/.aMule'").c_str()), 0);
        write_file(config(), text);
    }

    struct outcome {
        int result;
        std::string printed;
        std::string folder;
    };
    outcome read(const std::string& registry_path) {
        char folder[256] = {};
        testing::internal::CaptureStdout();
        const int result = watcher::read_monitor_folder(folder, registry_path.c_str());
        std::fflush(stdout);
        return {result, testing::internal::GetCapturedStdout(), folder};
    }
    outcome read() { return read(registry); }
};

TEST_F(ReadMonitorFolder, FailuresPrintTheirLine) {
    auto r = read(dir / "missing.xml");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed, "read xml error\n");
    EXPECT_EQ(r.folder, "");

    r = read();
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed, "No this file\n");

    // Readable by access() but not openable: a socket.
    write_config("");
    unlink(config().c_str());
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, config().c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    r = read();
    close(sock);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.printed, "Read error\n");
}

TEST_F(ReadMonitorFolder, TheLastIncomingDirWinsAndEachCompleteLineIsAnnounced) {
    write_config("[eMule]\nTempDir=/a/Temp\nIncomingDir=/a/first\nNick=x\nIncomingDir=/a/second\n");
    auto r = read();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.folder, "/a/second/");
    EXPECT_EQ(r.printed, "amule monitor folder: /a/first/\namule monitor folder: /a/second/\n");
}

TEST_F(ReadMonitorFolder, ValuesAreTakenAsTheyStand) {
    struct {
        const char* config;
        const char* folder;
        const char* printed;
    } cases[] = {
        {"IncomingDir=/a/b\nIncomingDir=/c/last", "/c/last", "amule monitor folder: /a/b/\n"},
        {"IncomingDir=/a/b\nIncomingDir\n", "", "amule monitor folder: /a/b/\n"},
        {"IncomingDir=/a/b\nIncomingDir", "", "amule monitor folder: /a/b/\n"},
        {"#OldIncomingDirX=/a/b\n", "=/a/b/", "amule monitor folder: =/a/b/\n"},
        {"# IncomingDir is where downloads end\n", "is where downloads end/",
         "amule monitor folder: is where downloads end/\n"},
        {"IncomingDir=/a/b\r\n", "/a/b\r/", "amule monitor folder: /a/b\r/\n"},
        {"Nick=nobody\n", "", ""},
    };
    for (const auto& c : cases) {
        write_config(c.config);
        auto r = read();
        EXPECT_EQ(r.result, 0) << c.config;
        EXPECT_EQ(r.folder, c.folder) << c.config;
        EXPECT_EQ(r.printed, c.printed) << c.config;
    }
}

TEST_F(ReadMonitorFolder, AnOverLongLineGivesItsFirstPieceUnterminated) {
    write_config("IncomingDir=/" + std::string(300, 'd') + "\n");
    auto r = read();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.folder, "/" + std::string(255 - 13, 'd'));
    EXPECT_EQ(r.printed, "");
}

TEST(FormatConfigPath, PutsTheInstallPathFirst) {
    char path[64];
    watcher::format_config_path(path, "/tmp/qwtest01");
    EXPECT_STREQ(path, "/tmp/qwtest01/Nas_Prog/aMule/.aMule/amule.conf");
    watcher::format_config_path(path, "");
    EXPECT_STREQ(path, "/Nas_Prog/aMule/.aMule/amule.conf");
}

}  // namespace
