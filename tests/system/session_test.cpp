#include <gtest/gtest.h>

#include "system/session.h"

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
    EXPECT_FALSE(RunPlanned(LaunchPlan{}, OwnSession()));  // a plan of nobody starts nothing
}
