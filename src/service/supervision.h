#pragma once
// The service's rules for the agent it watches: when an ended agent is started again, and where it runs
// after the console changes hands. Plain decisions over plain values, so they hold the same on every build.
#include <chrono>

struct Supervision {
    int quickEnds = 0;            // ends in a row, each within a minute of its start
    bool endedByChoice = false;   // ended with 0: not started again until the next logon or service start
};

// A run this long counts as steady: the next end starts the back-off afresh.
constexpr std::chrono::seconds kSteadyRun{60};

struct RestartDecision {
    bool restart = false;
    std::chrono::seconds delay{0};
};

// An agent that ends with 0 (the exit password, an installer started for an update, asked to end) stays
// ended; any other end (a crash, a kill) starts it again after 1, 2, 4, 8, 16, then 30 s while it keeps
// ending within a minute. A start that failed counts as a quick end.
RestartDecision DecideAfterAgentEnd(Supervision& state, int exitCode, std::chrono::seconds ran);

enum class SessionEvent { Logon, ConsoleConnect, Other };
enum class SessionAction { Nothing, Start, Move };

// One agent per machine, in the session at the console: a logon or a console connect starts it there or
// moves it there; a logon also ends the invigilator's "stays ended".
SessionAction DecideOnSessionChange(Supervision& state, SessionEvent event, bool agentRunning, unsigned agentSession,
                                    unsigned consoleSession);
