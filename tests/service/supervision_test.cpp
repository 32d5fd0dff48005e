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

// Every end of the agent says why; the service starts it again by that, never giving up the PC but for the
// exit password.
TEST(Supervision, EachExitCodeHasItsOwnRule) {
    struct Row { int exitCode; AgentEnd end; bool restart; int delay; bool endedByChoice; const wchar_t* text; } rows[] = {
        {kAgentExitPassword, AgentEnd::ExitPassword, false, 0, true, L"exit password"},
        {kAgentExitInstallerStarted, AgentEnd::InstallerStarted, true, 300, false, L"installer started"},
        {kAgentExitAnotherAgent, AgentEnd::AnotherAgent, true, 30, false, L"another agent runs"},
        {kAgentExitCouldNotStart, AgentEnd::CouldNotStart, true, 2, false, L"could not start"},  // second quick end
        {kAgentExitSessionEnded, AgentEnd::SessionEnded, false, 0, false, L"session ended"},
        {1, AgentEnd::Crashed, true, 1, false, L"crashed or killed"},
        {-1073741819, AgentEnd::Crashed, true, 1, false, L"crashed or killed"},
    };
    for (const Row& row : rows) {
        Supervision state;
        state.quickEnds = 1;
        if (row.end == AgentEnd::Crashed) state.quickEnds = 0;
        RestartDecision d = DecideAfterAgentEnd(state, row.exitCode, seconds(3));
        EXPECT_EQ(d.end, row.end) << row.exitCode;
        EXPECT_EQ(d.restart, row.restart) << row.exitCode;
        EXPECT_EQ(d.delay, seconds(row.delay)) << row.exitCode;
        EXPECT_EQ(state.endedByChoice, row.endedByChoice) << row.exitCode;
        EXPECT_STREQ(AgentEndText(d.end), row.text);
    }
    // After its session ended the agent comes back with the next one, at a console connect as at a logon.
    Supervision state;
    DecideAfterAgentEnd(state, kAgentExitSessionEnded, seconds(600));
    EXPECT_EQ(DecideOnSessionChange(state, SessionEvent::ConsoleConnect, false, kNoSession, 3), SessionAction::Start);
    // Another agent that keeps holding the PC is asked after every 30 s, for ever.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(DecideAfterAgentEnd(state, kAgentExitAnotherAgent, seconds(0)).delay, seconds(30));
}

// The service's file is dated by the clock its lines are stamped with: UTC+8, whatever the PC's zone.
TEST(ServiceLog, FileIsDatedByUtcPlusEight) {
    struct Row { std::time_t utc; const wchar_t* name; } rows[] = {
        {0, L"TavrelService.19700101.log"},
        {1765468799, L"TavrelService.20251211.log"},  // 2025-12-11 15:59:59 UTC
        {1765468800, L"TavrelService.20251212.log"},  // 16:00 UTC is midnight in UTC+8
        {1709222400, L"TavrelService.20240301.log"},  // 2024-02-29 16:00 UTC: past a leap day
        {4102416000, L"TavrelService.21000101.log"},  // 2099-12-31 16:00 UTC: the new century
    };
    for (const Row& row : rows) EXPECT_EQ(ServiceLogName(row.utc), row.name) << row.utc;
}
