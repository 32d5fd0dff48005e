#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "system/file.h"
#include "system/text.h"

namespace {

using tavrel::test::TempFolder;
using tavrel::test::WriteFileBytes;

TEST(FileMd5, KnownDigestsInUpperCase) {
    TempFolder dir;
    struct Case {
        std::string bytes;
        const char* md5;
    } cases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"The quick brown fox jumps over the lazy dog", "9E107D9D372BB6826BD81D3542A419D6"},
    };
    for (const Case& c : cases) {
        std::string path = dir / "f.bin";
        ASSERT_TRUE(WriteFileBytes(path, c.bytes));
        EXPECT_EQ(GetFileMd5(path), c.md5);
    }
}

TEST(FileMd5, MissingFileIsEmpty) {
    TempFolder dir;
    EXPECT_EQ(GetFileMd5(dir / "nothing.upk"), "");
}

TEST(FileMd5, ChunkBoundariesDoNotChangeTheDigest) {
    // 1025 bytes straddle the 1024-byte read; the digest is the one of the same bytes in one go
    // (computed independently with Python's hashlib).
    TempFolder dir;
    std::string bytes;
    for (int i = 0; i < 1025; ++i) bytes.push_back(static_cast<char>(i * 7 + 3));
    std::string path = dir / "a.bin";
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    EXPECT_EQ(GetFileMd5(path), "EE57403EB3428E1A0BE41FAD4A70B174");
}

TEST(IniFile, ReadsWhatItWrites) {
    TempFolder dir;
    std::string ini = dir / "shell.ini";
    EXPECT_EQ(ReadIniString(ini, "Server", "Server"), "") << "missing file";
    ASSERT_TRUE(WriteIniString(ini, "Server", "Server", "10.0.0.1"));
    ASSERT_TRUE(WriteIniString(ini, "Server", "ServerPort", "8080"));
    ASSERT_TRUE(WriteIniString(ini, "Application", "AppTitle", "Exam"));
    EXPECT_EQ(ReadIniString(ini, "Server", "Server"), "10.0.0.1");
    EXPECT_EQ(ReadIniString(ini, "Server", "ServerPort"), "8080");
    EXPECT_EQ(ReadIniString(ini, "Application", "AppTitle"), "Exam");
    EXPECT_EQ(ReadIniString(ini, "Server", "SocketPort"), "") << "missing key";
    EXPECT_EQ(ReadIniString(ini, "Nowhere", "Server"), "") << "missing section";

    // Replacing a value keeps the others.
    ASSERT_TRUE(WriteIniString(ini, "Server", "Server", "10.0.0.2"));
    EXPECT_EQ(ReadIniString(ini, "Server", "Server"), "10.0.0.2");
    EXPECT_EQ(ReadIniString(ini, "Server", "ServerPort"), "8080");
    EXPECT_EQ(ReadIniString(ini, "Application", "AppTitle"), "Exam");
}

TEST(IniFile, ReadsFilesWrittenByHand) {
    TempFolder dir;
    std::string ini = dir / "shell.ini";
    ASSERT_TRUE(WriteFileBytes(ini,
                               "; exam room 3\r\n"
                               "[server]\r\n"
                               "Server = 192.168.1.10  \r\n"
                               "serverport=8080\r\n"
                               "SocketPort=\"8081\"\r\n"
                               "[Application]\r\n"
                               "AppTitle=Tavrel \xE8\x80\x83\xE8\xAF\x95\r\n"));
    // Sections and keys match without regard to case; blanks around values and enclosing quotes go.
    EXPECT_EQ(ReadIniString(ini, "Server", "Server"), "192.168.1.10");
    EXPECT_EQ(ReadIniString(ini, "Server", "ServerPort"), "8080");
    EXPECT_EQ(ReadIniString(ini, "Server", "SocketPort"), "8081");
    EXPECT_EQ(ReadIniString(ini, "Application", "AppTitle"), "Tavrel \xE8\x80\x83\xE8\xAF\x95");
}

TEST(IniFile, LongValuesAreCutAt259Characters) {
    TempFolder dir;
    std::string ini = dir / "shell.ini";
    std::string longValue(400, 'x');
    ASSERT_TRUE(WriteIniString(ini, "Application", "AppTitle", longValue));
    EXPECT_EQ(ReadIniString(ini, "Application", "AppTitle"), std::string(259, 'x'));
}

