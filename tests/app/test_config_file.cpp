#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <random>

#include "app/config_file.h"
#include "image/device_table.h"
#include "image/file_test_support.h"

namespace pelk {
namespace {

class ConfigFile : public ::testing::Test {
protected:
    test::TempDir Dir;
    std::filesystem::path Path = Dir / "PelkISP.cfg";

    ConfigSettings Read(const std::string& content) {
        test::WriteFile(Path, content);
        return ReadConfigFile(Path);
    }
};

// Six lines as the writer makes them, from the given line texts.
std::string Lines(std::initializer_list<std::string> lines, const char* end = "\r\n") {
    std::string text;
    for (const auto& line : lines) text += line + end;
    return text;
}

TEST_F(ConfigFile, NoFileGivesStartUpDefaults) {
    const ConfigSettings s = ReadConfigFile(Path);
    EXPECT_FALSE(s.Found);
    EXPECT_EQ(s.PortNumber, 0);
    EXPECT_EQ(s.DeviceIndex, 0);
    EXPECT_EQ(s.Directory, "");
    EXPECT_EQ(s.BaudIndex, 0);
    EXPECT_EQ(s.AutoBaud, 1);
    // A directory of that name does not count as a file either.
    std::filesystem::create_directory(Path);
    EXPECT_FALSE(ReadConfigFile(Path).Found);
}

TEST_F(ConfigFile, WrittenExampleReadsBack) {
    const ConfigSettings s = Read(Lines({"PELKORD ISP Configuration File", "2", "3", "/home/user/hex/", "8", "0"}));
    EXPECT_TRUE(s.Found);
    EXPECT_EQ(s.PortNumber, 2);
    EXPECT_EQ(s.DeviceIndex, 3);
    EXPECT_EQ(s.Directory, "/home/user/hex/");
    EXPECT_EQ(s.BaudIndex, 8);
    EXPECT_EQ(s.AutoBaud, 0);
}

TEST_F(ConfigFile, EachLineFallsBackToItsOwnDefault) {
    struct Case {
        const char* name;
        std::string content;
        uint8_t port, device;
        int32_t baud;
        uint8_t autoBaud;
        std::string directory;
    };
    const Case cases[] = {
        {"header only", "PELKORD ISP Configuration File\r\n", 0, 1, 6, 1, ""},
        {"empty file", "", 0, 1, 6, 1, ""},
        {"letters", Lines({"x", "COM2", "three", "D:\\hex\\", "nine", "yes"}), 0, 1, 6, 1, "D:\\hex\\"},
        {"empty lines", Lines({"", "", "", "", "", ""}), 0, 1, 6, 1, ""},
        {"device 7", Lines({"h", "1", "7", "", "0", "1"}), 1, 7, 0, 1, ""},
        {"device 257", Lines({"h", "1", "257", "", "0", "1"}), 1, 1, 0, 1, ""},
        {"automatic baud 2", Lines({"h", "4", "2", "", "11", "2"}), 4, 2, 11, 2, ""},
        {"negative values", Lines({"h", "-1", "-250", "", "-7", "-1"}), 255, 6, -7, 255, ""},
        {"32-bit limits", Lines({"h", "0", "1", "", "-2147483648", "1"}), 0, 1, INT32_MIN, 1, ""},
        {"past 32 bits", Lines({"h", "0", "1", "", "2147483648", "1"}), 0, 1, 6, 1, ""},
        {"not quite integers", Lines({"h", "+2", " 3", "", "8 ", "-"}), 0, 1, 6, 1, ""},
        {"CR LF", Lines({"h", "3", "5", "/tmp/", "12", "0"}), 3, 5, 12, 0, "/tmp/"},
        {"bare LF", Lines({"h", "3", "5", "/tmp/", "12", "0"}, "\n"), 3, 5, 12, 0, "/tmp/"},
        {"no line end at the end", "h\n3\n5\n/tmp/\n12\n0", 3, 5, 12, 0, "/tmp/"},
        {"CR at the very end", "h\r\n3\r\n5\r\n/tmp/\r\n12\r\n0\r", 3, 5, 12, 0, "/tmp/"},
        {"lines missing at the end", "h\r\n2\r\n3\r\n", 2, 3, 6, 1, ""},
    };
    for (const Case& c : cases) {
        const ConfigSettings s = Read(c.content);
        EXPECT_TRUE(s.Found) << c.name;
        EXPECT_EQ(s.PortNumber, c.port) << c.name;
        EXPECT_EQ(s.DeviceIndex, c.device) << c.name;
        EXPECT_EQ(s.BaudIndex, c.baud) << c.name;
        EXPECT_EQ(s.AutoBaud, c.autoBaud) << c.name;
        EXPECT_EQ(s.Directory, c.directory) << c.name;
    }
}

TEST_F(ConfigFile, DeviceOutsideTheCatalogueComesBackAsDevice1) {
    for (const char* device : {"7", "257", "0", "x"}) {
        const ConfigSettings s = Read(Lines({"h", "1", device, "", "6", "1"}));
        MemoryImage image;
        ApplyDeviceIndex(image, s.DeviceIndex);
        ASSERT_TRUE(WriteConfigFile(ConfigValues{1, image.DeviceIndex, "", 6, s.AutoBaud}, Path));
        EXPECT_EQ(test::ReadFile(Path), Lines({ConfigHeader, "1", "1", "", "6", "1"})) << device;
    }
}

TEST_F(ConfigFile, LineOf99CharactersIsReadWholeAndOf100BreaksTheRest) {
    const std::string dir99 = "/" + std::string(97, 'd') + "/";
    ASSERT_EQ(dir99.size(), 99u);
    for (const char* end : {"\r\n", "\n"}) {
        const ConfigSettings whole = Read(Lines({"h", "2", "3", dir99, "8", "0"}, end));
        EXPECT_EQ(whole.Directory, dir99);
        EXPECT_EQ(whole.BaudIndex, 8);
        EXPECT_EQ(whole.AutoBaud, 0);

        const ConfigSettings broken = Read(Lines({"h", "2", "3", dir99 + "x", "8", "0"}, end));
        EXPECT_EQ(broken.Directory, dir99);
        EXPECT_EQ(broken.PortNumber, 2);
        EXPECT_EQ(broken.DeviceIndex, 3);
        EXPECT_EQ(broken.BaudIndex, 6);
        EXPECT_EQ(broken.AutoBaud, 1);
    }
    // A header of 100 characters costs every setting.
    const ConfigSettings header = Read(Lines({std::string(100, 'H'), "2", "3", "/x/", "8", "0"}));
    EXPECT_EQ(header.PortNumber, 0);
    EXPECT_EQ(header.DeviceIndex, 1);
    EXPECT_EQ(header.Directory, "");
}

TEST_F(ConfigFile, WriterMakesSixCrLfLines) {
    ASSERT_TRUE(WriteConfigFile(ConfigValues{2, 3, "/home/user/hex/blinky.hex", 8, 0}, Path));
    EXPECT_EQ(test::ReadFile(Path),
              "PELKORD ISP Configuration File\r\n2\r\n3\r\n/home/user/hex/\r\n8\r\n0\r\n");
    ASSERT_TRUE(WriteConfigFile(ConfigValues{0, 1, "", -3, 255}, Path));
    EXPECT_EQ(test::ReadFile(Path), "PELKORD ISP Configuration File\r\n0\r\n1\r\n\r\n-3\r\n-1\r\n");
}

TEST_F(ConfigFile, DirectoryLineIsCutAfterTheLastSeparator) {
    EXPECT_EQ(DirectoryLine("/home/user/hex/blinky.hex"), "/home/user/hex/");
    EXPECT_EQ(DirectoryLine("/blinky.hex"), "/");
    EXPECT_EQ(DirectoryLine("blinky.hex"), "");
    EXPECT_EQ(DirectoryLine(""), "");
    // Too long for the reader to take back: written empty, so the next start
    // keeps its baud settings.
    const std::string dir99 = "/" + std::string(97, 'd') + "/";
    EXPECT_EQ(DirectoryLine(dir99 + "f.hex"), dir99);
    EXPECT_EQ(DirectoryLine("/" + dir99 + "f.hex"), "");
    EXPECT_EQ(DirectoryLine("/odd\nname/f.hex"), "");
}

TEST_F(ConfigFile, WhatIsWrittenReadsBack) {
    ASSERT_TRUE(WriteConfigFile(ConfigValues{4, 6, "/data/images/x.bin", 12, 2}, Path));
    const ConfigSettings s = ReadConfigFile(Path);
    EXPECT_EQ(s.PortNumber, 4);
    EXPECT_EQ(s.DeviceIndex, 6);
    EXPECT_EQ(s.Directory, "/data/images/");
    EXPECT_EQ(s.BaudIndex, 12);
    EXPECT_EQ(s.AutoBaud, 2);
}

TEST_F(ConfigFile, ExistingFileIsReplacedAndNothingElseIsLeft) {
    test::WriteFile(Path, std::string(5000, 'x'));
    ASSERT_TRUE(WriteConfigFile(ConfigValues{}, Path));
    EXPECT_EQ(ReadConfigFile(Path).DeviceIndex, 1);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir.Path()), {}), 1);
}

