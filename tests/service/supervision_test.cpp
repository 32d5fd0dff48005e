#include <gtest/gtest.h>

#include "service/supervision.h"
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
