#include "agent/service_workflow.h"

#include <chrono>
#include <thread>

#include "agent/agent.h"
#include "agent/logger.h"
#include "agent/window_messages.h"
#include "channel/command_channel.h"
#include "server/server_api.h"
#include "server/updates.h"
#include "system/desktop.h"
#include "system/process.h"
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

void ReportState(int status) {
    SharedValues v = SnapshotShared();
    SendEcpState(v.LocalMac, v.CurrentEcpId, v.LocalIp, v.LocalVersion, v.CurrentRoomCode, status);
}

// Starts the exam client, waits for it, and cleans up after it.
void RunExamClient(const ServiceStartupInfo& info) {
    ReportState(1);
    SharedValues v = SnapshotShared();
    std::string commandLine = BuildExamClientCommandLine(
        v.LocalVersion, v.LocalIp, v.LocalMac, "http://" + v.ServerIp + ":" + v.ServerPort,
        "http://" + v.ServerIp + ":" + v.SocketPort, v.CurrentEcpId, v.CurrentRoomCode, info.isSuperLock,
        v.ExamPackage, info.ecpPixel);
    LogInfo("DoUserServiceHandle") << "====start Tavrel param====" << commandLine;

    ProcessHandle client = RunProgram(AnsiToWide(v.ExeDir) + v.TavrelExe, AnsiToWide(commandLine),
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

PassOutcome RunServicePass() {
    std::string serverVersion;
    if (!GetVersionInfo(serverVersion)) return PassOutcome::Continue;
    std::string localVersion = ReadShared(&SharedValues::LocalVersion);
    if (ServerVersionNeedsUpdate(serverVersion, localVersion)) {
        LogInfo("DoUserServiceHandle") << "===Server Version====" << serverVersion;
        LogInfo("DoUserServiceHandle") << "===Local Version====" << localVersion;
        LogInfo("DoUserServiceHandle") << "Begin Update" << localVersion;
        if (UpgradeExamVersion()) {
            PostMainWindowMessage(kMsgDestroy, 0, 0);
            return PassOutcome::AgentEnds;
        }
        return PassOutcome::Continue;
    }

    ServiceStartupInfo info;
    std::wstring tavrelExe = L"Tavrel.exe";
    WriteShared(&SharedValues::TavrelExe, tavrelExe);
    SharedValues v = SnapshotShared();
    if (!GetStartupInfoAgent(v.LocalIp, v.LocalMac, info.ecpId, info.phase, info.ecpRoomCode, info.isStartup,
                             info.isSuperLock, tavrelExe, info.examineeId, info.ecpPixel))
        return PassOutcome::Continue;
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
        CloseCommandChannelIfOpen();
        return PassOutcome::Continue;
    }
    if (info.ecpId != ReadShared(&SharedValues::CurrentEcpId)) {
        LogInfo("DoUserServiceHandle") << "座位号发生改变：" << info.ecpId;
        WriteShared(&SharedValues::CurrentEcpId, info.ecpId);
        if (IsProcessRunning(tavrelExe)) KillProcessesByName(tavrelExe);
    }
    if (info.ecpRoomCode != ReadShared(&SharedValues::CurrentRoomCode) || !IsCommandChannelOpen()) {
        WriteShared(&SharedValues::CurrentRoomCode, info.ecpRoomCode);
        ConnectCommandChannel();
    }
    WriteShared(&SharedValues::CurrentPhase, info.phase);

    bool clientRuns = IsProcessRunning(tavrelExe);
    if (!info.examineeId.empty() && !clientRuns) {
        // An examinee is at work and the exam client is gone: report it, never restart the client under them.
        ReportState(0);
        return PassOutcome::Continue;
    }
    if (info.isStartup != 1) return PassOutcome::Continue;
    if (!UpgradeExamModule()) return PassOutcome::Continue;
    RunExamClient(info);
    return PassOutcome::Continue;
}

void DoUserServiceHandle() {
    for (;;) {
        for (int i = 0; i < 30; ++i) {
            if (StopFlag) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (RunServicePass() == PassOutcome::AgentEnds) return;
    }
}
