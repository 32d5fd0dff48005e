#include "agent/service_workflow.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>

#include "agent/exam_takeover.h"
#include "agent/no_user_gate.h"
#include "base/shared_values.h"
#include "base/server_endpoint.h"
#include "base/exam_client.h"
#include "base/install_layout.h"
#include "base/logger.h"
#include "base/main_thread_post.h"
#include "commands/command_channel.h"
#include "server/server_api.h"
#include "server/updates.h"
#include "system/agent_exit.h"
#include "system/desktop.h"
#include "system/file.h"
#include "system/process.h"
#include "system/session.h"
#include "system/text.h"

std::vector<CommandLinePiece> ExamClientArguments(const SharedValues& v, const ServiceStartupInfo& info) {
    return {{" --shell-app-version=", v.LocalVersion},
            {" --shell-app-IP=", v.LocalIp},
            {" --shell-app-Mac=", v.LocalMac},
            {" --shell-app-BaseUrl=", BaseUrlOf(v)},
            {" --shell-app-SocketUrl=", SocketUrlOf(v)},
            {" --shell-app-ecpId=", v.CurrentEcpId},
            {" --shell-app-ecpRoomCode=", v.CurrentRoomCode},
            {" --shell-app-SuperLock=", info.isSuperLock},
            {" --shell-app-package=", v.ExamPackage},
            {" --shell-app-ecpPixel=", info.ecpPixel}};
}

std::string BuildExamClientCommandLine(const std::vector<CommandLinePiece>& pieces) {
    std::string line;
    for (const CommandLinePiece& p : pieces) line += p.piece + p.value;
    return line;
}

bool IsCommandLineValue(const std::string& value) {
    for (char c : value) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7f || c == '"' || c == '\'') return false;
    }
    return true;
}

bool ExamClientArgumentsSafe(const std::vector<CommandLinePiece>& pieces) {
    std::string refused;
    for (const CommandLinePiece& p : pieces)
        if (!IsCommandLineValue(p.value)) {
            refused = p.piece.substr(1) + p.value;
            break;
        }
    // The server repeats its answer every pass; one line while it keeps sending the same value.
    static std::mutex lock;
    static std::string lastRefused;
    std::lock_guard<std::mutex> hold(lock);
    if (!refused.empty() && refused != lastRefused)
        LogInfo("DoUserServiceHandle") << "考试客户端未启动，参数含空白、引号或控制字符：" << refused;
    lastRefused = refused;
    return refused.empty();
}

namespace {

const wchar_t kDefaultExamClient[] = L"Tavrel.exe";

// An update would replace the files of an exam client at work; one this agent started never meets it (no pass
// runs while it is waited for), one taken over at start must not either.
bool UpdateWaitsForExamClient() {
    static bool logged = false;
    const bool held = ExamClientHeld();
    if (held && !logged) LogInfo("DoUserServiceHandle") << "考试客户端运行中，更新在其结束后进行";
    logged = held;
    return held;
}

void ReportState(const ServerEndpoint& server, int status) {
    SharedValues v = SnapshotShared();
    SendEcpState(server, v.LocalMac, v.CurrentEcpId, v.LocalIp, v.LocalVersion, v.CurrentRoomCode, status);
}

// Starts the exam client, waits for it, and cleans up after it.
void RunExamClient(const ServerEndpoint& server, const ServiceStartupInfo& info) {
    SharedValues v = SnapshotShared();
    std::vector<CommandLinePiece> arguments = ExamClientArguments(v, info);
    // Unquoted, a value with a blank or a quote would add arguments of the server's choosing.
    if (!ExamClientArgumentsSafe(arguments)) return;
    ReportState(server, 1);
    std::string commandLine = BuildExamClientCommandLine(arguments);
    LogInfo("DoUserServiceHandle") << "====start Tavrel param====" << commandLine;

    // Under the service the agent is LocalSystem: the candidate's exam client runs in the candidate's account.
    LaunchFailure failure;
    ProcessHandle client = RunProgramAsSessionUser(AnsiToWide(v.ExeDir) + v.TavrelExe, AnsiToWide(commandLine),
                                                   AnsiToWide(v.ExeDir), &failure);
    if (!client) LogInfo("DoUserServiceHandle") << "考试客户端启动失败：" << LaunchFailureText(failure);
    if (client) {
        WaitProcessEnd(client);
        CloseProcessHandle(client);
    }
    CleanUpAfterExamClient(server);
}

}  // namespace

bool IsPlainProgramName(const std::wstring& name) {
    const std::wstring suffix = L".exe";
    if (name.size() <= suffix.size() || name.size() > 255) return false;
    if (!SameAsciiText(name.substr(name.size() - suffix.size()), suffix)) return false;
    if (name.find(L"..") != std::wstring::npos) return false;
    for (wchar_t c : name) {
        if (c < 0x20 || c == 0x7f) return false;
        if (std::wstring(L"\\/:*?\"<>|").find(c) != std::wstring::npos) return false;
    }
    if (name.front() == L' ' || name.front() == L'.') return false;
    return !IsWindowsDeviceName(name);
}

bool IsAgentOwnFile(const std::wstring& name) {
    const std::wstring own[] = {AnsiToWide(ReadShared(&SharedValues::ExeFileName)), L"TavrelAgent.exe",
                                L"TavrelService.exe", L"Uninstall.exe"};
    for (const std::wstring& file : own)
        if (!file.empty() && SameAsciiText(name, file)) return true;
    return false;
}

