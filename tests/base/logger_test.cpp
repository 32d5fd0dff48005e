#include <gtest/gtest.h>

#include <ctime>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "base/install_layout.h"
#include "base/logger.h"
#include "support/links.h"
#include "support/test_support.h"
#include "system/text.h"

namespace {

using tavrel::test::MakeHardLink;
using tavrel::test::ReadFileBytes;
using tavrel::test::MakeSymbolicLink;
using tavrel::test::TempFolder;
using tavrel::test::WriteFileBytes;

#ifdef _WIN32
const std::string kLineEnd = "\r\n";
#else
const std::string kLineEnd = "\n";
#endif

// The file's lines, each ended by the platform's line end; a line end of the other kind fails the test.
std::vector<std::string> FileLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t at; (at = text.find(kLineEnd, start)) != std::string::npos; start = at + kLineEnd.size())
        lines.push_back(text.substr(start, at - start));
    EXPECT_EQ(start, text.size()) << "text after the last line end";
    for (const std::string& line : lines)
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << "a stray line end in [" << line << "]";
    return lines;
}

std::time_t Utc(int hour, int minute, int second) {
    // 2024-03-07 at the given UTC time.
    return static_cast<std::time_t>(1709769600LL + hour * 3600 + minute * 60 + second);
}

TEST(LogPrefix, UtcPlusEightWithoutLeadingZeros) {
    EXPECT_EQ(LogTimePrefix(Utc(1, 5, 3)), "[9:5:3]");
    EXPECT_EQ(LogTimePrefix(Utc(16, 30, 7)), "[0:30:7]");
    EXPECT_EQ(LogTimePrefix(Utc(15, 59, 59)), "[23:59:59]");
    EXPECT_EQ(LogTimePrefix(Utc(0, 0, 0)), "[8:0:0]");
    EXPECT_EQ(LogTimePrefix(Utc(12, 10, 10)), "[20:10:10]");
}

TEST(LogFileName, DatedNameBesideTheAgentFolder) {
    std::tm date{};
    date.tm_year = 2024 - 1900;
    date.tm_mon = 2;
    date.tm_mday = 7;
    std::string sep = PathSeparator();
    std::string exeDir = sep + "seat" + sep + "Agent" + sep;
    EXPECT_EQ(LogFilePath(exeDir, date),
              sep + "seat" + sep + "Agent" + sep + "log" + sep + "TavrelAgent.20240307.log");
    date.tm_year = 2026 - 1900;
    date.tm_mon = 11;
    date.tm_mday = 31;
    EXPECT_EQ(LogFilePath("A" + sep, date), "A" + sep + "log" + sep + "TavrelAgent.20261231.log");
    EXPECT_EQ(ExamClientLogPath("A" + sep), "A" + sep + ".." + sep + "log" + sep + "Tavrel.log")
        << "the exam client's log stays where the candidate's account writes";
}

// The installer lays these out beside the agent's folder; the service, the exam client and the server's
// commands find their files there.
TEST(InstallLayout, EveryPathLiesBesideTheAgentFolder) {
    const std::string sep = PathSeparator();
    const std::string exeDir = sep + "seat" + sep + "Agent" + sep;
    const std::string root = exeDir + ".." + sep;
    const struct {
        std::string made, expected;
    } rows[] = {
        {IniFilePath(exeDir), exeDir + "shell.ini"},
        {InstallRootFolder(exeDir), root},
        {ExamClientLogPath(exeDir), root + "log" + sep + "Tavrel.log"},
        {InstallTempFolder(exeDir), root + "Temp"},
        {InstallerDownloadPath(exeDir), root + "Temp" + sep + "Tavrel_Setup.exe"},
        {AnswerCopyFolder(exeDir), root + "Temp" + sep + "answer"},
        {ModulesFolder(exeDir), root + "Modules"},
        {ModulePackagePath(exeDir, ModulePackageName("0123456789ABCDEF0123456789ABCDEF")),
         root + "Modules" + sep + "0123456789ABCDEF0123456789ABCDEF.upk"},
        {ExamDataFolder(exeDir), root + "ExamData"},
        {AnswerFilesFolder(exeDir), root + "ExamData" + sep + "nrvq" + sep},
    };
    for (const auto& row : rows) EXPECT_EQ(row.made, row.expected);
}

