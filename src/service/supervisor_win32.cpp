#include <windows.h>
#include <wtsapi32.h>

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "service/service.h"
#include "service/supervision.h"
#include "system/process.h"
#include "system/session.h"

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_sessionLock;
std::deque<std::pair<DWORD, DWORD>> g_sessionChanges;
HANDLE g_sessionWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);

struct WatchedAgent {
    HANDLE process = nullptr;
    DWORD pid = 0;
    unsigned session = kNoSession;
    Clock::time_point started;
};

std::wstring Number(unsigned long long value) { return std::to_wstring(value); }

std::wstring AgentDirectory() {
    std::wstring folder = OwnFolder();
    return folder.substr(0, folder.size() - 1);
}

bool StartAgent(WatchedAgent& agent) {
    const unsigned session = ActiveConsoleSession();
    if (session == kNoSession) {
        ServiceLog(L"No session at the console: TavrelAgent waits for the next one");
        return false;
    }
    LaunchFailure failure;
    HANDLE process =
        RunPlanned(PlanSessionLaunch(OwnFolder() + L"TavrelAgent.exe", L"", AgentDirectory()), session, &failure);
    if (!process) {
        const std::string why = LaunchFailureText(failure);
        ServiceLog(L"TavrelAgent could not be started in session " + Number(session) + L": " +
                   std::wstring(why.begin(), why.end()));
        return false;
    }
    agent.process = process;
    agent.pid = GetProcessId(process);
    agent.session = session;
    agent.started = Clock::now();
    ServiceLog(L"TavrelAgent started in session " + Number(session) + L", pid " + Number(agent.pid));
    return true;
}

// The exit password's way out, through the helper on the agent's own desktop (a service's messages do not
// reach another session's windows). An agent still waiting for its exam client after 30 s is ended by force.
void EndAgent(WatchedAgent& agent) {
    if (!agent.process) return;
    HANDLE helper =
        RunPlanned(PlanSessionLaunch(OwnFolder() + L"TavrelService.exe", kEndAgentSwitch, AgentDirectory()), agent.session);
    if (helper) {
        WaitForSingleObject(helper, 10000);
        CloseHandle(helper);
    }
    for (int i = 0; i < 30 && WaitForSingleObject(agent.process, 1000) == WAIT_TIMEOUT; ++i) ReportStopProgress();
    if (WaitForSingleObject(agent.process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(agent.process, 1);
        WaitForSingleObject(agent.process, 5000);
        ServiceLog(L"TavrelAgent did not end in 30 s: ended by force");
    }
    DWORD code = 0;
    GetExitCodeProcess(agent.process, &code);
    ServiceLog(L"TavrelAgent ended with code " + Number(code) + L" (" + AgentEndText(AgentEndOf(static_cast<int>(code))) +
               L"), as asked");
    CloseHandle(agent.process);
    agent = WatchedAgent{};
}

// The agent that holds the PC when it is of this installation (another one holds the mutex just as well, and
// is then asked after again and again instead). True when one is watched now.
bool WatchOtherAgent(HANDLE& other) {
    if (other) CloseHandle(other);
    other = nullptr;
    std::vector<ProcessHandle> found = OpenProgramProcesses(OwnFolder() + L"TavrelAgent.exe");
    for (ProcessHandle handle : found) {
        if (!other) other = handle;
        else CloseProcessHandle(handle);
    }
    return other != nullptr;
}

SessionEvent EventOf(DWORD eventType) {
    if (eventType == WTS_SESSION_LOGON) return SessionEvent::Logon;
    if (eventType == WTS_CONSOLE_CONNECT) return SessionEvent::ConsoleConnect;
    return SessionEvent::Other;
}

}  // namespace

void QueueSessionChange(DWORD eventType, DWORD session) {
    {
        std::lock_guard<std::mutex> lock(g_sessionLock);
        g_sessionChanges.emplace_back(eventType, session);
    }
    SetEvent(g_sessionWake);
}

