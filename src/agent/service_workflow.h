#pragma once
// The agent's heart: one pass every three seconds that asks the exam server what this machine is to do
// and brings the machine into that state.
#include <string>
#include <vector>

#include "server/server_answers.h"

struct SharedValues;

// The service thread's procedure; returns on StopFlag between passes, or after a successful installer
// update (having posted WM_DESTROY to the main window).
void DoUserServiceHandle();
// Sets StopFlag and wakes the thread if it waits between passes; inside a pass it is noticed at the pass's end.
void StopServiceThread();

// The exam client's parameters: ten " --shell-app-" pieces, each beginning with a blank, values unquoted.
struct CommandLinePiece {
    std::string piece;  // " --shell-app-version=" ...
    std::string value;
};
std::vector<CommandLinePiece> ExamClientArguments(const SharedValues& v, const ServiceStartupInfo& info);
std::string BuildExamClientCommandLine(const std::vector<CommandLinePiece>& pieces);
// A value goes in as one argument only without a blank, a quote (either kind) or a control character.
bool IsCommandLineValue(const std::string& value);
// False when a value would split or break its argument: the exam client is not started in that pass, and
// the piece is logged once while the same value keeps coming.
bool ExamClientArgumentsSafe(const std::vector<CommandLinePiece>& pieces);

// The exam client named by the server ("tavrelType") is started from the agent's folder and killed by name:
// only a plain file name ending in ".exe" (no folder, drive, "..", control or reserved character, no device
// name) is taken, and none of the agent's own files (the agent itself, Uninstall.exe), which would start or
// end the agent instead of an exam client. Anything else is logged (once while the server keeps sending it)
// and "Tavrel.exe" is kept.
bool IsPlainProgramName(const std::wstring& name);
bool IsAgentOwnFile(const std::wstring& name);
std::wstring TakeExamClientName(const std::wstring& offered);

// One pass after its wait; false when it ended early. Exposed so a test can drive single passes.
enum class PassOutcome { Continue, AgentEnds };
PassOutcome RunServicePass();