TEST(LogFile, BannersAndInformationLinesReachTheFile) {
    TempFolder dir;
    std::string path = dir / "agent.log";
    OpenLog(path);
    ASSERT_TRUE(IsLogFileOpen());
    WriteStartBanner();
    LogInfo("DoUserServiceHandle") << "===Server Version====" << "1.0.0.2" << " n=" << 12;
    LogError("GetVersionInfo") << "GetVersionInfo Error[" << 7 << "]:";
    WriteEndBanner();
    CloseLog();

    std::string text = ReadFileBytes(path);
    const std::string equals(81, '=');
    std::vector<std::string> lines = FileLines(text);
    ASSERT_EQ(lines.size(), 10u) << text;
    auto body = [](const std::string& line) { return line.substr(line.find(']') + 1); };
    EXPECT_EQ(body(lines[0]), equals);
    EXPECT_EQ(body(lines[1]), "\t\tCorvend log file");
    EXPECT_EQ(body(lines[2]), "\t\tSubject : TavrelAgent Application");
    EXPECT_EQ(body(lines[3]), equals);
    EXPECT_EQ(body(lines[4]), "===Server Version====1.0.0.2 n=12");
    EXPECT_EQ(body(lines[5]), equals) << "error lines never reach the file";
    EXPECT_EQ(body(lines[6]), "\t\tTavrelAgent Application End");
    EXPECT_EQ(body(lines[7]), equals);
    EXPECT_EQ(lines[8], "");
    EXPECT_EQ(lines[9], "");
    EXPECT_EQ(lines[0].front(), '[');
}

TEST(LogFile, SecondRunAppendsAfterTheFirstRunsBlankLines) {
    TempFolder dir;
    std::string path = dir / "agent.log";
    for (int run = 0; run < 2; ++run) {
        OpenLog(path);
        WriteStartBanner();
        WriteEndBanner();
        CloseLog();
    }
    std::string text = ReadFileBytes(path);
    std::string firstEnd = std::string(81, '=') + kLineEnd + kLineEnd + kLineEnd + "[";
    EXPECT_NE(text.find(firstEnd), std::string::npos) << "the second banner follows two blank lines";
    size_t banners = 0;
    for (size_t at = 0; (at = text.find("Corvend log file", at)) != std::string::npos; ++at) ++banners;
    EXPECT_EQ(banners, 2u);
}

TEST(LogFile, MissingLogFolderFallsBackWithoutFailing) {
    TempFolder dir;
    OpenLog(dir / "no-log-folder/agent.log");
    EXPECT_FALSE(IsLogFileOpen());
    LogInfo("OnInitialize") << "still running";  // goes to standard output
    CloseLog();
}

// The log folder is the exam client's too, written in the candidate's account: a link (symbolic or hard)
// planted under the day's name must not have the elevated agent append to the file it points to.
TEST(LogFile, LinkPlantedForTheLogFileIsRefused) {
    std::string notShown;
    int shown = 0;
    for (bool hard : {false, true}) {
        SCOPED_TRACE(hard ? "hard link" : "symbolic link");
        TempFolder dir;
        ASSERT_TRUE(WriteFileBytes(dir / "victim", "system file"));
        std::string why = hard ? MakeHardLink(dir / "victim", dir / "agent.log")
                               : MakeSymbolicLink(dir / "victim", dir / "agent.log", false);
        if (!why.empty()) {
            notShown += std::string(hard ? "hard link" : "symbolic link") + " (" + why + ") ";
            continue;
        }
        ++shown;
        OpenLog(dir / "agent.log");
        EXPECT_FALSE(IsLogFileOpen());
        LogInfo("OnInitialize") << "a line";
        CloseLog();
        EXPECT_EQ(ReadFileBytes(dir / "victim"), "system file");
    }
    if (shown == 0) GTEST_SKIP() << "no link here: " << notShown;
    if (!notShown.empty()) std::cout << "[ info ] not shown: " << notShown << "\n";
}

TEST(LogFile, ChineseMessagesAreWrittenAsTheirAnsiBytes) {
    TempFolder dir;
    std::string path = dir / "agent.log";
    OpenLog(path);
    LogInfo("OnUninitialize") << "=======应用程序开始退出=======";
    CloseLog();
    std::string text = ReadFileBytes(path);
#ifdef _WIN32
    // GBK bytes of 应用程序开始退出 on a code page 936 system.
    const std::string expected = "\xD3\xA6\xD3\xC3\xB3\xCC\xD0\xF2\xBF\xAA\xCA\xBC\xCD\xCB\xB3\xF6";
#else
    const std::string expected =
        "\xE5\xBA\x94\xE7\x94\xA8\xE7\xA8\x8B\xE5\xBA\x8F\xE5\xBC\x80\xE5\xA7\x8B\xE9\x80\x80\xE5\x87\xBA";
#endif
    EXPECT_NE(text.find("=======" + expected + "======="), std::string::npos);
}

TEST(LogFile, LinesFromManyThreadsNeverInterleave) {
    TempFolder dir;
    std::string path = dir / "agent.log";
    OpenLog(path);
    const int threads = 8, perThread = 300;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i)
                LogInfo("Worker") << "thread " << t << " line " << i << " " << std::string(40, char('a' + t));
        });
    for (std::thread& w : workers) w.join();
    CloseLog();
    std::string text = ReadFileBytes(path);
    size_t count = 0;
    for (const std::string& line : FileLines(text)) {
        ++count;
        std::string body = line.substr(line.find(']') + 1);
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(body.c_str(), "thread %d line %d", &t, &i), 2) << line;
        EXPECT_EQ(body.substr(body.size() - 40), std::string(40, char('a' + t))) << line;
    }
    EXPECT_EQ(count, static_cast<size_t>(threads * perThread));
}

}  // namespace
