// The exam client's name as the server sends it: only a plain ".exe" name in the agent's folder is taken.
#include <gtest/gtest.h>

#include "agent/service_workflow.h"
#include "base/shared_values.h"
#include "support/test_support.h"
#include "system/text.h"

namespace tavrel::test {
namespace {

TEST(IsPlainProgramName, TakesPlainExeNames) {
    for (const wchar_t* name : {L"Tavrel.exe", L"TavrelExam.EXE", L"tavrel-2.exe", L"Exam Client.exe",
                                L"\u8003\u8bd5.exe", L"a.b.exe", L"console.exe", L"COM10.exe", L"nullify.exe"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        EXPECT_TRUE(IsPlainProgramName(name));
    }
}

TEST(IsPlainProgramName, RefusesPathsDevicesAndOtherFiles) {
    for (const wchar_t* name : {
             L"", L".exe", L"..\\x.exe", L"../evil.exe", L"C:\\x.exe", L"C:x.exe", L"sub\\Tavrel.exe",
             L"sub/Tavrel.exe", L"\\\\server\\share\\x.exe", L"x..exe", L"Tavrel.exe\n", L"Tav\trel.exe",
             L"Tavrel.exe:stream", L"Tavrel.bat", L"Tavrel.exe.txt", L"Tavrel", L"CON.exe", L"nul.exe",
             L"Aux.exe", L"prn .exe", L"COM1.exe", L"lpt9.exe", L"COM\u00B9.exe", L"CONIN$.exe", L"con.tar.exe",
             L"a*.exe", L"a?.exe", L"a|b.exe", L"<a>.exe", L"\"a\".exe", L" Tavrel.exe", L".hidden.exe"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(name)));
        EXPECT_FALSE(IsPlainProgramName(name));
    }
    EXPECT_FALSE(IsPlainProgramName(std::wstring(300, L'a') + L".exe")) << "longer than a file name may be";
    EXPECT_FALSE(IsPlainProgramName(std::wstring(L"Tav\0rel.exe", 11)));
}

TEST(TakeExamClientName, KeepsTavrelExeAndLogsEachRefusedNameOnce) {
    LogCapture log;
    EXPECT_EQ(TakeExamClientName(L"Other.exe"), L"Other.exe");
    EXPECT_TRUE(log.Lines().empty());

    EXPECT_EQ(TakeExamClientName(L"../evil.exe"), L"Tavrel.exe");
    EXPECT_EQ(TakeExamClientName(L"../evil.exe"), L"Tavrel.exe");
    EXPECT_EQ(log.Count("../evil.exe"), 1u) << "the server repeats itself every pass; the log does not";
    EXPECT_TRUE(log.Contains(LogLevel::Error, "tavrelType refused"));

    EXPECT_EQ(TakeExamClientName(L"C:\\x.exe"), L"Tavrel.exe");
    EXPECT_EQ(log.Count("C:\\x.exe"), 1u);
    EXPECT_EQ(TakeExamClientName(L""), L"Tavrel.exe");

    WriteShared(&SharedValues::ExeFileName, std::string("Agent2.exe"));
    for (const wchar_t* own : {L"TavrelAgent.exe", L"tavrelagent.EXE", L"Uninstall.exe", L"TavrelService.exe", L"Agent2.exe"})
        EXPECT_EQ(TakeExamClientName(own), L"Tavrel.exe") << WideToAnsi(own) << " is the agent's own file";
    EXPECT_TRUE(log.Contains(LogLevel::Error, "one of the agent's own files: Uninstall.exe"));
    EXPECT_EQ(TakeExamClientName(L"TavrelAgent2.exe"), L"TavrelAgent2.exe");
    ResetShared();
}

TEST(ExamClientCommandLine, ValuesThatWouldSplitOrBreakAnArgumentAreRefusedOnce) {
    SharedValues v;
    v.CurrentRoomCode = "R1";
    std::vector<CommandLinePiece> pieces = ExamClientArguments(v, ServiceStartupInfo());
    struct Row {
        const char* value;
        bool taken;
    } rows[] = {{"R1", true}, {"", true}, {"\xbf\xbc\xca\xd4", true}, {"a\\b", true}, {"1920*1080", true},
                {"R1 --shell-app-BaseUrl=http://x", false}, {"R1\t--x", false}, {"R\"1", false}, {"R'1", false},
                {"R1\n", false}, {"R1\r", false}, {"R\x7f", false}};
    for (const Row& row : rows) EXPECT_EQ(IsCommandLineValue(row.value), row.taken) << "[" << row.value << "]";

    LogCapture log;
    EXPECT_TRUE(ExamClientArgumentsSafe(pieces));
    pieces[6].value = "R1 --shell-app-BaseUrl=http://x";
    EXPECT_FALSE(ExamClientArgumentsSafe(pieces));
    EXPECT_FALSE(ExamClientArgumentsSafe(pieces));
    EXPECT_EQ(log.Count("--shell-app-ecpRoomCode=R1 --shell-app-BaseUrl=http://x"), 1u) << "once while it repeats";
    pieces[9].value = "\"X\"";
    EXPECT_FALSE(ExamClientArgumentsSafe(pieces)) << "the first bad piece still the same: no second line";
    EXPECT_EQ(log.Count("考试客户端未启动"), 1u);
}

}  // namespace
}  // namespace tavrel::test