std::wstring TakeExamClientName(const std::wstring& offered) {
    const bool plain = IsPlainProgramName(offered);
    if (plain && !IsAgentOwnFile(offered)) return offered;
    // The server repeats its answer every pass; one line per refused name is enough.
    static std::wstring lastRefused;
    if (offered != lastRefused) {
        lastRefused = offered;
        LogError("DoUserServiceHandle") << "tavrelType refused, "
                                        << (plain ? "one of the agent's own files: " : "not a program name: ")
                                        << WideToAnsi(offered) << "; keeping " << WideToAnsi(kDefaultExamClient);
    }
    return kDefaultExamClient;
}

PassOutcome RunServicePass() {
    // One endpoint for the whole pass, from the values in use: an address the settings dialog is still trying
    // never reaches them.
    const ServerEndpoint server = ServerEndpointOf(SnapshotShared());
    // A client taken over may have ended while the server could not be reached.
    SettleHeldExamClient(server, false);
    std::string serverVersion;
    if (!GetVersionInfo(server, serverVersion)) return PassOutcome::Continue;
    std::string localVersion = ReadShared(&SharedValues::LocalVersion);
    if (ServerVersionNeedsUpdate(serverVersion, localVersion) && !UpdateWaitsForExamClient()) {
        LogInfo("DoUserServiceHandle") << "===Server Version====" << serverVersion;
        LogInfo("DoUserServiceHandle") << "===Local Version====" << localVersion;
        LogInfo("DoUserServiceHandle") << "Begin Update" << localVersion;
        if (UpgradeExamVersion(server, serverVersion, &StopFlag)) {
            // The installer runs and replaces this program: no pass may start again before the agent has ended.
            StopFlag = true;
            AgentExitChosen() = kAgentExitInstallerStarted;
            PostMainWindowMessage(kMsgDestroy, 0, 0);
            return PassOutcome::AgentEnds;
        }
        return PassOutcome::Continue;
    }

    ServiceStartupInfo info;
    WriteShared(&SharedValues::TavrelExe, info.tavrelType);
    SharedValues v = SnapshotShared();
    if (!GetStartupInfoAgent(server, v.LocalIp, v.LocalMac, info)) return PassOutcome::Continue;
    WriteShared(&SharedValues::TavrelExe, TakeExamClientName(info.tavrelType));

    // The server answers 9000 for a machine it does not know: register with the room known so far.
    if (info.ecpId == "-1") {
        std::string assigned;
        RegisteTavrel(server, v.CurrentRoomCode, v.LocalMac, v.LocalComputerName, v.LocalIp, assigned);
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
    if (!TakeFirstNumber(info.ecpId) && info.ecpId != ReadShared(&SharedValues::CurrentEcpId)) {
        LogInfo("DoUserServiceHandle") << "座位号发生改变：" << info.ecpId;
        WriteShared(&SharedValues::CurrentEcpId, info.ecpId);
        if (ExamClientRuns()) EndExamClient();
    }
    const bool roomChanged = info.ecpRoomCode != ReadShared(&SharedValues::CurrentRoomCode);
    // A channel that is opening or waits for its reconnect timer is left to its own schedule: connecting
    // here would cut the wait short and start the delays over, and a room whose server is half down would
    // be asked every 3 s by every PC, all in step with their passes.
    if (roomChanged || !IsCommandChannelActive()) {
        WriteShared(&SharedValues::CurrentRoomCode, info.ecpRoomCode);
        // A connection that is open, opening or waiting to reconnect keeps the room of its query: without
        // leaving first, the machine would go on hearing the old room's commands and miss its own.
        if (roomChanged) LeaveCommandChannel();
        ConnectCommandChannel(server);
    }
    WriteShared(&SharedValues::CurrentPhase, info.phase);
    // With the channel joined, an exam client that runs without this agent having started it is waited on here.
    // The look reads the process list every pass (about 2 ms of CPU on a PC of 180 processes).
    LookForRunningExamClient();
    if (SettleHeldExamClient(server, true)) return PassOutcome::Continue;

    // The look above read the process list already; where a client runs, this one asks after its processes only.
    if (!info.examineeId.empty() && !ExamClientRuns()) {
        // An examinee is at work and the exam client is gone: report it, never restart the client under them.
        ReportState(server, 0);
        return PassOutcome::Continue;
    }
    if (info.isStartup != 1) return PassOutcome::Continue;
    if (NobodySignedIn()) return PassOutcome::Continue;
    ModuleUpdate module = UpgradeExamModule(server, &StopFlag);
    // The package the server names goes on the exam client's command line; without a digest the last stays.
    if (!module.package.empty()) WriteShared(&SharedValues::ExamPackage, module.package);
    if (!module.ready) return PassOutcome::Continue;
    RunExamClient(server, info);
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

namespace {
// Three seconds between passes, give or take a quarter of a second at random. A room's PCs switched on
// together, or all answered at once by a server that came back, would otherwise ask the one server in step
// all day: most of the room within one second of every three.
std::chrono::milliseconds PassWait() {
    thread_local std::minstd_rand random(std::random_device{}());
    return std::chrono::milliseconds(2750 + static_cast<int>(random() % 501));
}
}  // namespace

void DoUserServiceHandle() {
    LookForRunningExamClient();
    for (;;) {
        // Ended at once by a stop. Thirty 100 ms naps would do the same and wake the thread ten times a
        // second all day, a quarter of what an idle agent costs.
        {
            std::unique_lock<std::mutex> lock(g_stopLock);
            if (g_stopWake.wait_for(lock, PassWait(), [] { return StopFlag.load(); })) return;
        }
        if (RunServicePass() == PassOutcome::AgentEnds) return;
    }
}
