#include "agent/service_workflow.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "agent/agent.h"
#include "agent/logger.h"
#include "agent/window_messages.h"
#include "channel/command_channel.h"
#include "server/server_api.h"
#include "server/updates.h"
#include "system/desktop.h"
#include "system/process.h"
#include "system/session.h"
#include "system/text.h"

std::string BuildExamClientCommandLine(const std::string& version, const std::string& ip, const std::string& mac,
                                       const std::string& baseUrl, const std::string& socketUrl,
                                       const std::string& ecpId, const std::string& roomCode,
                                       const std::string& superLock, const std::string& package,
                                       const std::string& pixel) {
    return " --shell-app-version=" + version + " --shell-app-IP=" + ip + " --shell-app-Mac=" + mac +
           " --shell-app-BaseUrl=" + baseUrl + " --shell-app-SocketUrl=" + socketUrl + " --shell-app-ecpId=" +
           ecpId + " --shell-app-ecpRoomCode=" + roomCode + " --shell-app-SuperLock=" + superLock +
           " --shell-app-package=" + package + " --shell-app-ecpPixel=" + pixel;
}

namespace {

const wchar_t kDefaultExamClient[] = L"Tavrel.exe";

wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

bool SameAscii(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        if (UpperAscii(a[i]) != UpperAscii(b[i])) return false;
    }
    return i == a.size() && !b[i];
}

// Windows opens these devices whatever extension follows them ("CON.exe", "nul .exe").
bool IsDeviceName(std::wstring stem) {
    while (!stem.empty() && (stem.back() == L' ' || stem.back() == L'.')) stem.pop_back();
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"}) {
        if (SameAscii(stem, device)) return true;
    }
    if (stem.size() == 4 && (SameAscii(stem.substr(0, 3), L"COM") || SameAscii(stem.substr(0, 3), L"LPT"))) {
        wchar_t n = stem[3];
        return (n >= L'0' && n <= L'9') || n == L'\u00B9' || n == L'\u00B2' || n == L'\u00B3';
    }
    return false;
}

void ReportState(int status) {
    SharedValues v = SnapshotShared();
    SendEcpState(v.LocalMac, v.CurrentEcpId, v.LocalIp, v.LocalVersion, v.CurrentRoomCode, status);
}

// Starts the exam client, waits for it, and cleans up after it.
void RunExamClient(const ServiceStartupInfo& info) {
    ReportState(1);
    SharedValues v = SnapshotShared();
    std::string commandLine = BuildExamClientCommandLine(
        v.LocalVersion, v.LocalIp, v.LocalMac, BaseUrlOf(v), SocketUrlOf(v), v.CurrentEcpId, v.CurrentRoomCode, info.isSuperLock,
        v.ExamPackage, info.ecpPixel);
    LogInfo("DoUserServiceHandle") << "====start Tavrel param====" << commandLine;

    // Under the service the agent is LocalSystem: the candidate's exam client runs in the candidate's account.
    ProcessHandle client = RunProgramAsSessionUser(AnsiToWide(v.ExeDir) + v.TavrelExe, AnsiToWide(commandLine),
                                                   AnsiToWide(v.ExeDir));
    if (client) {
        WaitProcessEnd(client);
        CloseProcessHandle(client);
    }
    // The keyboard hook belongs to the exam client; it is never started here but always cleaned up.
    KillProcessesByName(L"keyboardHook.exe");
    RestoreDesktop();
    SharedValues after = SnapshotShared();
    UploadExamLog(after.LocalMac, after.CurrentEcpId, after.ExeDir + NativePath("..\\log\\Tavrel.log"));
}

}  // namespace

bool IsPlainProgramName(const std::wstring& name) {
    const std::wstring suffix = L".exe";
    if (name.size() <= suffix.size() || name.size() > 255) return false;
    if (!SameAscii(name.substr(name.size() - suffix.size()), suffix.c_str())) return false;
    if (name.find(L"..") != std::wstring::npos) return false;
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7f) return false;
        if (std::wstring(L"\\/:*?\"<>|").find(c) != std::wstring::npos) return false;
    }
    if (name.front() == L' ' || name.front() == L'.') return false;
    return !IsDeviceName(name.substr(0, name.find(L'.')));
}

std::wstring TakeExamClientName(const std::wstring& offered) {
    if (IsPlainProgramName(offered)) return offered;
    // The server repeats its answer every pass; one line per refused name is enough.
    static std::wstring lastRefused;
    if (offered != lastRefused) {
        lastRefused = offered;
        LogError("DoUserServiceHandle") << "tavrelType refused, not a program name: " << WideToAnsi(offered)
                                        << "; keeping " << WideToAnsi(kDefaultExamClient);
    }
    return kDefaultExamClient;
}