void RunServiceSupervisor(HANDLE stop, const std::atomic<bool>& leaveAgent) {
    Supervision state;
    WatchedAgent agent;
    HANDLE otherAgent = nullptr;  // an agent this service did not start, which holds the PC
    bool startDue = true;
    Clock::time_point dueAt = Clock::now();
    for (;;) {
        DWORD timeout = INFINITE;
        if (startDue && !agent.process) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(dueAt - Clock::now()).count();
            timeout = left > 0 ? static_cast<DWORD>(left) : 0;
        }
        HANDLE watched = agent.process ? agent.process : otherAgent;
        HANDLE waits[3] = {stop, g_sessionWake, watched};
        DWORD woke = WaitForMultipleObjects(watched ? 3 : 2, waits, FALSE, timeout);

        if (woke == WAIT_OBJECT_0) break;
        if (woke == WAIT_OBJECT_0 + 1) {
            std::deque<std::pair<DWORD, DWORD>> changes;
            {
                std::lock_guard<std::mutex> lock(g_sessionLock);
                changes.swap(g_sessionChanges);
            }
            for (const auto& change : changes) {
                const unsigned console = ActiveConsoleSession();
                SessionAction action = DecideOnSessionChange(state, EventOf(change.first), agent.process != nullptr,
                                                             agent.session, console);
                if (action == SessionAction::Nothing) continue;
                ServiceLog(L"Session " + Number(change.second) + L" event " + Number(change.first) +
                           L": TavrelAgent goes to session " + Number(console));
                EndAgent(agent);
                startDue = true;
                dueAt = Clock::now();
            }
            continue;
        }
        if (woke == WAIT_OBJECT_0 + 2 && !agent.process) {
            CloseHandle(otherAgent);
            otherAgent = nullptr;
            ServiceLog(L"The other agent ended: TavrelAgent starts in 1 s");
            startDue = true;
            dueAt = Clock::now() + std::chrono::seconds(1);
            continue;
        }
        if (woke == WAIT_OBJECT_0 + 2) {
            DWORD code = 0;
            GetExitCodeProcess(agent.process, &code);
            auto ran = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - agent.started);
            CloseHandle(agent.process);
            agent = WatchedAgent{};
            RestartDecision decision = DecideAfterAgentEnd(state, static_cast<int>(code), ran);
            const std::wstring ended = L"TavrelAgent ended with code " + Number(code) + L" (" +
                                       AgentEndText(decision.end) + L") after " + Number(ran.count()) + L" s: ";
            if (decision.end == AgentEnd::AnotherAgent && WatchOtherAgent(otherAgent)) {
                ServiceLog(ended + L"the other one is watched, and this one started when it ends");
                startDue = false;
            } else if (decision.restart) {
                ServiceLog(ended + L"restart in " + Number(decision.delay.count()) + L" s" +
                           (decision.end == AgentEnd::InstallerStarted ? L" unless the installer replaces it" : L""));
                startDue = true;
                dueAt = Clock::now() + decision.delay;
            } else {
                ServiceLog(ended + (state.endedByChoice ? L"it stays ended until the next logon or service start"
                                                        : L"it starts again in the next session"));
                startDue = false;
            }
            continue;
        }
        if (woke == WAIT_TIMEOUT && startDue && !agent.process) {
            startDue = false;
            if (!StartAgent(agent) && ActiveConsoleSession() != kNoSession) {
                RestartDecision decision = DecideAfterAgentEnd(state, -1, std::chrono::seconds(0));
                startDue = true;
                dueAt = Clock::now() + decision.delay;
            }
            continue;
        }
        if (woke == WAIT_FAILED) Sleep(1000);
    }
    if (otherAgent) CloseHandle(otherAgent);
    if (agent.process) {
        if (leaveAgent) CloseHandle(agent.process);
        else EndAgent(agent);
    }
}
