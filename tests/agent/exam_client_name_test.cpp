// The exam client's name as the server sends it: only a plain ".exe" name in the agent's folder is taken.
#include <gtest/gtest.h>

#include "agent/service_workflow.h"
#include "support/test_support.h"

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
}

}  // namespace
}  // namespace tavrel::test