PassOutcome RunServicePass() {
    std::string serverVersion;
    if (!GetVersionInfo(serverVersion)) return PassOutcome::Continue;
    std::string localVersion = ReadShared(&SharedValues::LocalVersion);
    if (ServerVersionNeedsUpdate(serverVersion, localVersion)) {
        LogInfo("DoUserServiceHandle") << "===Server Version====" << serverVersion;
        LogInfo("DoUserServiceHandle") << "===Local Version====" << localVersion;
        LogInfo("DoUserServiceHandle") << "Begin Update" << localVersion;
        if (UpgradeExamVersion(serverVersion)) {
            PostMainWindowMessage(kMsgDestroy, 0, 0);
            return PassOutcome::AgentEnds;
        }
        return PassOutcome::Continue;
    }

    ServiceStartupInfo info;
    std::wstring tavrelExe = kDefaultExamClient;
    WriteShared(&SharedValues::TavrelExe, tavrelExe);
    SharedValues v = SnapshotShared();
    if (!GetStartupInfoAgent(v.LocalIp, v.LocalMac, info.ecpId, info.phase, info.ecpRoomCode, info.isStartup,
                             info.isSuperLock, tavrelExe, info.examineeId, info.ecpPixel))
        return PassOutcome::Continue;
    tavrelExe = TakeExamClientName(tavrelExe);
    WriteShared(&SharedValues::TavrelExe, tavrelExe);

    // The server answers 9000 for a machine it does not know: register with the room known so far.
    if (info.ecpId == "-1") {
        std::string assigned;
        RegisteTavrel(v.CurrentRoomCode, v.LocalMac, v.LocalComputerName, v.LocalIp, assigned);
        return PassOutcome::Continue;
    }
    if (info.ecpId.empty()) {
        UpdateShared([](SharedValues& s) {
            s.CurrentRoomCode.clear();
            s.CurrentEcpId.clear();
        });
        // A channel waiting to reconnect would otherwise take the machine back to the room it has left.
        LeaveCommandChannel();
        return PassOutcome::Continue;
    }
    if (info.ecpId != ReadShared(&SharedValues::CurrentEcpId)) {
        LogInfo("DoUserServiceHandle") << "座位号发生改变：" << info.ecpId;
        WriteShared(&SharedValues::CurrentEcpId, info.ecpId);
        if (IsProcessRunning(tavrelExe)) KillProcessesByName(tavrelExe);
    }
    const bool roomChanged = info.ecpRoomCode != ReadShared(&SharedValues::CurrentRoomCode);
    if (roomChanged || !IsCommandChannelOpen()) {
        WriteShared(&SharedValues::CurrentRoomCode, info.ecpRoomCode);
        // A connection that is open, opening or waiting to reconnect keeps the room of its query: without
        // leaving first, the machine would go on hearing the old room's commands and miss its own.
        if (roomChanged) LeaveCommandChannel();
        ConnectCommandChannel();
    }
    WriteShared(&SharedValues::CurrentPhase, info.phase);

    // The process list is read only when an examinee is assigned: reading it every pass is most of what an
    // idle agent costs.
    if (!info.examineeId.empty() && !IsProcessRunning(tavrelExe)) {
        // An examinee is at work and the exam client is gone: report it, never restart the client under them.
        ReportState(0);
        return PassOutcome::Continue;
    }
    if (info.isStartup != 1) return PassOutcome::Continue;
    if (!UpgradeExamModule()) return PassOutcome::Continue;
    RunExamClient(info);
    return PassOutcome::Continue;
}

namespace {
std::mutex g_stopLock;
std::condition_variable g_stopWake;
}  // namespace

void StopServiceThread() {
    std::lock_guard<std::mutex> lock(g_stopLock);
    StopFlag = true;
    g_stopWake.notify_all();
}

void DoUserServiceHandle() {
    for (;;) {
        // Three seconds between passes, ended at once by a stop. Thirty 100 ms naps would do the same and
        // wake the thread ten times a second all day, a quarter of what an idle agent costs.
        {
            std::unique_lock<std::mutex> lock(g_stopLock);
            if (g_stopWake.wait_for(lock, std::chrono::seconds(3), [] { return StopFlag.load(); })) return;
        }
        if (RunServicePass() == PassOutcome::AgentEnds) return;
    }
}
