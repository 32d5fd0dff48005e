#pragma once
// The agent's heart: one pass every three seconds that asks the exam server what this machine is to do
// and brings the machine into that state.
#include <string>

// The service thread's procedure; returns on StopFlag between passes, or after a successful installer
// update (having posted WM_DESTROY to the main window).
void DoUserServiceHandle();
// Sets StopFlag and wakes the thread if it waits between passes; inside a pass it is noticed at the pass's end.
void StopServiceThread();

// The start-up information of one pass, reset before every call of GetStartupInfoAgent.
struct ServiceStartupInfo {
    std::string ecpId;
    int phase = 0;
    std::string ecpRoomCode;
    int isStartup = 0;
    std::string isSuperLock = "0";
    std::string examineeId;
    std::string ecpPixel;
};

// The exam client's parameters: ten " --shell-app-" pieces, each beginning with a blank, values unquoted.
std::string BuildExamClientCommandLine(const std::string& version, const std::string& ip, const std::string& mac,
                                       const std::string& baseUrl, const std::string& socketUrl,
                                       const std::string& ecpId, const std::string& roomCode,
                                       const std::string& superLock, const std::string& package,
                                       const std::string& pixel);

// The exam client named by the server ("tavrelType") is started from the agent's folder and killed by name:
// only a plain file name ending in ".exe" (no folder, drive, "..", control or reserved character, no device
// name) is taken. Anything else is logged (once while the server keeps sending it) and "Tavrel.exe" is kept.
bool IsPlainProgramName(const std::wstring& name);
std::wstring TakeExamClientName(const std::wstring& offered);

// One pass after its wait; false when it ended early. Exposed so a test can drive single passes.
enum class PassOutcome { Continue, AgentEnds };
PassOutcome RunServicePass();
