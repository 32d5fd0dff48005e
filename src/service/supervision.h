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

// Why an agent ended, read from its exit code (system/agent_exit.h); any code not in that table is a crash or
// a kill.
enum class AgentEnd { ExitPassword, InstallerStarted, AnotherAgent, CouldNotStart, SessionEnded, Crashed };
AgentEnd AgentEndOf(int exitCode);
// The end as the service's log names it.
const wchar_t* AgentEndText(AgentEnd end);

// An installer that has not replaced the agent in this time has failed: the old agent comes back.
constexpr std::chrono::seconds kInstallerGrace{300};
// Another agent holds the PC: the service looks again this often, for as long as it takes.
constexpr std::chrono::seconds kAnotherAgentRetry{30};

struct RestartDecision {
    AgentEnd end = AgentEnd::Crashed;
    bool restart = false;
    std::chrono::seconds delay{0};
};

// The exit password leaves the agent ended until the next logon or service start; the end of its session
// leaves it to the next session's logon or console connect; an installer started brings it back after
// kInstallerGrace unless the installer (which stops the service) replaced it first; another agent is watched
// until it ends where the service can find it, and otherwise asked after again every kAnotherAgentRetry. A crash, a kill or a start that failed (the window, or the start
// itself) starts it again after 1, 2, 4, 8, 16, then 30 s while it keeps ending within a minute.
RestartDecision DecideAfterAgentEnd(Supervision& state, int exitCode, std::chrono::seconds ran);

enum class SessionEvent { Logon, ConsoleConnect, Other };
enum class SessionAction { Nothing, Start, Move };

// One agent per machine, in the session at the console: a logon or a console connect starts it there or
// moves it there; a logon also ends the invigilator's "stays ended".
SessionAction DecideOnSessionChange(Supervision& state, SessionEvent event, bool agentRunning, unsigned agentSession,
                                    unsigned consoleSession);