TEST_F(ConfigFile, FailedWriteLeavesTheOldFileIntact) {
    const std::string old = Lines({"PELKORD ISP Configuration File", "2", "3", "/old/", "8", "0"});
    test::WriteFile(Path, old);

    // No file may grow: every write fails with "file too large".
    const bool written = test::WithFileSizeLimit(0, [&] { return WriteConfigFile(ConfigValues{1, 1, "/new/f.hex", 6, 1}, Path); });

    EXPECT_FALSE(written);
    EXPECT_EQ(test::ReadFile(Path), old);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir.Path()), {}), 1)
        << "the temporary file was left behind";
}

TEST_F(ConfigFile, UnwritablePlaceIsReportedAsFailure) {
    EXPECT_FALSE(WriteConfigFile(ConfigValues{}, Dir / "missing" / "PelkISP.cfg"));
    std::filesystem::create_directory(Path);  // a directory where the file should be
    EXPECT_FALSE(WriteConfigFile(ConfigValues{}, Path));
    EXPECT_TRUE(std::filesystem::is_directory(Path));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir.Path()), {}), 1);
}

TEST_F(ConfigFile, WriteProtectedFileIsLeftAsItWas) {
    test::WriteFile(Path, "kept\r\n");
    ASSERT_EQ(chmod(Path.c_str(), 0444), 0);
    EXPECT_FALSE(WriteConfigFile(ConfigValues{}, Path));
    EXPECT_EQ(test::ReadFile(Path), "kept\r\n");
    EXPECT_EQ(std::filesystem::status(Path).permissions(), std::filesystem::perms(0444));
}