TEST(IniFile, BytesAreReadAsTheyStandWithTheProfileRules) {
    TempFolder dir;
    std::string ini = dir / "shell.ini";
    const std::string kao = "\xE8\x80\x83";  // 考, three bytes
    std::string many;
    for (int i = 0; i < 87; ++i) many += kao;  // 261 bytes
    ASSERT_TRUE(WriteFileBytes(ini, "\xEF\xBB\xBF[Application]\r\nTitle=\xC4\xE3\r\n  LONG = '" + many +
                                        "'\n;AppTitle=commented\r\n[other]\r\nAppTitle=elsewhere\r\n"));
    EXPECT_EQ(ReadIniBytes(ini, "application", "title"), "\xC4\xE3") << "not UTF-8 either: still as it stands";
    EXPECT_EQ(ReadIniBytes(ini, "Application", "Long"), many.substr(0, 258)) << "cut before a character's middle";
    EXPECT_EQ(ReadIniBytes(ini, "Application", "AppTitle"), "") << "comments and other sections do not count";
    EXPECT_EQ(ReadIniBytes(ini, "Other", "AppTitle"), "elsewhere");
    EXPECT_EQ(ReadIniBytes(dir / "missing.ini", "Application", "Title"), "");
}

TEST(IniFile, WritingToAnImpossiblePathFails) {
    TempFolder dir;
    EXPECT_FALSE(WriteIniString(dir / "no-such-folder/shell.ini", "Server", "Server", "1.2.3.4"));
}

TEST(FileVersion, FilesWithoutAVersionGiveEmptyText) {
    TempFolder dir;
    std::string plain = dir / "plain.bin";
    ASSERT_TRUE(WriteFileBytes(plain, std::string(5000, 'z')));
    EXPECT_EQ(GetFileVersionText(plain), "");
    EXPECT_EQ(GetFileVersionText(dir / "missing.exe"), "");
}

TEST(FileVersion, TheAgentReportsItsBuildVersion) {
    std::string agent = tavrel::test::EnvText("TAVREL_AGENT_EXE");
    if (agent.empty()) GTEST_SKIP() << "TAVREL_AGENT_EXE not set (run through ctest)";
#ifdef _WIN32
    agent = tavrel::test::TestBinFolder() + "..\\..\\TavrelAgent.exe";
#endif
    EXPECT_EQ(GetFileVersionText(agent), TAVREL_VERSION_TEXT);
}

TEST(Folders, CreateFoldersMakesMissingParents) {
    TempFolder dir;
    std::string deep = dir / "a/b/c";
    EXPECT_FALSE(IsDirectory(deep));
    EXPECT_TRUE(CreateFolders(deep));
    EXPECT_TRUE(IsDirectory(deep));
    EXPECT_TRUE(CreateFolders(deep)) << "an existing folder is fine";
    std::string file = dir / "a/file.txt";
    ASSERT_TRUE(WriteFileBytes(file, "x"));
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(IsDirectory(file));
    EXPECT_TRUE(RemoveFile(file));
    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(ParentFolder(file), dir / "a");
}

}  // namespace

// The one device-name rule behind the exam client's name and the answer path of 2002.
TEST(DeviceNames, WindowsOpensTheseAsDevicesWhateverFollows) {
    const struct {
        const wchar_t* name;
        bool device;
    } rows[] = {
        {L"CON", true},      {L"con.exe", true},    {L"Nul .oef", true},   {L"AUX..", true},     {L"prn. .txt", true},
        {L"CONIN$", true},   {L"conout$.x", true},  {L"CLOCK$.exe", true}, {L"COM1", true},      {L"lpt9.dat", true},
        {L"COM\u00B9", true}, {L"LPT\u00B3.exe", true}, {L"con.tar.gz", true},
        {L"CONSOLE", false}, {L"COM10", false},     {L"LPTA", false},      {L"nullify.exe", false}, {L"", false},
        {L".CON", false},    {L"E1", false},        {L"COM\u00B4", false}, {L"\u8003\u751f", false},
    };
    for (const auto& row : rows) EXPECT_EQ(IsWindowsDeviceName(row.name), row.device) << testing::PrintToString(std::wstring(row.name));
}
