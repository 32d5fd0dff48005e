#include <gtest/gtest.h>

#include "support/test_support.h"
#include "system/process.h"
#include "system/session.h"
#include "system/text.h"

// Whose account, which desktop and which command line each start gets.
TEST(SessionLaunch, TheExamClientRunsAsTheSessionsUserNeverAsSystemAndAsTodayByHand) {
    struct Row { bool system, token, limited; LaunchAccount account; const wchar_t* desktop; bool ownEnvironment; } rows[] = {
        {true, true, false, LaunchAccount::SessionUser, L"winsta0\\default", true},          // a standard candidate
        {true, true, true, LaunchAccount::SessionUserElevated, L"winsta0\\default", true},   // an administrator under UAC
        {true, false, false, LaunchAccount::None, L"", false},                               // nobody logged on
        {false, false, false, LaunchAccount::Caller, L"", false},                            // the agent run by hand
    };
    for (const Row& row : rows) {
        SessionFacts facts{row.system, row.token, row.limited};
        LaunchPlan plan = PlanUserProgramLaunch(facts, L"C:\\R m\\Agent\\Tavrel.exe", L" --shell-app-version=1", L"C:\\R m\\Agent\\");
        EXPECT_EQ(plan.account, row.account);
        EXPECT_EQ(plan.desktop, row.desktop);
        EXPECT_EQ(plan.accountEnvironment, row.ownEnvironment);
        EXPECT_EQ(plan.commandLine, L"\"C:\\R m\\Agent\\Tavrel.exe\"  --shell-app-version=1");
        EXPECT_EQ(plan.directory, L"C:\\R m\\Agent\\");
    }
    LaunchPlan agent = PlanSessionLaunch(L"C:\\R m\\Agent\\TavrelAgent.exe", L"", L"C:\\R m\\Agent");
    EXPECT_EQ(agent.account, LaunchAccount::OwnInSession);
    EXPECT_EQ(agent.desktop, L"winsta0\\default");
    EXPECT_EQ(agent.commandLine, L"\"C:\\R m\\Agent\\TavrelAgent.exe\"");
    EXPECT_EQ(agent.directory, L"C:\\R m\\Agent");
    LaunchFailure failure;
    EXPECT_FALSE(RunPlanned(LaunchPlan{}, OwnSession(), &failure));  // a plan of nobody starts nothing
    EXPECT_EQ(LaunchFailureText(failure), "no user logged on in the session");
}

// What the log says of a start Windows refused, and when a session that could not be set still will do.
TEST(SessionLaunch, AFailedStartNamesItsStepAndCodeAndNeverLandsInSessionZero) {
    struct { const char* step; unsigned long error; const char* text; } failures[] = {
        {"CreateProcessAsUserW", 740, "CreateProcessAsUserW error 740 (the program asks for administrator rights"},
        {"SetTokenInformation(TokenSessionId)", 1314, "SetTokenInformation(TokenSessionId) error 1314 (a privilege"},
        {"WTSQueryUserToken", 1008, "WTSQueryUserToken error 1008"}, {"", 0, ""}};
    for (const auto& row : failures)
        EXPECT_EQ(LaunchFailureText(LaunchFailure{row.step, row.error}).rfind(row.text, 0), 0u) << row.text;
    // Set: the candidate's desktop; unset from session 0: out of sight; unset but already there (by hand, Wine).
    struct { bool set; unsigned own, target; bool starts; } sessions[] = {
        {true, 0, 1, true}, {false, 0, 1, false}, {false, 1, 1, true}, {false, kNoSession, kNoSession, false}};
    for (const auto& row : sessions)
        EXPECT_EQ(SessionSetAcceptable(row.set, row.own, row.target), row.starts) << row.own << "->" << row.target;
}

// The service's own road, as far as this machine has one: its token moved to the console's session.
TEST(SessionLaunch, TheServicesStartInTheConsoleSessionStartsOrSaysWhy) {
    LaunchFailure failure;
    ProcessHandle started = RunPlanned(PlanSessionLaunch(AnsiToWide(tavrel::test::HelperPath("versioned_stub")), L"", L""),
                                       ActiveConsoleSession(), &failure);
    ASSERT_TRUE(started) << LaunchFailureText(failure);
    int code = -1;
    EXPECT_TRUE(WaitProcessEnd(started, &code, 20000) && code == 0) << code;
    CloseProcessHandle(started);
}