TEST_F(ConfigFile, LinkIsWrittenThroughAndStaysALink) {
    std::filesystem::create_directory(Dir / "shared");
    test::WriteFile(Dir / "shared" / "settings.cfg", "old\r\n");
    std::filesystem::create_symlink("shared/settings.cfg", Path);
    const ConfigValues values{2, 3, "/hex/f.hex", 8, 0};
    ASSERT_TRUE(WriteConfigFile(values, Path));
    EXPECT_TRUE(std::filesystem::is_symlink(Path));
    EXPECT_EQ(test::ReadFile(Dir / "shared" / "settings.cfg"), FormatConfigText(values));
}

TEST_F(ConfigFile, FifoOfThatNameIsNeitherWaitedForNorReplaced) {
    ASSERT_EQ(mkfifo(Path.c_str(), 0600), 0);
    EXPECT_FALSE(ReadConfigFile(Path).Found) << "no settings, and no wait for a writer";
    EXPECT_FALSE(WriteConfigFile(ConfigValues{}, Path)) << "nobody reads it";
    EXPECT_TRUE(std::filesystem::is_fifo(Path));
}

TEST(ConfigRandomInput, AnyContentParsesWithinItsBounds) {
    // Each text sits in a heap block of exactly its size, so the sanitizer
    // build catches a read past its end.
    std::mt19937 random(99);
    static constexpr char chars[] = "0123456789-+ \r\n\r\nabc/\\\0\xFF";  // NUL included
    const std::string alphabet(chars, sizeof chars - 1);
    for (int n = 0; n < 20000; ++n) {
        std::string text(random() % 800, ' ');
        for (auto& ch : text) ch = alphabet[random() % alphabet.size()];
        if (random() % 3 == 0) text = Lines({"h", "1", "2", std::string(random() % 120, 'd'), "3", "4"}).substr(0, random() % 140);
        auto exact = std::make_unique<char[]>(text.size());
        std::copy(text.begin(), text.end(), exact.get());
        const ConfigSettings s = ParseConfigText(std::string_view(exact.get(), text.size()));
        ASSERT_LE(s.Directory.size(), ConfigLineLimit);
        ASSERT_EQ(s.Directory.find_first_of("\n"), std::string::npos);
    }
}

}  // namespace
}  // namespace pelk
