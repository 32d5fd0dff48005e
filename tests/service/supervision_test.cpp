#include <gtest/gtest.h>

#include "service/service_log.h"
#include "service/supervision.h"
#include "system/agent_exit.h"
#include "system/session.h"

using std::chrono::seconds;

TEST(Supervision, AnAgentThatKeepsDyingWaitsLongerEachTimeUpTo30sAndAfreshAfterASteadyMinute) {
    struct Row { int exitCode; int ranSeconds; bool restart; int delay; } rows[] = {
        {1, 2, true, 1}, {-1073741819, 0, true, 2}, {1, 5, true, 4}, {259, 1, true, 8}, {1, 59, true, 16},
        {1, 3, true, 30}, {1, 3, true, 30}, {1, 60, true, 1}, {1, 10, true, 2},
        {0, 5, false, 0},  // the exit password or an update: stays ended
        {1, 1, true, 1},   // a later start (logon) that dies begins the back-off afresh
    };
    Supervision state;
    for (const Row& row : rows) {
        RestartDecision d = DecideAfterAgentEnd(state, row.exitCode, seconds(row.ranSeconds));
        EXPECT_EQ(d.restart, row.restart) << row.exitCode << " after " << row.ranSeconds << " s";
        EXPECT_EQ(d.delay, seconds(row.delay)) << row.exitCode << " after " << row.ranSeconds << " s";
    }
}

TEST(Supervision, TheAgentFollowsTheConsoleAndALogonEndsStaysEnded) {
    const auto L = SessionEvent::Logon, C = SessionEvent::ConsoleConnect, O = SessionEvent::Other;
    struct Row { bool endedByChoice; SessionEvent event; bool running; unsigned agent, console; SessionAction action; bool after; } rows[] = {
        {false, C, true, 1, 2, SessionAction::Move, false},   {false, C, true, 2, 2, SessionAction::Nothing, false},
        {false, C, false, kNoSession, 2, SessionAction::Start, false},
        {true, C, false, kNoSession, 2, SessionAction::Nothing, true},
        {true, L, false, kNoSession, 3, SessionAction::Start, false},   {false, L, true, 1, 3, SessionAction::Move, false},
        {false, C, true, 1, kNoSession, SessionAction::Nothing, false}, {true, O, false, kNoSession, 1, SessionAction::Nothing, true},
    };
    for (const Row& row : rows) {
        Supervision state;
        state.endedByChoice = row.endedByChoice;
        EXPECT_EQ(DecideOnSessionChange(state, row.event, row.running, row.agent, row.console), row.action)
            << static_cast<int>(row.event) << " agent in " << row.agent << ", console " << row.console;
        EXPECT_EQ(state.endedByChoice, row.after);
    }
}

// Every end of the agent says why; the service acts on it, and gives the PC up only for the exit password.
TEST(Supervision, EachExitCodeHasItsOwnRule) {
    struct Row { int exitCode; bool restart; int delay; bool endedByChoice; const wchar_t* text; } rows[] = {
        {kAgentExitPassword, false, 0, true, L"exit password or asked to end"}, {kAgentExitInstallerStarted, true, 300, false, L"installer started"},
        {kAgentExitAnotherAgent, true, 30, false, L"another agent runs"}, {kAgentExitCouldNotStart, true, 2, false, L"could not start"},
        {kAgentExitSessionEnded, false, 0, false, L"session ended"}, {-1073741819, true, 2, false, L"crashed or killed"},
    };
    for (const Row& row : rows) {
        Supervision state;
        state.quickEnds = 1;  // one quick end before: the back-off's second step
        RestartDecision d = DecideAfterAgentEnd(state, row.exitCode, seconds(3));
        EXPECT_EQ(d.restart, row.restart) << row.exitCode;
        EXPECT_EQ(d.delay, seconds(row.delay)) << row.exitCode;
        EXPECT_EQ(state.endedByChoice, row.endedByChoice) << row.exitCode;
        EXPECT_STREQ(AgentEndText(d.end), row.text);
        // Whatever the end, the next session's console brings it back unless the exit password ended it.
        EXPECT_EQ(DecideOnSessionChange(state, SessionEvent::ConsoleConnect, false, kNoSession, 3) == SessionAction::Start,
                  !row.endedByChoice) << row.exitCode;
    }
}

// The service's file is dated by the clock its lines are stamped with: UTC+8, whatever the PC's zone.
TEST(ServiceLog, FileIsDatedByUtcPlusEight) {
    struct Row { std::time_t utc; const wchar_t* name; } rows[] = {
        {0, L"TavrelService.19700101.log"}, {1765468799, L"TavrelService.20251211.log"},  // 15:59:59 UTC
        {1765468800, L"TavrelService.20251212.log"}, {1709222400, L"TavrelService.20240301.log"},  // past a leap day
        {4102416000, L"TavrelService.21000101.log"},
    };
    for (const Row& row : rows) EXPECT_EQ(ServiceLogName(row.utc), row.name) << row.utc;
}
